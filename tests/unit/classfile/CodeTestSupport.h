#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "agent/classfile/ClassFile.h"
#include "agent/classfile/CodeAttribute.h"
#include "agent/classfile/ConstantReferences.h"
#include "agent/classfile/ConstantValues.h"
#include "agent/classfile/DataInput.h"
#include "agent/classfile/DataOutput.h"
#include "agent/classfile/MethodInfo.h"
#include "agent/classfile/StackMapFrame.h"
#include "agent/classfile/VerificationType.h"
#include "tests/classfile/PoolClass.h"

// Building blocks of the frame and Code attribute tests: a small class with a known pool, big-endian
// byte lists, Code bodies, and frames and types written out in full.
namespace codetest {

using Bytes = std::vector<uint8_t>;

// The pool of testClass().
enum PoolIndex : int32_t {
  kThisName = 1,
  kThisClass,
  kObjectName,
  kObjectClass,
  kCodeName,
  kStackMapTableName,
  kLineNumberTableName,
  kInitName,
  kRunName,
  kRunDescriptor,  // (IJLjava/lang/String;)V
  kVoidDescriptor,  // ()V
  kStringName,
  kStringClass,
  kPoolSize
};

inline std::unique_ptr<ClassFile> testClass(int32_t majorVersion = 52, const char* thisName = "Test") {
  ConstantPool pool;
  pool.add(nullptr);
  for (const char* text : {thisName, "", "java/lang/Object", "", "Code", "StackMapTable", "LineNumberTable", "<init>",
                           "run", "(IJLjava/lang/String;)V", "()V", "java/lang/String", ""}) {
    if (*text != 0) {
      pool.add(new ConstantUtf8Info(YString(text)));
    } else {
      pool.add(new ConstantClassInfo(pool.size - 1));
    }
  }
  return classFileOver(pool, majorVersion, kThisClass);
}

inline YVector<uint8_t> vectorOf(const Bytes& bytes) {
  YVector<uint8_t> vector;
  for (uint8_t b : bytes) vector.add(b);
  return vector;
}

inline Bytes bytesOf(const YVector<uint8_t>& vector) { return Bytes(vector.data, vector.data + vector.size); }

inline void u2(Bytes& bytes, int32_t v) {
  bytes.push_back(uint8_t(v >> 8));
  bytes.push_back(uint8_t(v));
}

inline void u4(Bytes& bytes, int32_t v) {
  u2(bytes, v >> 16);
  u2(bytes, v);
}

inline void append(Bytes& bytes, const Bytes& more) { bytes.insert(bytes.end(), more.begin(), more.end()); }

// u2 name index, u4 length, the body.
inline Bytes attribute(int32_t nameIndex, const Bytes& body) {
  Bytes bytes;
  u2(bytes, nameIndex);
  u4(bytes, int32_t(body.size()));
  append(bytes, body);
  return bytes;
}

struct Handler {
  int32_t start;
  int32_t end;
  int32_t handler;
  int32_t catchType;
};

// A Code body as the file holds it.
struct CodeBody {
  int32_t maxStack = 2;
  int32_t maxLocals = 4;
  Bytes code = Bytes(20, 0);  // NOPs
  std::vector<Handler> handlers;
  std::vector<Bytes> attributes;  // each with its name index and length

  Bytes encode() const {
    Bytes bytes;
    u2(bytes, maxStack);
    u2(bytes, maxLocals);
    u4(bytes, int32_t(code.size()));
    append(bytes, code);
    u2(bytes, int32_t(handlers.size()));
    for (const Handler& h : handlers) {
      for (int32_t v : {h.start, h.end, h.handler, h.catchType}) u2(bytes, v);
    }
    u2(bytes, int32_t(attributes.size()));
    for (const Bytes& a : attributes) append(bytes, a);
    return bytes;
  }
};

inline std::unique_ptr<CodeAttribute> parseCode(ClassFile& classFile, const Bytes& body) {
  const YVector<uint8_t> input = vectorOf(body);
  DataInput in(input);
  auto code = std::make_unique<CodeAttribute>(in, &classFile, kCodeName, int32_t(body.size()));
  EXPECT_EQ(in.getPosition(), input.size);
  return code;
}

inline Bytes writtenBody(const AttributeInfo& attribute) {
  YVector<uint8_t> bytes;
  DataOutput out(bytes);
  attribute.writeBody(out);
  EXPECT_EQ(bytes.size, attribute.getLength());
  return bytesOf(bytes);
}

// Types by their short names.
inline VerificationType top() { return VerificationType(); }
inline VerificationType integer() { return VerificationType(ITEM_Integer, -1); }
inline VerificationType floatType() { return VerificationType(ITEM_Float, -1); }
inline VerificationType doubleType() { return VerificationType(ITEM_Double, -1); }
inline VerificationType longType() { return VerificationType(ITEM_Long, -1); }
inline VerificationType null() { return VerificationType(ITEM_Null, -1); }
inline VerificationType uninitializedThis() { return VerificationType(ITEM_UninitializedThis, kThisClass); }
inline VerificationType object(int32_t classIndex) { return VerificationType(ITEM_Object, classIndex); }
inline VerificationType uninitialized(int32_t newOffset) { return VerificationType(ITEM_Uninitialized, newOffset); }

using Types = std::vector<VerificationType>;

inline YVector<VerificationType> typeVector(const Types& types) {
  YVector<VerificationType> vector;
  for (const VerificationType& t : types) vector.add(t);
  return vector;
}

// "I J Object#13 Uninitialized@5 ...", for comparing frames in test output.
inline std::string describe(const YVector<VerificationType>& types) {
  static const char* const names[] = {"T", "I", "F", "D", "J", "N", "U", "Object#", "Uninitialized@"};
  std::string text;
  for (int32_t i = 0; i < types.size; i++) {
    if (i > 0) text += " ";
    text += types[i].tag <= ITEM_Uninitialized ? names[types[i].tag] : "?";
    if (types[i].tag >= ITEM_Object) text += std::to_string(types[i].index);
  }
  return text;
}

inline std::string describe(const Types& types) { return describe(typeVector(types)); }

// "<offset>: <locals> | <stack>".
inline std::string describe(const StackMapFrame& frame) {
  return std::to_string(frame.offset) + ": " + describe(frame.locals) + " | " + describe(frame.stack);
}

inline std::vector<std::string> describe(const YVector<StackMapFrame*>& frames) {
  std::vector<std::string> texts;
  for (int32_t i = 0; i < frames.size; i++) texts.push_back(describe(*frames[i]));
  return texts;
}

// A frame at `offset` with exactly these locals and stack.
inline StackMapFrame frameOf(int32_t offset, const Types& locals, const Types& stack = {}) {
  std::unique_ptr<ClassFile> classFile = testClass();
  const MethodInfo method(ACC_STATIC, kRunName, kVoidDescriptor, classFile.get());
  StackMapFrame frame(StackMapFrame(*classFile, method), offset, top(), -1);
  frame.locals = typeVector(locals);
  frame.stack = typeVector(stack);
  return frame;
}

// A "StackMapTable" attribute of these entries (their count first).
inline Bytes stackMapTable(int32_t count, const Bytes& entries) {
  Bytes body;
  u2(body, count);
  append(body, entries);
  return attribute(kStackMapTableName, body);
}

}  // namespace codetest
