#pragma once

#include "agent/classfile/Filter.h"
#include "agent/support/YString.h"
#include "agent/support/YVector.h"

// Which classes a probe's class pattern may reach, and the lists that decide it.

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

// Whether a probe's class pattern may apply to the class (Java name). The pattern must match the whole
// name; generated lambda classes never qualify (unless "_no_FIX_20151029_1" is given); a class under an
// ignored prefix, unless re-included, and a registered probe class qualify only for a pattern that
// begins with that prefix or with the probe class's own name. Reads the registry under its lock.
bool canProbeClass(const YString& className, const YString& pattern);
