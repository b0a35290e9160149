#pragma once

#include <jni.h>

#include <cstdint>

#include "agent/platform/Sockets.h"
#include "agent/support/YVector.h"

// Answers a client's table request on its socket: for each table that `tableMask` selects, in index
// order, the table index and its rows changed since the client's generation for it (`since`, by table
// index; missing entries count as 0), then -1; little-endian. The database's stamp is then advanced, so
// that a later request since the stamp in force now gets only what changed after this reply. The
// reply is sent after "ourLock" is let go; a request that fails on the way sends nothing. Fatal
// "db is NULL" without a database.
void writeTablesToSocket(JNIEnv* env, SocketHandle socket, int32_t tableMask, const YVector<int32_t>& since);
