#include <gtest/gtest.h>
#include <jni.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "agent/heap/ObjectStorage.h"
#include "agent/natives/ObjectStorageNatives.h"
#include "tests/support/LogCapture.h"

// The search natives when the JVM cannot give an array's elements in place (GetPrimitiveArrayCritical
// answers null), which a real JVM does only under memory pressure: a JNI environment of our own gives or
// refuses each array, and records what the natives do with them.

namespace {

struct FakeArray {
  std::vector<int32_t> values;
  bool available = true;
  int32_t held = 0;
  std::vector<jint> releaseModes;
};

struct FakeJvm {
  JNINativeInterface_ table{};
  JNIEnv_ env{};
  std::vector<std::string> thrown;  // "<class>: <message>"

  FakeJvm() {
    table.GetArrayLength = [](JNIEnv*, jarray array) { return jsize(fake(array).values.size()); };
    table.GetPrimitiveArrayCritical = [](JNIEnv*, jarray array, jboolean*) -> void* {
      FakeArray& a = fake(array);
      if (!a.available) return nullptr;
      a.held++;
      return a.values.data();
    };
    table.ReleasePrimitiveArrayCritical = [](JNIEnv*, jarray array, void*, jint mode) {
      fake(array).held--;
      fake(array).releaseModes.push_back(mode);
    };
    table.FindClass = [](JNIEnv*, const char* name) { return reinterpret_cast<jclass>(const_cast<char*>(name)); };
    table.ThrowNew = [](JNIEnv*, jclass klass, const char* message) {
      current->thrown.push_back(std::string(reinterpret_cast<const char*>(klass)) + ": " + message);
      return jint(0);
    };
    table.ExceptionOccurred = [](JNIEnv*) { return jthrowable(nullptr); };
    table.ExceptionCheck = [](JNIEnv*) { return jboolean(JNI_FALSE); };
    table.ExceptionClear = [](JNIEnv*) {};
    env.functions = &table;
    current = this;
  }
  ~FakeJvm() { current = nullptr; }

  static inline FakeJvm* current = nullptr;

  static FakeArray& fake(jarray array) { return *reinterpret_cast<FakeArray*>(array); }
};

jintArray handOut(FakeArray& array) { return reinterpret_cast<jintArray>(&array); }

}  // namespace

TEST(SearchNativesArrayViews, AnArrayNotGivenInPlaceIsAnErrorAndNothingIsSearched) {
  LogCapture quiet;
  ObjectStorage storage(3);
  storage.references.allocate(1, 1);
  storage.references.setRef(1, 2, 0);
  const jlong handle = jlong(reinterpret_cast<intptr_t>(&storage));
  // Each search marks objects 1 and 2 from root 1 (or start set {1}) into the array at `written`.
  struct Case {
    std::string name;
    std::vector<std::vector<int32_t>> arrays;
    int32_t written;
    std::function<void(JNIEnv*, const std::vector<jintArray>&)> call;
  };
  const std::vector<Case> cases{
      {"f",
       {{1}, {0}},
       1,
       [&](JNIEnv* env, const std::vector<jintArray>& a) {
         Java_com_brantel_Natives_f(env, nullptr, handle, a[0], a[1]);
       }},
      {"fStrong",
       {{0b10}, {0}, {1, 5}},
       1,
       [&](JNIEnv* env, const std::vector<jintArray>& a) {
         Java_com_brantel_Natives_fStrong(env, nullptr, handle, a[0], a[1], a[2], 0, 0);
       }},
      {"f0m",
       {{0b1000}, {1}, {0}},
       2,
       [&](JNIEnv* env, const std::vector<jintArray>& a) {
         Java_com_brantel_Natives_f0m(env, nullptr, handle, a[0], a[1], a[2]);
       }},
      {"f0o",
       {{3}, {1}, {0}},
       2,
       [&](JNIEnv* env, const std::vector<jintArray>& a) {
         Java_com_brantel_Natives_f0o(env, nullptr, handle, a[0], 0, 1, a[1], a[2]);
       }},
  };
  for (const Case& c : cases) {
    const int32_t count = int32_t(c.arrays.size());
    for (int32_t refused = -1; refused < count; refused++) {
      SCOPED_TRACE(c.name + ", array " + std::to_string(refused) + " refused");
      FakeJvm jvm;
      std::vector<FakeArray> arrays(count);
      std::vector<jintArray> handles;
      for (int32_t k = 0; k < count; k++) {
        arrays[k].values = c.arrays[k];
        arrays[k].available = k != refused;
        handles.push_back(handOut(arrays[k]));
      }
      c.call(&jvm.env, handles);
      for (int32_t k = 0; k < count; k++) {
        EXPECT_EQ(arrays[k].held, 0) << "array " << k << " left held";
        const std::vector<jint> modes = k == refused || (refused >= 0 && k > refused)
                                            ? std::vector<jint>{}
                                            : std::vector<jint>{k == c.written ? 0 : JNI_ABORT};
        EXPECT_EQ(arrays[k].releaseModes, modes) << "array " << k;
      }
      if (refused >= 0) {
        EXPECT_EQ(jvm.thrown,
                  std::vector<std::string>{"java/lang/OutOfMemoryError: array elements not available in place"});
        EXPECT_EQ(arrays[c.written].values[0], 0);
      } else {
        EXPECT_TRUE(jvm.thrown.empty());
        EXPECT_NE(arrays[c.written].values[0], 0);
      }
    }
  }
}
