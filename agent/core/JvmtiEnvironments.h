#pragma once

#include <jvmti.h>

#include "agent/support/JvmtiUtils.h"

// The agent's JVMTI environments. Object tags belong to an environment, so each concern that tags objects
// has an environment of its own holding only the tagging capability; the main one holds everything else.
// All are made once at start-up and live until the process ends, unless an attach fails.

// The main environment is mainJvmti of the support layer.
extern jvmtiEnv* heapSnapshotJvmti;   // the heap snapshot writer
extern jvmtiEnv* instanceCountJvmti;  // per-class instance counting
extern jvmtiEnv* monitorJvmti;        // monitor class ids
extern jvmtiEnv* exceptionJvmti;      // exception recording
extern jvmtiEnv* classLoadingJvmti;   // the Class Loading probe: each tag points to a heap-held class name
extern jvmtiEnv* objectMapJvmti;      // object identifiers of the object maps
extern jvmtiEnv* allocationJvmti;     // allocation recording
// The objects the object enumerator numbered, each tagged with its number, whose frees it hears of. Not
// the main environment: every object there carries a generation tag once a generation began, and the
// JVM would report every such object that dies (and, in JDK 17, can stop its own exit for good while it
// reports them).
extern jvmtiEnv* numberedObjectJvmti;
// Filled only by the attach-time retransformation, and disposed of by it.
extern jvmtiEnv* retransformJvmti;

// A further environment (version 1.0) with can_tag_objects and, with `objectFree`, ObjectFree events.
// Ends the process with exit code 21 when the JVM gives no environment, 22 when it refuses the
// capabilities.
jvmtiEnv* createJvmtiEnvironment(bool objectFree);

// Installs a callback table of the full 37-slot layout; a JVM that refuses that size gets the 35 slots it
// knows unless heap sampling is available. A refusal of the size it knows is fatal.
void setEventCallbacks(jvmtiEnv* jvmti, const jvmtiEventCallbacks& callbacks);

// Disposes of every environment that exists and empties its slot: the main one, the retransformation
// slot, then the further ones in the order above.
void disposeJvmtiEnvironments();
