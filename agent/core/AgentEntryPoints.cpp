#include <jvmti.h>

// The JVMTI entry points. They only accept the load for now: the start-up sequence (options, log,
// environments, database) is not built yet, so loading succeeds and the JVM runs on unchanged.

extern "C" JNIEXPORT jint JNICALL Agent_OnLoad(JavaVM*, char*, void*) { return 0; }

extern "C" JNIEXPORT jint JNICALL Agent_OnAttach(JavaVM*, char*, void*) { return 0; }

extern "C" JNIEXPORT void JNICALL Agent_OnUnload(JavaVM*) {}
