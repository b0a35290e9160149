#pragma once

#include <jni.h>
#include <jvmti.h>

#include <atomic>

// The rest of the start that the JVM drives once the agent is loaded: VMStart registers the Java side's
// natives, VMInit initialises the Java side and starts the agent thread and the recording modes the
// options ask for, VMDeath lets the Java side do its exit work. An attach runs agentStart, agentInit and
// onStartProfiling itself.

// com/brantel/runtime/Core, kept by agentInit for the life of the process.
extern jclass coreClass;
// Set once agentInit has completed.
extern std::atomic<bool> agentInitialized;
// Set at VMDeath when the agent was initialised; threads starting later get no record.
extern std::atomic<bool> vmDead;

// Registers the natives of com/brantel/runtime/Callback in one call; a failure is fatal.
void agentStart(JNIEnv* env);
// Calls Core.init with the options' values, retransforms the early classes and starts the out-of-memory
// dump watcher. False when Core.init refused.
bool agentInit(JNIEnv* env);
// Lets the Java side reach jdk.internal.misc (Java 9 and later); failures are only logged.
void addModuleExports(JNIEnv* env);
// Starts the recording modes that the options ask for; their refusals are not inspected.
void onStartProfiling(JNIEnv* env);
// A new, unstarted java.lang.Thread named `name` (a local reference), for RunAgentThread.
jthread createJavaThread(JNIEnv* env, const char* name);

void JNICALL vmStartCallback(jvmtiEnv* jvmti, JNIEnv* env);
// Ends the process with exit code 20 when the Java side refuses to initialise.
void JNICALL vmInit(jvmtiEnv* jvmti, JNIEnv* env, jthread thread);
void JNICALL vmDeath(jvmtiEnv* jvmti, JNIEnv* env);
