#pragma once

#include <jni.h>

#include <cstdint>

#include "agent/platform/Sockets.h"
#include "agent/support/YString.h"

// Captures a snapshot of the database into the file at `path` (created or truncated), under "ourLock"
// and with every other Java thread suspended (unless the agent could not ask for suspension). Progress
// messages go to `clientSocket` (0: none). Null on success, else the reason as a Java string. A file
// whose writing failed is deleted unless the hidden option "_keep_broken" is given; a failure that
// leaves the capture as a fatal error resumes the threads and deletes the file the same way.
jstring captureSnapshotToFile(JNIEnv* env, jstring path, int32_t clientSocket, int64_t flags);

// The same for a path in the agent's own text: the reason, empty on success.
YString captureSnapshotToPath(JNIEnv* env, const YString& path, SocketHandle clientSocket, int64_t flags);
