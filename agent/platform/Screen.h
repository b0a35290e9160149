#pragma once

#include <cstdint>

// The screen's horizontal logical dots per inch; 0 where there is no display to ask (always on Linux).
int32_t getScreenLogicalDpiX();
