#pragma once

#include "agent/support/YString.h"
#include "agent/support/YVector.h"

// The short name of a profiled JVM from its argument list (element 0 the executable): its main class's
// simple name, its main JAR without ".jar", the application server it runs, or, for a process that is
// not started by a Java launcher, the executable's file name. With host recognition the monitoring
// host's own JVM is "TallyScope-ui". An empty list gives "unknown".
YString getSessionName(const YVector<YString>& args, bool hostRecognition);

// The text without `suffix` when it ends with it in either case; otherwise the text unchanged.
YString removeSuffixIgnoreCase(const YString& text, const YString& suffix);
