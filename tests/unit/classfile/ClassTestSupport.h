#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "agent/classfile/ClassFile.h"
#include "agent/classfile/ConstantValues.h"
#include "agent/classfile/DataInput.h"
#include "agent/classfile/DataOutput.h"
#include "tests/unit/classfile/AttributeTestSupport.h"

// Building blocks of the class-file tests: whole class files assembled entry by entry, parsed into the
// model and written back.
namespace classtest {

// A class file under construction. Pool entries are appended in call order and each call answers the
// entry's index; members and attributes are kept as their bytes.
class ClassBuilder {
 public:
  explicit ClassBuilder(int32_t majorVersion = 52) : majorVersion(majorVersion) {}

  int32_t utf8(const std::string& text) {
    pool.u1(CONSTANT_Utf8).u2(int32_t(text.size())).raw(Bytes(text.begin(), text.end()));
    return next(1);
  }
  int32_t classNamed(const std::string& name) {
    const int32_t nameIndex = utf8(name);
    pool.u1(CONSTANT_Class).u2(nameIndex);
    return next(1);
  }
  int32_t integer(int32_t value) {
    pool.u1(CONSTANT_Integer).u4(value);
    return next(1);
  }
  int32_t longValue(int64_t value) {
    pool.u1(CONSTANT_Long).u4(int32_t(value >> 32)).u4(int32_t(value));
    return next(2);
  }
  // Raw bytes of an entry of any tag, taking one slot.
  int32_t entry(const Bytes& bytes) {
    pool.raw(bytes);
    return next(1);
  }

  // u2 flags, name, descriptor, the attributes (each with its name index and length).
  static Bytes member(int32_t flags, int32_t name, int32_t descriptor, const std::vector<Bytes>& attributes = {}) {
    ByteBuilder bytes;
    bytes.u2(flags).u2(name).u2(descriptor).u2(int32_t(attributes.size()));
    for (const Bytes& attribute : attributes) bytes.raw(attribute);
    return bytes.bytes;
  }

  // A "Code" attribute with the code, no handlers and the nested attributes.
  static Bytes code(int32_t codeName, int32_t maxStack, int32_t maxLocals, const Bytes& code,
                    const std::vector<Bytes>& nested = {}) {
    ByteBuilder body;
    body.u2(maxStack).u2(maxLocals).u4(int32_t(code.size())).raw(code).u2(0).u2(int32_t(nested.size()));
    for (const Bytes& attribute : nested) body.raw(attribute);
    return ByteBuilder().attribute(codeName, body.bytes).bytes;
  }

  Bytes build() const {
    ByteBuilder bytes;
    bytes.u4(int32_t(0xCAFEBABE)).u2(0).u2(majorVersion).u2(count).raw(pool.bytes);
    bytes.u2(accessFlags).u2(thisClass).u2(superClass).u2(int32_t(interfaces.size()));
    for (int32_t index : interfaces) bytes.u2(index);
    for (const std::vector<Bytes>* list : {&fields, &methods, &attributes}) {
      bytes.u2(int32_t(list->size()));
      for (const Bytes& item : *list) bytes.raw(item);
    }
    return bytes.bytes;
  }

  // Where the pool ends in the built class.
  int32_t poolEnd() const { return 10 + int32_t(pool.bytes.size()); }

  int32_t majorVersion;
  int32_t accessFlags = 0x21;
  int32_t thisClass = 0;
  int32_t superClass = 0;
  std::vector<int32_t> interfaces;
  std::vector<Bytes> fields;
  std::vector<Bytes> methods;
  std::vector<Bytes> attributes;

 private:
  int32_t next(int32_t slots) {
    const int32_t index = count;
    count += slots;
    return index;
  }

  ByteBuilder pool;
  int32_t count = 1;
};

// The input stays alive with the model, as it must while a class is parsed.
struct ParsedClass {
  YVector<uint8_t> input;
  std::unique_ptr<ClassFile> model;

  explicit ParsedClass(const Bytes& bytes) : input(vectorOf(bytes)) {
    DataInput in(input);
    model = std::make_unique<ClassFile>(in);
  }
  ClassFile* operator->() const { return model.get(); }
  ClassFile& operator*() const { return *model; }
};

inline Bytes writtenClass(const ClassFile& classFile) {
  YVector<uint8_t> output;
  DataOutput out(output);
  classFile.write(out);
  return Bytes(output.data, output.data + output.size);
}

inline std::string text(const YString& string) { return std::string(string.data, size_t(string.length)); }

inline std::string utf8Text(const ClassFile& classFile, int32_t index) {
  return text(constantAt<ConstantUtf8Info>(classFile.getConstantPool(), index, "test", 0).getString());
}

}  // namespace classtest
