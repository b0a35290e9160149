#pragma once

#include <cstdint>

#include "agent/support/YString.h"

// Small files that say "this process is here" to other processes, and their readers.

// Creates the file, readable by every user, and keeps it open for the rest of the process; the handle
// is never closed. On Windows the file is deleted when the process ends; on Linux it stays behind, and
// readers tell a leftover by its process having ended. A leftover of an ended process under the same
// name is replaced. -1 when the file cannot be created.
int64_t createProcessLifetimeFile(const YString& path);
// Replaces the whole content of such a file; true when every byte was written.
bool replaceLifetimeFileContent(int64_t file, const YString& text);
// The whole content of a file that another process may hold open, also for deletion on close. Only
// regular files are read, never through a symlink, and at most `limit` bytes of them. False when the
// file cannot be opened.
bool readSharedFile(const YString& path, int32_t limit, YString& text);
