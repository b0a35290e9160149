#pragma once

#include <jni.h>

class ClassFile;

// Instrumented code always calls the same four entry methods of com/brantel/runtime/Callback; what they
// do follows the recording modes. The class carries a ready-made body for each mode, and a redefinition
// of the class copies the bodies that fit the current profiling flags over the entry methods. Every
// redefinition starts from the pristine class bytes (the copy built into the library, or the class file
// under "_agent_cp"), so with every mode off the class's own bodies are back.

// Redefines the Callback class with the bodies of the current modes; false, logged, when the JVM refuses.
// Takes "ourLock". Once the JVM's exit has begun the class keeps its bodies, and the answer is true.
bool switchCallbackMethods(JNIEnv* env);

// Gives the method `target` (descriptor `descriptor`) a copy of the attributes, its code among them, of
// the method `source` of the same descriptor; the source stays as it is. A missing method is fatal.
void copyMethodBody(ClassFile* classFile, const char* target, const char* source, const char* descriptor);
