#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "agent/classfile/ConstantPoolInfo.h"
#include "agent/classfile/ConstantValues.h"
#include "agent/support/YVector.h"

// A test-side walk over a class file's layout, independent of the agent's class model: the constant pool
// (read with the agent's entry reader), the version, the this-class index, and where every attribute of
// the class, its fields and methods lies in the file. Corpus tests use it to hand single attributes to
// the readers under test and to find each method's Code attribute.
struct AttributeSpan {
  std::string name;
  int32_t start = 0;   // offset of the attribute's u2 name index in the file
  int32_t length = 0;  // 6 + the body length
};

struct MemberSpans {
  int32_t accessFlags = 0;
  std::string name;
  std::string descriptor;
  std::vector<AttributeSpan> attributes;
};

struct ClassStructure {
  ConstantPool pool;
  int32_t majorVersion = 0;
  int32_t thisClassIndex = 0;
  std::vector<MemberSpans> fields;
  std::vector<MemberSpans> methods;
  std::vector<AttributeSpan> attributes;
  bool complete = false;  // false when the pool holds an entry the agent does not read

  ClassStructure() = default;
  ClassStructure(const ClassStructure&) = delete;
  ClassStructure& operator=(const ClassStructure&) = delete;
  ~ClassStructure() { pool.deleteElements(); }

  std::string utf8At(int32_t index) const {
    const auto& entry = constantAt<ConstantUtf8Info>(pool, index, "ClassStructure", 0);
    return std::string(entry.getString().data, size_t(entry.getString().length));
  }
};

namespace class_structure_detail {

inline std::vector<AttributeSpan> readAttributeSpans(DataInput& in, const ClassStructure& structure) {
  std::vector<AttributeSpan> spans(size_t(in.readUnsignedShort()));
  for (AttributeSpan& span : spans) {
    span.start = in.getPosition();
    span.name = structure.utf8At(in.readUnsignedShort());
    const int32_t bodyLength = in.readInt();
    span.length = 6 + bodyLength;
    for (int32_t i = 0; i < bodyLength; i++) in.readUnsignedByte();
  }
  return spans;
}

inline std::vector<MemberSpans> readMembers(DataInput& in, const ClassStructure& structure) {
  std::vector<MemberSpans> members(size_t(in.readUnsignedShort()));
  for (MemberSpans& member : members) {
    member.accessFlags = in.readUnsignedShort();
    member.name = structure.utf8At(in.readUnsignedShort());
    member.descriptor = structure.utf8At(in.readUnsignedShort());
    member.attributes = readAttributeSpans(in, structure);
  }
  return members;
}

}  // namespace class_structure_detail

// Fills `structure` from the class bytes. A truncated or malformed file is a fatal error of the readers,
// as in the agent.
inline void readClassStructure(const YVector<uint8_t>& bytes, ClassStructure& structure) {
  DataInput in(bytes);
  in.readInt();  // magic
  in.readUnsignedShort();  // minor version
  structure.majorVersion = in.readUnsignedShort();
  const int32_t count = in.readUnsignedShort();
  structure.pool.add(nullptr);
  while (structure.pool.size < count) {
    ConstantPoolInfo* entry = ConstantPoolInfo::read(in);
    if (entry == nullptr) return;
    structure.pool.add(entry);
    if (entry->tag == CONSTANT_Long || entry->tag == CONSTANT_Double) structure.pool.add(nullptr);
  }
  in.readUnsignedShort();  // access flags
  structure.thisClassIndex = in.readUnsignedShort();
  in.readUnsignedShort();  // super class
  const int32_t interfaces = in.readUnsignedShort();
  for (int32_t i = 0; i < interfaces; i++) in.readUnsignedShort();
  structure.fields = class_structure_detail::readMembers(in, structure);
  structure.methods = class_structure_detail::readMembers(in, structure);
  structure.attributes = class_structure_detail::readAttributeSpans(in, structure);
  structure.complete = true;
}
