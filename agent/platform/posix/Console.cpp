#include "agent/platform/Console.h"

YString toConsoleEncoding(const YString& utf8) { return utf8; }
