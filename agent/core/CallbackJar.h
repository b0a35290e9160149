#pragma once

#include "agent/support/YString.h"
#include "agent/support/YVector.h"

// The agent's Java side travels inside the library as one stored JAR. Start-up writes it to the
// temporary directory (or reuses the identical file already there) and puts it on the boot class path.

// The file name carries the archive's date stamp.
constexpr const char* CALLBACK_JAR_NAME = "bzp202106281002.jar";

// The embedded archive's bytes.
YVector<unsigned char> assembleCallbackJar();

// The path of the archive file, or the empty text when it cannot be provided (the reason is logged).
// "_agent_cp" names a file to use instead, unchecked. Agents of several JVMs exclude each other under a
// machine-wide mutex, so one writes while the others wait and then reuse its file.
YString extractCallbackJar();
