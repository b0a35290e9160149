#include <jni.h>

#include <cstdlib>

#include "agent/natives/NativeBarrier.h"
#include "agent/natives/RegistryServices.h"
#include "agent/support/JniStrings.h"

// The registry natives of com.brantel.Natives: Java strings as UTF-16 copies (null as the empty text),
// and a boolean for the view.

namespace {

int32_t viewOf(jboolean view64) { return view64 == JNI_TRUE ? 1 : 0; }

}  // namespace

extern "C" JNIEXPORT jstring JNICALL Java_com_brantel_Natives_getWinRegStringValue(JNIEnv* env, jclass, jint hive,
                                                                                  jstring key, jstring name,
                                                                                  jboolean view64) {
  return runNativeIn(env, "Natives", __LINE__, [&]() -> jstring {
    const YWideString wideKey = jstringToWideString(env, key);
    const YWideString wideName = jstringToWideString(env, name);
    char16_t* text = getWinRegStringValueImpl(hive, wideKey.data, wideName.data, viewOf(view64));
    if (text == nullptr) return nullptr;
    YString converted;
    try {
      converted = toUtf8String(YWideString(text));
    } catch (...) {
      std::free(text);
      throw;
    }
    std::free(text);
    return toJavaString(env, converted);
  });
}

extern "C" JNIEXPORT jint JNICALL Java_com_brantel_Natives_createWinRegKey(JNIEnv* env, jclass, jstring key,
                                                                          jboolean view64) {
  return runNativeIn(env, "Natives", __LINE__, [&] {
    return jint(createWinRegKeyImpl(jstringToWideString(env, key).data, viewOf(view64)));
  });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_Natives_setWinRegStringValue(JNIEnv* env, jclass, jstring key,
                                                                               jstring name, jstring value,
                                                                               jboolean view64) {
  runNativeIn(env, "Natives", __LINE__, [&] {
    setWinRegStringValueImpl(jstringToWideString(env, key).data, jstringToWideString(env, name).data,
                             jstringToWideString(env, value).data, viewOf(view64));
  });
}

extern "C" JNIEXPORT void JNICALL Java_com_brantel_Natives_deleteWinRegValue(JNIEnv* env, jclass, jstring key,
                                                                            jstring name, jboolean view64) {
  runNativeIn(env, "Natives", __LINE__, [&] {
    deleteWinRegValueImpl(jstringToWideString(env, key).data, jstringToWideString(env, name).data, viewOf(view64));
  });
}
