#pragma once

#include "agent/support/YString.h"

// UTF-8 text in the console's own encoding: the OEM code page on Windows; unchanged on Linux, whose
// consoles take UTF-8.
YString toConsoleEncoding(const YString& utf8);
