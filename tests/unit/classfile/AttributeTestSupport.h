#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <vector>

#include "agent/classfile/AttributeInfo.h"
#include "agent/classfile/AttributeInfoReader.h"
#include "agent/classfile/ConstantPoolInfo.h"
#include "agent/classfile/ConstantReferences.h"
#include "agent/classfile/ConstantValues.h"
#include "agent/classfile/DataInput.h"
#include "agent/classfile/DataOutput.h"

// Building blocks of the attribute tests: a pool that owns its entries, a big-endian byte builder, and
// reading and writing one attribute.

using Bytes = std::vector<uint8_t>;

struct TestPool {
  ConstantPool pool;
  TestPool() { pool.add(nullptr); }
  ~TestPool() { pool.deleteElements(); }
  TestPool(const TestPool&) = delete;
  TestPool& operator=(const TestPool&) = delete;

  int32_t add(ConstantPoolInfo* entry) {
    pool.add(entry);
    return pool.size - 1;
  }
  int32_t utf8(const char* text) { return add(new ConstantUtf8Info(YString(text))); }
  int32_t classNamed(const char* name) { return add(new ConstantClassInfo(utf8(name))); }
  int32_t integer(int32_t value) { return add(new ConstantIntInfo(value)); }
  int32_t emptySlot() {
    pool.add(nullptr);
    return pool.size - 1;
  }
};

class ByteBuilder {
 public:
  ByteBuilder& u1(int32_t v) {
    bytes.push_back(uint8_t(v));
    return *this;
  }
  ByteBuilder& u2(int32_t v) { return u1(v >> 8).u1(v); }
  ByteBuilder& u4(int32_t v) { return u2(v >> 16).u2(v); }
  ByteBuilder& raw(const Bytes& more) {
    bytes.insert(bytes.end(), more.begin(), more.end());
    return *this;
  }
  // An attribute: u2 name index, u4 body length, the body.
  ByteBuilder& attribute(int32_t nameIndex, const Bytes& body) {
    return u2(nameIndex).u4(int32_t(body.size())).raw(body);
  }
  Bytes bytes;
};

inline YVector<uint8_t> vectorOf(const Bytes& bytes) {
  YVector<uint8_t> v;
  for (uint8_t b : bytes) v.add(b);
  return v;
}

// Reads one attribute from the bytes, which it must consume whole.
inline std::unique_ptr<AttributeInfo> readAttribute(const Bytes& bytes, const ConstantPool& pool) {
  const YVector<uint8_t> input = vectorOf(bytes);
  DataInput in(input);
  std::unique_ptr<AttributeInfo> attribute(AttributeInfoReader::read(in, pool, nullptr));
  EXPECT_EQ(in.getPosition(), input.size);
  return attribute;
}

inline Bytes written(const AttributeInfo& attribute) {
  YVector<uint8_t> output;
  DataOutput out(output);
  attribute.write(out);
  return Bytes(output.data, output.data + output.size);
}

// The attribute as its class, which it must be.
template <class T>
T& as(const std::unique_ptr<AttributeInfo>& attribute) {
  T* typed = dynamic_cast<T*>(attribute.get());
  if (typed == nullptr) {
    ADD_FAILURE() << "the attribute is a " << (attribute ? typeid(*attribute).name() : "null");
    throw std::runtime_error("attribute of another class");
  }
  return *typed;
}

inline std::vector<std::string> strings(const YVector<YString>& texts) {
  std::vector<std::string> result;
  for (int32_t i = 0; i < texts.size; i++) result.emplace_back(texts[i].data, size_t(texts[i].length));
  return result;
}
