#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "agent/support/JniUtils.h"
#include "tests/inprocess/InProcessJvm.h"
#include "tests/inprocess/JavaValues.h"
#include "tests/support/LogCapture.h"

namespace {

std::string str(const YString& text) { return std::string(text.data, size_t(text.length)); }

std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

using PendingExceptionCheck = JvmTest;
using ThrowingExceptions = JvmTest;
using DescribingExceptions = JvmTest;
using AssertJni = JvmTest;
using ClassLookup = JvmTest;

}  // namespace

// The harness's verdict rests on seeing checked JNI complain: a call with an exception pending must show.
TEST_F(PendingExceptionCheck, ACallWithAnExceptionPendingIsReportedOnTheConsole) {
  ConsoleCapture console;
  env->Throw(newThrowable(env, "java/lang/IllegalStateException", u"pending"));
  env->DeleteLocalRef(env->FindClass("java/lang/String"));
  env->ExceptionClear();
  EXPECT_EQ(firstJniWarning(console.finish()), "WARNING in native method: JNI call made with exception pending");
}

TEST_F(ThrowingExceptions, TheNativesAnswersAreRuntimeExceptionsWithTheirMessages) {
  struct Case {
    void (*raise)(JNIEnv*);
    std::u16string message;
  };
  for (const Case& c :
       std::vector<Case>{{[](JNIEnv* e) { throwRuntimeException(e, "no such table: Grüße"); }, u"no such table: Grüße"},
                         {throwNativeAssertionFailed, u"assertion failed in native code; see agent log for detail"},
                         {throwDbOome, u"db::oome"}}) {
    c.raise(env);
    const ThrowableFacts thrown = takePendingException(env);
    EXPECT_EQ(thrown.className, "java.lang.RuntimeException");
    EXPECT_EQ(thrown.message, c.message);
  }
}

// A native that caught the fatal-error exception of assertJni still has the Java exception pending; its
// answer replaces it without an illegal call.
TEST_F(ThrowingExceptions, TheAnswerReplacesAnExceptionAlreadyPending) {
  env->Throw(newThrowable(env, "java/lang/IllegalStateException", u"earlier"));
  throwNativeAssertionFailed(env);
  const ThrowableFacts thrown = takePendingException(env);
  EXPECT_EQ(thrown.className, "java.lang.RuntimeException");
  EXPECT_EQ(thrown.message, u"assertion failed in native code; see agent log for detail");
}

TEST_F(ThrowingExceptions, TheThrowExceptionNativeThrowsTheGivenClassWithAnEmptyMessage) {
  const jclass callback = env->FindClass("java/lang/Object");
  const jclass illegalState = env->FindClass("java/lang/IllegalStateException");
  Java_com_brantel_runtime_Callback_throwException(env, callback, illegalState);
  const ThrowableFacts thrown = takePendingException(env);
  EXPECT_EQ(thrown.className, "java.lang.IllegalStateException");
  EXPECT_FALSE(thrown.nullMessage);
  EXPECT_EQ(thrown.message, u"");
}

TEST_F(ThrowingExceptions, ARetransformationFailureIsClearedAndLoggedAsAWarning) {
  LogCapture log;
  warnRetransformFailed(env);
  EXPECT_TRUE(log.entries().empty());
  env->Throw(newThrowable(env, "java/lang/UnsupportedOperationException", u"class redefinition failed"));
  warnRetransformFailed(env);
  EXPECT_FALSE(env->ExceptionCheck());
  EXPECT_EQ(log.entries(),
            std::vector<std::string>{"warning: (additional info) retransform failed with JNI exception"});
}

TEST_F(DescribingExceptions, ClassNameAndMessageOrNothing) {
  struct Case {
    const char* className;
    const char16_t* message;
    std::string description;
  };
  for (const Case& c : std::vector<Case>{
           {"java/lang/IllegalArgumentException", u"bad input", "java.lang.IllegalArgumentException: bad input"},
           {"java/util/ConcurrentModificationException", u"", "java.util.ConcurrentModificationException: "},
           // The message as modified UTF-8: U+00FC, and U+1F600 as two three-byte surrogates.
           {"java/lang/Error", u"\u00fc \U0001F600", "java.lang.Error: \xc3\xbc \xed\xa0\xbd\xed\xb8\x80"},
           // A null message gives nothing at all, not the class name alone.
           {"java/lang/NullPointerException", nullptr, ""}}) {
    const jthrowable exception = newThrowable(env, c.className, c.message);
    EXPECT_EQ(str(describeJavaException(env, exception)), c.description) << c.className;
    env->DeleteLocalRef(exception);
  }
  EXPECT_EQ(str(describeJavaException(env, nullptr)), "");
}

TEST_F(DescribingExceptions, AnExceptionPendingMeanwhileStaysPending) {
  const jthrowable pending = newThrowable(env, "java/lang/IllegalStateException", u"still here");
  const jthrowable described = newThrowable(env, "java/lang/ArithmeticException", u"/ by zero");
  env->Throw(pending);
  EXPECT_EQ(str(describeJavaException(env, described)), "java.lang.ArithmeticException: / by zero");
  const jthrowable after = env->ExceptionOccurred();
  env->ExceptionClear();
  EXPECT_TRUE(env->IsSameObject(after, pending));
  // The pending exception itself can be described, and stays pending too.
  env->Throw(pending);
  EXPECT_EQ(str(describeJavaException(env, pending)), "java.lang.IllegalStateException: still here");
  EXPECT_TRUE(env->ExceptionCheck());
  env->ExceptionClear();
}

TEST_F(DescribingExceptions, APendingExceptionIsClearedThenLoggedWithTheMemoryFigures) {
  LogCapture log;
  clearAndLogPendingException(env);
  EXPECT_TRUE(log.entries().empty());
  env->Throw(newThrowable(env, "java/lang/OutOfMemoryError", u"Java heap space"));
  clearAndLogPendingException(env);
  EXPECT_FALSE(env->ExceptionCheck());
  ASSERT_EQ(log.entries().size(), 1u);
  EXPECT_TRUE(std::regex_match(log.entries()[0],
                               std::regex(R"(\[m: (\d+|\?) (\d+|\?)\] \(previous error additional info\): )"
                                          R"(exception message: java\.lang\.OutOfMemoryError: Java heap space)")))
      << log.entries()[0];
}

TEST_F(AssertJni, NothingPendingIsNothing) {
  LogCapture log;
  assertJni(env, "CoreNatives", 2065);
  EXPECT_TRUE(log.entries().empty());
}

TEST_F(AssertJni, APendingExceptionIsFatalWithItsDescriptionAndStaysPending) {
  const jthrowable thrown = newThrowable(env, "java/lang/IllegalStateException", u"broken state");
  env->Throw(thrown);
  LogCapture log;
  EXPECT_THROW(assertJni(env, "CoreNatives", 2065), BZPRuntimeException);
  ASSERT_EQ(log.entries().size(), 1u);
  const std::string entry = log.entries()[0];
  EXPECT_TRUE(std::regex_search(entry, std::regex(R"(^error at JniUtils:\d+: assertJni failed at CoreNatives:2065\n)"
                                                  R"(java\.lang\.IllegalStateException: broken state\n    )")))
      << entry;
  const jthrowable pending = env->ExceptionOccurred();
  env->ExceptionClear();
  EXPECT_TRUE(env->IsSameObject(pending, thrown));
}

TEST_F(ClassLookup, FindsALoadedClass) {
  LogCapture log;
  const jclass found = findClass(env, "java/util/Map$Entry");
  ASSERT_NE(found, nullptr);
  EXPECT_TRUE(env->IsSameObject(found, env->FindClass("java/util/Map$Entry")));
  EXPECT_TRUE(log.entries().empty());
}

TEST_F(ClassLookup, AMissingClassIsLoggedByNameThenFatal) {
  LogCapture log;
  EXPECT_THROW(findClass(env, "com/brantel/runtime/Missing"), BZPRuntimeException);
  const ThrowableFacts pending = takePendingException(env);
  EXPECT_EQ(pending.className, "java.lang.NoClassDefFoundError");
  const std::vector<std::string> entries = log.entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0], "findClass failed: com/brantel/runtime/Missing");
  EXPECT_TRUE(
      std::regex_match(firstLine(entries[1]), std::regex(R"(error at JniUtils:\d+: assertJni failed at JniUtils:\d+)")))
      << entries[1];
  EXPECT_NE(entries[1].find("\njava.lang.NoClassDefFoundError: com/brantel/runtime/Missing\n"), std::string::npos)
      << entries[1];
}

TEST_F(ClassLookup, CallObjectMethodPassesItsArguments) {
  const jclass stringClass = env->FindClass("java/lang/String");
  const jmethodID concat = env->GetMethodID(stringClass, "concat", "(Ljava/lang/String;)Ljava/lang/String;");
  const auto joined =
      static_cast<jstring>(callObjectMethod(env, javaString(env, u"tally"), concat, javaString(env, u"scope")));
  ASSERT_FALSE(env->ExceptionCheck());
  EXPECT_EQ(unitsOf(env, joined), u"tallyscope");
}
