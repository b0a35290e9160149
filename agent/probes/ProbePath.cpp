#include "agent/probes/ProbePath.h"

YVector<YString> probePathList;
