#pragma once

#include <cstdint>
#include <cstring>

// Classes of the JDK's runtime image that the build compiled into this test binary
// (cmake/JdkClassFixtures.cmake).
struct JdkClass {
  const char* name;  // internal form: java/lang/Thread
  const unsigned char* bytes;
  int32_t size;
};

extern const JdkClass jdkClasses[];
extern const int32_t jdkClassCount;

// Null when the build did not take the class.
inline const JdkClass* findJdkClass(const char* name) {
  for (int32_t i = 0; i < jdkClassCount; i++) {
    if (std::strcmp(jdkClasses[i].name, name) == 0) return &jdkClasses[i];
  }
  return nullptr;
}
