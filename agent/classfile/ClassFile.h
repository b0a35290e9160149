#pragma once

#include <cstdint>

#include "agent/classfile/ConstantPoolInfo.h"
#include "agent/support/YMap.h"
#include "agent/support/YString.h"

// The editable model of one class file: so far its version, its this-class index and its constant pool,
// to which editors add the constants they need without duplicating any. Members and attributes keep a
// pointer to the pool, so a ClassFile is never copied or moved.
class ClassFile {
 public:
  // A model over an existing pool, whose entries it takes over: slot 0 and the slot after each Long or
  // Double hold null. The this-class index must be >= 1.
  ClassFile(const ConstantPool& entries, int32_t majorVersion, int32_t minorVersion, int32_t thisClassIndex);
  ~ClassFile();
  ClassFile(const ClassFile&) = delete;
  ClassFile& operator=(const ClassFile&) = delete;

  int32_t getMajorVersion() const { return majorVersion; }
  int32_t getMinorVersion() const { return minorVersion; }
  int32_t getThisClassIndex() const { return thisClassIndex; }
  // The internal name (java/lang/Thread) of the this-class entry.
  const YString& getThisClassName() const;

  ConstantPool& getConstantPool() { return constantPool; }
  const ConstantPool& getConstantPool() const { return constantPool; }

  // The index of the first Utf8 entry holding exactly `text`, appended when there is none.
  int32_t getOrAddUtf8(const YString& text);
  // The index of the first Class entry whose name is the Utf8 entry at `nameIndex` (>= 1), appended when
  // there is none. Keyed by the index: two Utf8 entries of the same text give two Class entries.
  int32_t getOrAddClass(int32_t nameIndex);

 private:
  int32_t append(ConstantPoolInfo* entry);

  const int32_t majorVersion;
  const int32_t minorVersion;
  const int32_t thisClassIndex;
  ConstantPool constantPool;
  // Answers that a get-or-add gave. A Utf8 key is the entry's own text, which lives as long as the pool.
  YMap<const char*, int32_t> utf8Cache{10};
  YMap<int32_t, int32_t> classCache{10};
};
