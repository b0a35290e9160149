#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "agent/support/JniStrings.h"
#include "tests/inprocess/InProcessJvm.h"
#include "tests/inprocess/JavaValues.h"
#include "tests/support/FatalErrorOutput.h"
#include "tests/support/LogCapture.h"

namespace {

std::string str(const YString& text) { return std::string(text.data, size_t(text.length)); }
std::u16string str(const YWideString& text) { return std::u16string(text.data, size_t(text.length)); }

// A Java string and the modified UTF-8 that JNI gives for it and takes back.
struct Conversion {
  std::u16string units;
  std::string modifiedUtf8;
};

const std::vector<Conversion> conversions = {
    {u"", ""},
    {u"java.lang.Thread", "java.lang.Thread"},
    {u"Gr\u00fc\u00dfe \u20ac", "Gr\xc3\xbc\xc3\x9f\x65 \xe2\x82\xac"},
    // Beyond U+FFFF: the two surrogates, three bytes each (not the four bytes of standard UTF-8).
    {u"\U0001F600", "\xed\xa0\xbd\xed\xb8\x80"},
    // U+0000 is C0 80, so the text holds no zero byte and nothing is cut off behind it.
    {std::u16string(u"a\0b", 3), "a\xc0\x80\x62"},
    {std::u16string(u"\0", 1), "\xc0\x80"},
};

// A String object made without its constructor: it has no characters for JNI to hand out.
jstring stringWithoutCharacters(JNIEnv* env) {
  const jclass stringClass = env->FindClass("java/lang/String");
  const auto made = static_cast<jstring>(env->AllocObject(stringClass));
  env->DeleteLocalRef(stringClass);
  return made;
}

// A String[] of these elements, null where the element is null.
jobjectArray javaStringArray(JNIEnv* env, const std::vector<const char16_t*>& elements) {
  const jclass stringClass = env->FindClass("java/lang/String");
  const jobjectArray array = env->NewObjectArray(jsize(elements.size()), stringClass, nullptr);
  for (size_t i = 0; i < elements.size(); i++) {
    if (elements[i] == nullptr) continue;
    const jstring element = javaString(env, elements[i]);
    env->SetObjectArrayElement(array, jsize(i), element);
    env->DeleteLocalRef(element);
  }
  env->DeleteLocalRef(stringClass);
  return array;
}

std::vector<std::string> strs(const YVector<YString>& strings) {
  std::vector<std::string> result;
  for (int32_t i = 0; i < strings.size; i++) result.push_back(str(strings.get(i)));
  return result;
}

bool isValueIsNullAt(const std::string& failure, const char* file) {
  return std::regex_match(failure,
                          std::regex(std::string("error at ") + file + R"(:\d+: assertion failed: value is NULL)"));
}

using StringsToNative = JvmTest;
using StringsToJava = JvmTest;
using StringArrays = JvmTest;

}  // namespace

TEST_F(StringsToNative, ModifiedUtf8AndUtf16Copies) {
  for (const Conversion& c : conversions) {
    const jstring string = javaString(env, c.units);
    EXPECT_EQ(str(jstringToYString(env, string)), c.modifiedUtf8);
    const std::unique_ptr<YString> copy = jstringToYStringOrError(env, string);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(str(*copy), c.modifiedUtf8);
    const YWideString wide = jstringToWideString(env, string);
    EXPECT_EQ(str(wide), c.units);
    EXPECT_EQ(wide.data[wide.length], u'\0');
    env->DeleteLocalRef(string);
  }
}

TEST_F(StringsToNative, NullIsEmptyOrNull) {
  EXPECT_EQ(str(jstringToYString(env, nullptr)), "");
  EXPECT_EQ(jstringToYStringOrError(env, nullptr), nullptr);
  EXPECT_EQ(str(jstringToWideString(env, nullptr)), u"");
}

TEST_F(StringsToNative, CharactersThatCannotBeHadAreFatalOrAnErrorResult) {
  const jstring broken = stringWithoutCharacters(env);
  EXPECT_TRUE(isValueIsNullAt(fatalErrorOf([&] { jstringToYString(env, broken); }), "JniStrings"));
  LogCapture log;
  EXPECT_EQ(jstringToYStringOrError(env, broken), nullptr);
  EXPECT_EQ(log.entries(), std::vector<std::string>{"error: GetStringUTFChars failed"});
}

TEST_F(StringsToJava, ModifiedUtf8BecomesTheSameJavaString) {
  for (const Conversion& c : conversions) {
    const jstring fromText = toJavaString(env, c.modifiedUtf8.c_str());
    ASSERT_NE(fromText, nullptr);
    EXPECT_EQ(unitsOf(env, fromText), c.units);
    const jstring fromString = toJavaString(env, YString(c.modifiedUtf8.c_str()));
    ASSERT_NE(fromString, nullptr);
    EXPECT_EQ(unitsOf(env, fromString), c.units);
    env->DeleteLocalRef(fromText);
    env->DeleteLocalRef(fromString);
  }
}

// Nothing is asked of JNI: without an environment the call still answers.
TEST_F(StringsToJava, ANullTextIsNullWithoutCallingJni) {
  EXPECT_EQ(toJavaString(nullptr, static_cast<const char*>(nullptr)), nullptr);
}

TEST_F(StringArrays, ElementsAreAppendedInOrderWithNullAsEmpty) {
  YVector<YString> strings;
  strings.add(YString("kept"));
  jstringArrayToVector(env, javaStringArray(env, {u"first", nullptr, u"\U0001F600"}), &strings);
  EXPECT_EQ(strs(strings), (std::vector<std::string>{"kept", "first", "", "\xed\xa0\xbd\xed\xb8\x80"}));
  appendJavaStringArrayIfNotNull(env, javaStringArray(env, {u"last"}), &strings);
  appendJavaStringArrayIfNotNull(env, nullptr, &strings);
  EXPECT_EQ(strs(strings).back(), "last");
  EXPECT_EQ(strings.size, 5);
}

// More elements than the local frame has room for: each element's reference must go once converted,
// or checked JNI reports the overrun.
TEST_F(StringArrays, ALongArrayHoldsNoReferencePerElement) {
  const std::vector<const char16_t*> elements(500, u"element");
  YVector<YString> strings;
  jstringArrayToVector(env, javaStringArray(env, elements), &strings);
  EXPECT_EQ(strings.size, 500);
  const jobjectArray back = toJavaStringArray(env, &strings);
  EXPECT_EQ(env->GetArrayLength(back), 500);
}

TEST_F(StringArrays, NullArgumentsAreFatal) {
  YVector<YString> strings;
  const jobjectArray array = javaStringArray(env, {u"x"});
  EXPECT_TRUE(isValueIsNullAt(fatalErrorOf([&] { jstringArrayToVector(env, nullptr, &strings); }), "JniStrings"));
  EXPECT_TRUE(isValueIsNullAt(fatalErrorOf([&] { jstringArrayToVector(env, array, nullptr); }), "JniStrings"));
  EXPECT_TRUE(isValueIsNullAt(fatalErrorOf([&] { toJavaStringArray(env, nullptr); }), "JniStrings"));
  EXPECT_EQ(strings.size, 0);
}

TEST_F(StringArrays, VectorsBecomeStringArrays) {
  YVector<YString> strings;
  for (const Conversion& c : conversions) strings.add(YString(c.modifiedUtf8.c_str()));
  const jobjectArray array = toJavaStringArray(env, &strings);
  ASSERT_NE(array, nullptr);
  ASSERT_EQ(env->GetArrayLength(array), jsize(conversions.size()));
  const jclass stringArrayClass = env->FindClass("[Ljava/lang/String;");
  EXPECT_TRUE(env->IsInstanceOf(array, stringArrayClass));
  for (size_t i = 0; i < conversions.size(); i++) {
    const auto element = static_cast<jstring>(env->GetObjectArrayElement(array, jsize(i)));
    EXPECT_EQ(unitsOf(env, element), conversions[i].units);
    env->DeleteLocalRef(element);
  }
  const YVector<YString> none;
  EXPECT_EQ(env->GetArrayLength(toJavaStringArray(env, &none)), 0);
}
