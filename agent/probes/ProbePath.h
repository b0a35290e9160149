#pragma once

#include "agent/support/YString.h"
#include "agent/support/YVector.h"

// The class path entries in which probe classes are looked up by name, the Java side's archive first.
// Written on the loading thread at start-up.
extern YVector<YString> probePathList;
