#pragma once

#include <cstdint>

#include "agent/classfile/DataOutput.h"
#include "agent/support/FatalError.h"

// A count or an offset bound for a u2 field of the class file. The model's vectors and code may grow past
// what such a field holds; writing the low 16 bits would leave a class whose layout lies about itself, so
// a value that does not fit is a broken invariant of the writer's source file instead: the class is
// abandoned and its user keeps the bytes it started from.
inline void writeU2(DataOutput& out, int32_t value, const char* file, int32_t line) {
  if (value < 0 || value > 0xFFFF) assertionFailed("assertion failed", file, line);
  out.writeShort(value);
}
