#pragma once

#include <cstdint>
#include <memory>

#include "agent/classfile/ClassFile.h"
#include "agent/classfile/ConstantPoolInfo.h"
#include "agent/classfile/DataInput.h"
#include "agent/classfile/DataOutput.h"

// A class file model whose pool is exactly `pool` and which has nothing else (no interfaces, fields,
// methods or attributes): the class is written out and parsed, as every model is made. The entries
// of `pool` are deleted and the vector emptied, since the model holds copies of them. For tests that
// hand single attributes or methods the model their readers need.
inline std::unique_ptr<ClassFile> classFileOver(ConstantPool& pool, int32_t majorVersion, int32_t thisClassIndex) {
  YVector<uint8_t> bytes;
  DataOutput out(bytes);
  out.writeInt(int32_t(0xCAFEBABE));
  out.writeShort(0);
  out.writeShort(majorVersion);
  out.writeShort(pool.size);
  for (int32_t i = 1; i < pool.size; i++) {
    if (pool[i] != nullptr) pool[i]->write(out);
  }
  pool.deleteElements();
  for (int32_t value : {0x21, thisClassIndex, 0, 0, 0, 0, 0}) out.writeShort(value);
  DataInput in(bytes);
  return std::make_unique<ClassFile>(in);
}
