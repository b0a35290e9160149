#include "agent/core/JvmtiEnvironments.h"

jvmtiEnv* mainJvmti = nullptr;
