#pragma once

#include <cstdint>

#include "agent/support/YString.h"

// Files the agent makes in shared directories (the temporary directory) for its own use.

// Creates the file new, open for reading and writing and accessible to the owner alone (on Windows, as
// the directory's inherited access list allows). Nothing that is already at the path is opened or
// followed, a symlink included: then the result is -1 and `exists` is true. Any other failure gives -1
// with `exists` false.
int32_t createPrivateFile(const YString& path, bool& exists);

// Opens for reading a file that is the current user's own regular file, never through a symlink (on
// Windows: a regular file that is no reparse point; the temporary directory is the user's own there).
// -1 for anything else, and when the path does not exist.
int32_t openOwnFileForRead(const YString& path);

// Puts the file `from` in the place of `to` in one step, replacing what was there; whoever still has the
// old file open keeps reading it. Both paths are in one directory. False when it was not moved.
bool replaceFile(const YString& from, const YString& to);
