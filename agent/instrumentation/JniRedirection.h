#pragma once

// Objects that native code creates through JNI never pass through instrumented bytecode. The JVM's JNI
// function table is therefore given wrappers of its sixteen object-creating functions: each calls the
// JVM's own function and hands a created object to allocation recording. Installed once, when the agent
// starts with allocation instrumentation allowed, and never undone; a JVMTI error is fatal.
void redirectJniFunctions();
