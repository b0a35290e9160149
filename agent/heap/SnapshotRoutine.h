#pragma once

#include <jni.h>

#include <cstdint>

#include "agent/platform/Sockets.h"
#include "agent/platform/YCriticalSection.h"
#include "agent/support/YString.h"

class InstanceCounts;

// Writes a snapshot onto `fd`, a new file that the caller opened, and closes it on every road: the
// header record, the tables record, then the database's stamp is advanced. Progress messages go to the
// client socket unless the flags have 0x800. The caller holds "ourLock" (`held`) and has refused
// memory snapshots (flag 0x1), whose heap this build does not write. A count of the live instances, when
// given, goes into the tables written. Returns the first write error's text, empty on success.
YString writeSnapshot(const YCriticalSectionLock& held, JNIEnv* env, int32_t fd, SocketHandle clientSocket,
                      int64_t flags, InstanceCounts* instanceCounts = nullptr);
