#include "agent/natives/HostUtilityNatives.h"

#include <cstdint>
#include <memory>

#include "agent/core/Markers.h"
#include "agent/natives/NativeBarrier.h"
#include "agent/platform/Directories.h"
#include "agent/platform/Files.h"
#include "agent/platform/Processes.h"
#include "agent/platform/SystemInfo.h"
#include "agent/support/CommonUtils.h"
#include "agent/support/FileUtils.h"
#include "agent/support/JniArrays.h"
#include "agent/support/JniStrings.h"
#include "agent/support/JniUtils.h"

namespace {

constexpr const char* source = "Natives";
constexpr int32_t readBufferSize = 0x100000;

// Little-endian 64-bit values into the array, in place. Past the end of the data the reader answers 0
// bytes, so the remaining elements become 0. False when the JVM cannot hand out the elements.
bool fillFromReader(JNIEnv* env, jlongArray array, jsize length, BufferedFileReader& reader) {
  const CriticalArrayElements view(env, array);
  if (view.elements == nullptr) return false;
  int64_t* elements = static_cast<int64_t*>(view.elements);
  for (jsize i = 0; i < length; i++) {
    uint64_t value = 0;
    for (int32_t k = 0; k < 8; k++) value |= uint64_t(reader.readByte()) << (8 * k);
    elements[i] = int64_t(value);
  }
  return true;
}

}  // namespace

// The file's length is not compared with the array's: bytes past 8 times its length are ignored.
extern "C" JNIEXPORT void JNICALL Java_com_brantel_Natives_readLongArrayFromFile(JNIEnv* env, jclass, jstring path,
                                                                                 jlongArray array) {
  runNativeIn(env, source, __LINE__, [&] {
    const YString name = jstringToYString(env, path);
    const FileDescriptorGuard file(openFileForRead(name));
    if (file.fd < 0) {
      throwRuntimeException(env, (YString("Failed to open file: ") + name).data);
      return;
    }
    if (array == nullptr) assertionFailed("assertion failed: value is NULL", source, __LINE__);
    const jsize length = env->GetArrayLength(array);
    const std::unique_ptr<unsigned char[]> buffer(new unsigned char[readBufferSize]);
    BufferedFileReader reader(file.fd, buffer.get(), readBufferSize);
    if (!fillFromReader(env, array, length, reader)) {
      throwElementsUnavailable(env);
      return;
    }
    if (reader.filled < 0) throwRuntimeException(env, (YString("Read error: ") + name).data);
  });
}

// A process list that cannot be had counts every process as live, so that a caller polling for an end
// waits rather than gives up early.
extern "C" JNIEXPORT jboolean JNICALL Java_com_brantel_Natives_isLivePid(JNIEnv* env, jclass, jint pid) {
  return runNativeIn(env, source, __LINE__, [&]() -> jboolean {
    YVector<uint32_t> pids;
    getAllPids(pids);
    if (pids.size == 0) return JNI_TRUE;
    for (int32_t i = 0; i < pids.size; i++) {
      if (pids[i] == uint32_t(pid)) return JNI_TRUE;
    }
    return JNI_FALSE;
  });
}

extern "C" JNIEXPORT jint JNICALL Java_com_brantel_Natives_getPid(JNIEnv* env, jclass) {
  return runNativeIn(env, source, __LINE__, [] { return jint(getOwnPid()); });
}

extern "C" JNIEXPORT jint JNICALL Java_com_brantel_Natives_getFreePort(JNIEnv* env, jclass, jint from, jint to) {
  return runNativeIn(env, source, __LINE__, [&] {
    YVector<int32_t> ports;
    getFreePorts(&ports, from, to);
    return ports.size > 0 ? jint(ports[0]) : jint(-1);
  });
}

extern "C" JNIEXPORT jstring JNICALL Java_com_brantel_Natives_getPlatformTempDir(JNIEnv* env, jclass) {
  return runNativeIn(env, source, __LINE__, [&] { return toJavaString(env, getTempDir()); });
}

// Null Java strings are empty texts here, so a null pattern matches only the empty text.
extern "C" JNIEXPORT jboolean JNICALL Java_com_brantel_Natives_matches(JNIEnv* env, jclass, jstring pattern,
                                                                       jstring text) {
  return runNativeIn(env, source, __LINE__, [&] {
    return jboolean(matchesWildcardStrings(jstringToYString(env, pattern), jstringToYString(env, text)));
  });
}

extern "C" JNIEXPORT jlong JNICALL Java_com_brantel_Natives_getSystemPhysicalMemorySize(JNIEnv* env, jclass) {
  return runNativeIn(env, source, __LINE__, [] { return jlong(getSystemPhysicalMemorySize()); });
}

// The handle is the address of an empty string and holds nothing else.
extern "C" JNIEXPORT jlong JNICALL Java_com_brantel_Natives_createDatabase(JNIEnv* env, jclass) {
  return runNativeIn(env, source, __LINE__, [] { return jlong(reinterpret_cast<intptr_t>(new YString())); });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_Natives_deleteDatabaseImpl(JNIEnv* env, jclass, jlong handle) {
  runNativeIn(env, source, __LINE__, [&] {
    if (handle == 0) assertionFailed("assertion failed: value is NULL", "DatabaseNatives", __LINE__);
    delete reinterpret_cast<YString*>(intptr_t(handle));
  });
}
