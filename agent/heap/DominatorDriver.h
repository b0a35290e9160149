#pragma once

#include <cstdint>

#include "agent/support/YString.h"

// The file-to-file dominator computation behind Natives.dc: reads and checks an input graph file,
// computes the immediate dominators with the named algorithm and writes the output file. Every outcome is
// a return code with its log line:
//   0 written ("OK"), 2 input not opened, 3 output not opened, 4 count below 0, 5 target out of range,
//   6 root out of range, 7 algorithm not run ("error: unsupported algorithm: "), 8 output not written
//   completely ("write error: "), and from computeDominatorsCaught 100 for exhausted memory and 101 for
//   any other failure raised as an exception (a broken invariant: no root, an unreachable node, N below 1;
//   for "low_mem" also a temporary file that cannot be made or written, or an input that changed between
//   its readings without breaking a rule of the file).
// The algorithms are "snca", in memory, and "low_mem", with temporary files in `tempDirectory` (empty for
// the system's), which reads the input a second time and answers 4 or 5 when that reading breaks a rule.
// The output file is created before the input is read, so it exists, empty, after codes 4 to 7. Both
// descriptors are closed on every path.

// Exhausted memory throws std::bad_alloc and a broken invariant BZPRuntimeException.
int32_t computeDominators(const YString& inputPath, const YString& outputPath, const YString& algorithm,
                          const YString& tempDirectory);

// computeDominators with its exceptions logged as caught in "Dominators" and answered 100 or 101.
int32_t computeDominatorsCaught(const YString& inputPath, const YString& outputPath, const YString& algorithm,
                                const YString& tempDirectory);
