#pragma once

#include <gtest/gtest.h>
#include <jni.h>

#include <memory>
#include <string>

// The JVM of the in-process tests: created once per process before the first test runs (never when the
// executable only lists its tests), with "-Xcheck:jni", the classes of tests/inprocess/java on its class
// path, the calling thread attached as "main", and the main JVMTI environment (version 1.1) stored in
// mainJvmti. That environment, made by a small agent the JVM loads at its start, can tag objects and read
// line tables, source file names, local variable tables and thread CPU times.
JavaVM* inProcessJvm();
// The JNIEnv of the main thread, on which the tests run.
JNIEnv* mainJniEnv();

// What the process writes to its standard output and error streams (file descriptors 1 and 2) while the
// object lives; the JVM's own reports, "-Xcheck:jni" warnings among them, go there.
class ConsoleCapture {
 public:
  ConsoleCapture();
  ~ConsoleCapture();
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;

  // Ends the capture (once) and returns everything written during it.
  std::string finish();

 private:
  int savedOut = -1;
  int savedErr = -1;
  int file = -1;
  std::string captured;
};

// The first "-Xcheck:jni" complaint in `output`, empty when there is none.
std::string firstJniWarning(const std::string& output);

// A test on the main thread with a local frame of its own. It fails when the test leaves a Java
// exception pending or when "-Xcheck:jni" complains about any JNI call made during it; the captured
// console output is written out again afterwards.
class JvmTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  JNIEnv* env = nullptr;

 private:
  std::unique_ptr<ConsoleCapture> console;
};
