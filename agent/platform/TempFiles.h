#pragma once

#include <cstdint>

#include "agent/support/YString.h"

// Files the agent makes in shared directories (the temporary directory) for its own use.

// Creates the file new, open for reading and writing and accessible to the owner alone (on Windows, as
// the directory's inherited access list allows). Nothing that is already at the path is opened or
// followed, a symlink included: then the result is -1 and `exists` is true. Any other failure gives -1
// with `exists` false.
int32_t createPrivateFile(const YString& path, bool& exists);
