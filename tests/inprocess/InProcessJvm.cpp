#include "tests/inprocess/InProcessJvm.h"

#include <dlfcn.h>
#include <jvmti.h>
#include <unistd.h>

#include <cstdio>

#include "agent/core/JvmtiEnvironments.h"

namespace {

JavaVM* jvm = nullptr;
JNIEnv* mainEnv = nullptr;

// Made in SetUp, which GoogleTest runs only when tests are about to run: listing them starts no JVM.
class JvmEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    JavaVMOption options[] = {{const_cast<char*>("-Xcheck:jni"), nullptr},
                              {const_cast<char*>("-Djava.class.path=" TALLYSCOPE_INPROCESS_CLASSES), nullptr},
                              {const_cast<char*>("-agentpath:" TALLYSCOPE_INPROCESS_AGENT), nullptr}};
    JavaVMInitArgs arguments{};
    arguments.version = JNI_VERSION_1_8;
    arguments.nOptions = jint(sizeof options / sizeof options[0]);
    arguments.options = options;
    arguments.ignoreUnrecognized = JNI_FALSE;
    ASSERT_EQ(JNI_CreateJavaVM(&jvm, reinterpret_cast<void**>(&mainEnv), &arguments), JNI_OK);
    // The environment that the agent loaded with the JVM made: made later, it would not get every
    // capability.
    void* agent = dlopen(TALLYSCOPE_INPROCESS_AGENT, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(agent, nullptr);
    auto* const* jvmti = static_cast<jvmtiEnv* const*>(dlsym(agent, "loadTimeJvmti"));
    ASSERT_NE(jvmti, nullptr);
    ASSERT_NE(*jvmti, nullptr);
    mainJvmti = *jvmti;
  }
};

}  // namespace

JavaVM* inProcessJvm() { return jvm; }
JNIEnv* mainJniEnv() { return mainEnv; }

ConsoleCapture::ConsoleCapture() {
  std::fflush(stdout);
  std::fflush(stderr);
  FILE* temporary = std::tmpfile();
  if (temporary == nullptr) return;
  file = dup(fileno(temporary));
  std::fclose(temporary);
  savedOut = dup(1);
  savedErr = dup(2);
  dup2(file, 1);
  dup2(file, 2);
}

ConsoleCapture::~ConsoleCapture() { finish(); }

std::string ConsoleCapture::finish() {
  if (file < 0) return captured;
  std::fflush(stdout);
  std::fflush(stderr);
  dup2(savedOut, 1);
  dup2(savedErr, 2);
  close(savedOut);
  close(savedErr);
  lseek(file, 0, SEEK_SET);
  char buffer[4096];
  for (ssize_t n; (n = read(file, buffer, sizeof buffer)) > 0;) captured.append(buffer, size_t(n));
  close(file);
  file = -1;
  return captured;
}

std::string firstJniWarning(const std::string& output) {
  // The three forms of HotSpot's checked JNI: a misuse, an overrun of the local reference capacity, and
  // a JNI call inside a critical region.
  for (const char* marker : {"WARNING in native method", "WARNING: JNI local refs", "Warning: Calling other JNI"}) {
    const size_t at = output.find(marker);
    if (at != std::string::npos) return output.substr(at, output.find('\n', at) - at);
  }
  return std::string();
}

void JvmTest::SetUp() {
  env = mainJniEnv();
  ASSERT_NE(env, nullptr);
  ASSERT_EQ(env->PushLocalFrame(64), 0);
  console = std::make_unique<ConsoleCapture>();
}

void JvmTest::TearDown() {
  const bool pending = env->ExceptionCheck();
  if (pending) env->ExceptionClear();
  env->PopLocalFrame(nullptr);
  const std::string output = console->finish();
  std::fputs(output.c_str(), stdout);
  EXPECT_FALSE(pending) << "the test left a Java exception pending";
  EXPECT_EQ(firstJniWarning(output), "");
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new JvmEnvironment);
  return RUN_ALL_TESTS();
}
