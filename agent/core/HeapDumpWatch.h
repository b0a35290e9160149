#pragma once

#include <cstdint>

#include "agent/support/YString.h"

// The work of the agent thread "BZPAgent-OomeSnapshotDetector": waits for the heap dump that the JVM
// writes when it runs out of memory and records it as a "snapshot" row of kind 0x1011. It watches the
// dump path of the JVM's command line (or the current directory) and the file "java_pid<pid>.hprof" in
// it, looking every 3 seconds, and returns once it has recorded one dump or the JVM is dying. An empty dump path returns at
// once.
void watchHeapDumpFile();

// The same watch of `dumpPath`, looking every `intervalMs` milliseconds.
void watchHeapDumpFile(const YString& dumpPath, int32_t intervalMs);
