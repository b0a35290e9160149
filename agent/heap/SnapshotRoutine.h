#pragma once

#include <jni.h>

#include <cstdint>

#include "agent/platform/Sockets.h"
#include "agent/platform/YCriticalSection.h"
#include "agent/support/YString.h"

class InstanceCounts;

// Writes a snapshot onto `fd`, a new file at `path` that the caller opened, and closes it on every road:
// the header record and the tables record, after which the database's stamp is advanced. A memory
// snapshot (flag 0x1) starts a new generation and adds the heap: name and class-load records, the heap
// segments and the tables changed meanwhile; once the descriptor is closed, the field values are filled
// in through a mapping of the file and the class reference record is appended. Progress messages go to
// the client socket unless the flags have 0x800. The caller holds "ourLock" (`held`) and, for a memory
// snapshot, keeps the other Java threads suspended. A count of the live instances, when given, goes
// into the tables written. Returns the first error's text, empty on success.
YString writeSnapshot(const YCriticalSectionLock& held, JNIEnv* env, int32_t fd, SocketHandle clientSocket,
                      int64_t flags, const YString& path, InstanceCounts* instanceCounts = nullptr);
