#pragma once

#include "agent/classfile/Filter.h"
#include "agent/support/YString.h"
#include "agent/support/YVector.h"

// Class-name prefixes (Java form, "." separated) whose classes probes leave alone unless a pattern names
// them, and the prefixes exempt from that. Filled once at start-up and only read afterwards.
extern YVectorSafe<YString> ourIgnoredPrefixes;
extern YVectorSafe<YString> ourReincludedPrefixes;

// The methods that "bci_filter.txt" keeps out of instrumentation: empty until loadProbeIgnoredPrefixes,
// and when the file is empty or missing.
const FilterList& bciFilterList();

// Reads "probe_ignored_prefixes.txt" from the settings directory (the built-in list when it cannot be
// read): a line beginning with "+" re-includes the rest of the line, every other line is ignored.
// Then "bci_filter.txt" (empty when it cannot be read) into the bci filter list, logging its text when it
// holds one.
void loadProbeIgnoredPrefixes();
