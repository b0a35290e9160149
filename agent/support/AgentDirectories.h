#pragma once

#include "agent/support/YString.h"

// "BRANTEL_HOME" when it is set and not empty, else the user's profile directory. It is used as it
// stands: whether it exists is not tested.
YString getAgentHomeDir();
// The agent home + "<sep>.tallyscope<sep>": the settings files and, by default, the "log" folder. The
// home is appended to as it is, so a home ending with a separator gives two of them side by side.
YString getSettingsDir();
// `name` in `directory` (the temporary directory when that is empty), with a separator put between
// unless the directory already ends with "/" or "\".
YString makeTempFilePath(const YString& directory, const YString& name);
