#pragma once

#include <cstdint>

#include "agent/classfile/DataInput.h"
#include "agent/classfile/DataOutput.h"
#include "agent/support/Arena.h"
#include "agent/support/FatalError.h"
#include "agent/support/YVector.h"

// The constant-pool tags that the class-file model understands. Every other tag (among them 17 Dynamic,
// 19 Module and 20 Package) makes a class unreadable.
constexpr uint32_t CONSTANT_Utf8 = 1;
constexpr uint32_t CONSTANT_Integer = 3;
constexpr uint32_t CONSTANT_Float = 4;
constexpr uint32_t CONSTANT_Long = 5;
constexpr uint32_t CONSTANT_Double = 6;
constexpr uint32_t CONSTANT_Class = 7;
constexpr uint32_t CONSTANT_String = 8;
constexpr uint32_t CONSTANT_Fieldref = 9;
constexpr uint32_t CONSTANT_Methodref = 10;
constexpr uint32_t CONSTANT_InterfaceMethodref = 11;
constexpr uint32_t CONSTANT_NameAndType = 12;
constexpr uint32_t CONSTANT_MethodHandle = 15;
constexpr uint32_t CONSTANT_MethodType = 16;
constexpr uint32_t CONSTANT_InvokeDynamic = 18;

// One entry of a constant pool. Entries never point back to their pool: every look-up through an index
// is given the pool.
class ConstantPoolInfo : public ArenaAllocated {
 public:
  explicit ConstantPoolInfo(uint32_t tag) : tag(tag) {}
  virtual ~ConstantPoolInfo() = default;
  ConstantPoolInfo(const ConstantPoolInfo&) = delete;
  ConstantPoolInfo& operator=(const ConstantPoolInfo&) = delete;

  // Appends the tag byte and the entry's body.
  virtual void write(DataOutput& out) const = 0;

  // Reads one tag and the body that follows; the caller owns the entry, which lives in `arena` when one
  // is given. An unknown tag is the one soft failure of the class-file model: it is logged and gives
  // null, and the class is left as it was. Malformed bodies (zero indices, bad handle kinds, truncated
  // input) are fatal errors.
  static ConstantPoolInfo* read(DataInput& in, Arena* arena = nullptr);

  const uint32_t tag;
};

// The pool owns its entries. Index 0 and the slot after each Long or Double hold null.
using ConstantPool = YVector<ConstantPoolInfo*>;

// The entry of type T at `index`: an index outside the pool is the vector's range error; an empty slot
// or an entry of another tag is an assertion failure of the calling entry's source file.
template <class T>
const T& constantAt(const ConstantPool& pool, int32_t index, const char* file, int32_t line) {
  const ConstantPoolInfo* entry = pool[index];
  if (entry == nullptr || entry->tag != T::TAG) assertionFailed("assertion failed", file, line);
  return static_cast<const T&>(*entry);
}
