#pragma once

#include <cstdint>

#include "agent/support/YString.h"

// The English text of a classic C library error number, from "Operation not permitted" (EPERM) to
// "Directory not empty" (ENOTEMPTY); empty for every other value. The writers report failures with it
// whatever the locale.
YString errnoText(int32_t errorNumber);
