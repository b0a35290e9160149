#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstdint>

#include "agent/support/ClassNameSet.h"
#include "agent/support/YString.h"

// The road of every class the JVM loads, redefines or retransforms: which classes stay as they are and
// why, the wrapping of native methods, and the hand-back of the edited class. Everything runs under
// "ourLock"; nothing thrown leaves the hook, and a class that cannot be edited loads as the JVM gave it.

// The main environment's ClassFileLoadHook handler. Leaves the outputs 0 and null for a class that stays
// unchanged.
void JNICALL ClassFileLoadHook(jvmtiEnv* jvmti, JNIEnv* env, jclass classBeingRedefined, jobject loader,
                               const char* name, jobject protectionDomain, jint classDataLength,
                               const unsigned char* classData, jint* newClassDataLength,
                               unsigned char** newClassData);

// Edits the class `name` (internal form) when a rule asks for it; the new class file goes to the
// outputs in a block from JVMTI Allocate, which the JVM then owns. With `shouldWrapNatives` its native
// methods get bytecode bodies. `isRetry` is the one redo of a class whose tracing and allocation
// instrumentation made it too big while other edits fit: the redo leaves that instrumentation out. Runs
// under "ourLock".
void transformClass(const YString& name, jint classDataLength, const unsigned char* classData,
                    jint* newClassDataLength, unsigned char** newClassData, bool shouldWrapNatives,
                    bool isRetry);

// Only the wrapping of the class's native methods, for java/lang/Thread while the JVM is primordial.
void wrapNatives(const YString& name, jint classDataLength, const unsigned char* classData,
                 jint* newClassDataLength, unsigned char** newClassData, bool log);

// The internal names of the classes whose native methods were wrapped while the JVM could still redefine
// them: a redefinition of such a class wraps them again.
ClassNameSet& wrappedNativesClasses();
// The Java names of the classes whose instrumentation depends on whether CPU tracing runs (their large
// methods carry line callbacks only while it does): they are retransformed when tracing starts or stops.
ClassNameSet& patchedClassNames();

// Logs the phase prefix, the class name, ": " and the message.
void logClassProblem(const YString& name, const char* message);
// "[-1] " without the main environment, "[<phase>] " outside the live phase, nothing in it.
void appendPhasePrefix(YString& text);
