#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "agent/classfile/ClassFile.h"
#include "agent/classfile/CodeAttribute.h"
#include "agent/classfile/ConstantReferences.h"
#include "agent/classfile/DataInput.h"
#include "agent/classfile/DataOutput.h"
#include "agent/classfile/StackMapFrame.h"
#include "tests/classfile/ClassStructure.h"
#include "tests/classfile/PoolClass.h"

// The agent's model over a class that ClassStructure walked: a ClassFile made over the structure's pool
// (whose entries it replaces with its own), and the Code attribute found at a span of the class bytes.

inline std::unique_ptr<ClassFile> adoptPool(ClassStructure& structure) {
  return classFileOver(structure.pool, structure.majorVersion, structure.thisClassIndex);
}

inline YVector<uint8_t> bytesOf(const YVector<uint8_t>& bytes, int32_t start, int32_t length) {
  return YVector<uint8_t>(bytes.data + start, length);
}

// Reads the Code attribute whose u2 name index stands at `span.start`.
inline std::unique_ptr<CodeAttribute> readCodeAttribute(const YVector<uint8_t>& classBytes, const AttributeSpan& span,
                                                        ClassFile& classFile) {
  const YVector<uint8_t> attribute = bytesOf(classBytes, span.start, span.length);
  DataInput in(attribute);
  const int32_t nameIndex = in.readUnsignedShort();
  const int32_t length = in.readInt();
  return std::make_unique<CodeAttribute>(in, &classFile, nameIndex, length);
}

// An attribute with its name index and length, as it stands in a class file.
inline YVector<uint8_t> written(const AttributeInfo& attribute) {
  YVector<uint8_t> bytes;
  DataOutput out(bytes);
  attribute.write(out);
  return bytes;
}

// A verification type the way tests/classfile/AsmDump.java writes ASM's: T I F D J N U, L and the class
// name, u and the NEW offset.
inline std::string typeText(const VerificationType& type, const ConstantPool& pool) {
  switch (type.tag) {
    case ITEM_Top: return "T";
    case ITEM_Integer: return "I";
    case ITEM_Float: return "F";
    case ITEM_Double: return "D";
    case ITEM_Long: return "J";
    case ITEM_Null: return "N";
    case ITEM_UninitializedThis: return "U";
    case ITEM_Object: {
      const YString& name = constantAt<ConstantClassInfo>(pool, type.index, "test", 0).getName(pool);
      return "L" + std::string(name.data, size_t(name.length));
    }
    default: return "u" + std::to_string(type.index);
  }
}

inline std::string typesText(const YVector<VerificationType>& types, const ConstantPool& pool) {
  std::string text;
  for (int32_t i = 0; i < types.size; i++) text += (i > 0 ? " " : "") + typeText(types[i], pool);
  return text;
}

// "<offset>\t<locals>\t<stack>".
inline std::string frameText(const StackMapFrame& frame, const ConstantPool& pool) {
  return std::to_string(frame.offset) + "\t" + typesText(frame.locals, pool) + "\t" + typesText(frame.stack, pool);
}
