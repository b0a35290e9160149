#pragma once

#include <jvmti.h>

// The agent's JVMTI environments. Only the main one exists so far; the start-up sequence fills it, and
// every JVMTI helper works on it.

// The main environment (version 1.1): the agent's capabilities and event callbacks. Null until start-up
// has created it.
extern jvmtiEnv* mainJvmti;
