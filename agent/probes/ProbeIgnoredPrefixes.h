#pragma once

#include "agent/support/YString.h"
#include "agent/support/YVector.h"

// Class-name prefixes (Java form, "." separated) whose classes probes leave alone unless a pattern names
// them, and the prefixes exempt from that. Filled once at start-up and only read afterwards.
extern YVectorSafe<YString> ourIgnoredPrefixes;
extern YVectorSafe<YString> ourReincludedPrefixes;

// Reads "probe_ignored_prefixes.txt" from the settings directory (the built-in list when it cannot be
// read): a line beginning with "+" re-includes the rest of the line, every other line is ignored.
// Logs the text of "bci_filter.txt" when that file holds one.
void loadProbeIgnoredPrefixes();
