#include <gtest/gtest.h>

#include <cstdint>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "agent/support/JniArrays.h"
#include "tests/inprocess/InProcessJvm.h"
#include "tests/support/FatalErrorOutput.h"

namespace {

template <class T, int N>
std::vector<T> elementsOf(const YVector<T, N>& vector) {
  return std::vector<T>(vector.data, vector.data + vector.size);
}

jbyteArray javaBytes(JNIEnv* env, const std::vector<jbyte>& bytes) {
  const jbyteArray array = env->NewByteArray(jsize(bytes.size()));
  env->SetByteArrayRegion(array, 0, jsize(bytes.size()), bytes.data());
  return array;
}

std::vector<jbyte> bytesOf(JNIEnv* env, jbyteArray array) {
  std::vector<jbyte> bytes(size_t(env->GetArrayLength(array)));
  env->GetByteArrayRegion(array, 0, jsize(bytes.size()), bytes.data());
  return bytes;
}

bool isValueIsNull(const std::string& failure) {
  return std::regex_match(failure, std::regex(R"(error at JniArrays:\d+: assertion failed: value is NULL)"));
}

using JavaArraysToVectors = JvmTest;
using VectorsToJavaArrays = JvmTest;
using CriticalElements = JvmTest;

}  // namespace

TEST_F(JavaArraysToVectors, BytesAreAppendedAsUnsigned) {
  YVector<uint8_t> bytes;
  bytes.add(9);
  const jbyteArray array = javaBytes(env, {1, -2, 127, -128});
  appendJavaByteArray(env, &bytes, array);
  EXPECT_EQ(elementsOf(bytes), (std::vector<uint8_t>{9, 1, 254, 127, 128}));
  EXPECT_EQ(bytesOf(env, array), (std::vector<jbyte>{1, -2, 127, -128}));
  appendJavaByteArray(env, &bytes, javaBytes(env, {}));
  EXPECT_EQ(bytes.size, 5);
}

TEST_F(JavaArraysToVectors, IntsAreAppendedInOrder) {
  YVector<int32_t> values;
  std::vector<jint> source;
  for (jint i = 0; i < 100; i++) source.push_back(i % 2 == 0 ? i : -i * 1000003);
  source.push_back(INT32_MIN);
  const jintArray array = env->NewIntArray(jsize(source.size()));
  env->SetIntArrayRegion(array, 0, jsize(source.size()), source.data());
  appendJavaIntArray(env, &values, array);
  EXPECT_EQ(elementsOf(values), std::vector<int32_t>(source.begin(), source.end()));
  appendJavaIntArray(env, &values, env->NewIntArray(0));
  EXPECT_EQ(values.size, int32_t(source.size()));
}

TEST_F(JavaArraysToVectors, NullArgumentsAreFatal) {
  YVector<uint8_t> bytes;
  YVector<int32_t> values;
  const jbyteArray byteArray = javaBytes(env, {1});
  const jintArray intArray = env->NewIntArray(1);
  EXPECT_TRUE(isValueIsNull(fatalErrorOf([&] { appendJavaByteArray(nullptr, &bytes, byteArray); })));
  EXPECT_TRUE(isValueIsNull(fatalErrorOf([&] { appendJavaByteArray(env, nullptr, byteArray); })));
  EXPECT_TRUE(isValueIsNull(fatalErrorOf([&] { appendJavaByteArray(env, &bytes, nullptr); })));
  EXPECT_TRUE(isValueIsNull(fatalErrorOf([&] { appendJavaIntArray(nullptr, &values, intArray); })));
  EXPECT_TRUE(isValueIsNull(fatalErrorOf([&] { appendJavaIntArray(env, nullptr, intArray); })));
  EXPECT_TRUE(isValueIsNull(fatalErrorOf([&] { appendJavaIntArray(env, &values, nullptr); })));
  EXPECT_EQ(bytes.size + values.size, 0);
}

TEST_F(VectorsToJavaArrays, IntsLongsAndBytes) {
  YVector<int32_t> ints;
  for (int32_t value : {0, -1, INT32_MAX, INT32_MIN, 42}) ints.add(value);
  const jintArray intArray = toJavaIntArray(env, ints);
  ASSERT_NE(intArray, nullptr);
  std::vector<jint> intsBack(5);
  ASSERT_EQ(env->GetArrayLength(intArray), 5);
  env->GetIntArrayRegion(intArray, 0, 5, intsBack.data());
  EXPECT_EQ(intsBack, (std::vector<jint>{0, -1, INT32_MAX, INT32_MIN, 42}));

  YVector<int64_t> longs;
  for (int64_t value : {int64_t(0), INT64_MIN, INT64_MAX, int64_t(1) << 40}) longs.add(value);
  const jlongArray longArray = toJavaLongArray(env, longs);
  ASSERT_NE(longArray, nullptr);
  std::vector<jlong> longsBack(4);
  ASSERT_EQ(env->GetArrayLength(longArray), 4);
  env->GetLongArrayRegion(longArray, 0, 4, longsBack.data());
  EXPECT_EQ(longsBack, (std::vector<jlong>{0, INT64_MIN, INT64_MAX, jlong(1) << 40}));

  const uint8_t bytes[] = {0, 0x7f, 0x80, 0xff};
  const jbyteArray byteArray = newByteArray(env, bytes, 4);
  ASSERT_NE(byteArray, nullptr);
  EXPECT_EQ(bytesOf(env, byteArray), (std::vector<jbyte>{0, 127, -128, -1}));
}

TEST_F(VectorsToJavaArrays, EmptyVectorsGiveEmptyArrays) {
  EXPECT_EQ(env->GetArrayLength(toJavaIntArray(env, YVector<int32_t>())), 0);
  EXPECT_EQ(env->GetArrayLength(toJavaLongArray(env, YVector<int64_t>())), 0);
  EXPECT_EQ(env->GetArrayLength(newByteArray(env, nullptr, 0)), 0);
}

// Checked JNI hands out a copy of the elements, so what reaches the Java array is what the release mode
// copies back: everything for CriticalArrayElements, nothing for the read-only scope.
TEST_F(CriticalElements, OnlyTheWritableScopeCopiesBack) {
  const jbyteArray array = javaBytes(env, {1, 2, 3});
  {
    const ReadOnlyCriticalArrayElements read(env, array);
    ASSERT_NE(read.elements, nullptr);
    static_cast<jbyte*>(const_cast<void*>(read.elements))[0] = 99;
  }
  EXPECT_EQ(bytesOf(env, array), (std::vector<jbyte>{1, 2, 3}));
  {
    const CriticalArrayElements write(env, array);
    ASSERT_NE(write.elements, nullptr);
    static_cast<jbyte*>(write.elements)[2] = 77;
  }
  EXPECT_EQ(bytesOf(env, array), (std::vector<jbyte>{1, 2, 77}));
}

TEST_F(CriticalElements, AnExceptionLeavingTheScopeReleasesWithoutCopyingBack) {
  const jbyteArray array = javaBytes(env, {5, 6});
  try {
    const ReadOnlyCriticalArrayElements read(env, array);
    static_cast<jbyte*>(const_cast<void*>(read.elements))[1] = 0;
    throw std::runtime_error("leaves the scope");
  } catch (const std::runtime_error&) {
  }
  // A region still held would make this call an illegal one, which checked JNI reports.
  EXPECT_EQ(bytesOf(env, array), (std::vector<jbyte>{5, 6}));
}
