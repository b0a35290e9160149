#include "agent/natives/DominatorNatives.h"

#include "agent/heap/DominatorDriver.h"
#include "agent/natives/NativeBarrier.h"
#include "agent/support/FatalError.h"
#include "agent/support/JniStrings.h"
#include "agent/support/YString.h"

JNIEXPORT jint JNICALL Java_com_brantel_Natives_dc(JNIEnv* env, jclass, jstring inputFile, jstring outputFile,
                                                   jstring algorithm, jstring tempDirectory) {
  return runNativeIn(env, "DominatorNatives", __LINE__, [&]() -> jint {
    logWithMemoryUsage(YString("Natives_dc: starting..."));
    const YString input = jstringToYString(env, inputFile);
    const YString output = jstringToYString(env, outputFile);
    const YString name = jstringToYString(env, algorithm);
    const YString directory = jstringToYString(env, tempDirectory);
    const int32_t code = computeDominatorsCaught(input, output, name, directory);
    YString text("Natives_dc: return code ");
    text.appendLong(code);
    logWithMemoryUsage(text);
    return code;
  });
}
