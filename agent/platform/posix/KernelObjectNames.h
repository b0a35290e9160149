#pragma once

#include "agent/support/YString.h"

// A Windows kernel object name split into its namespace and its base: "Global\X" is machine-wide;
// "Local\X" and a bare "X" belong to the user. A "/" in X would name a directory in the POSIX stand-ins,
// so it becomes "_".
struct KernelObjectName {
  bool global;
  YString base;
};

inline KernelObjectName splitKernelObjectName(const char* name) {
  static const char globalPrefix[] = "Global\\";
  static const char localPrefix[] = "Local\\";
  const YString fullName(name);
  KernelObjectName split{fullName.startsWith(globalPrefix), YString()};
  const char* base = name;
  if (split.global) {
    base += sizeof(globalPrefix) - 1;
  } else if (fullName.startsWith(localPrefix)) {
    base += sizeof(localPrefix) - 1;
  }
  for (const char* c = base; *c != 0; c++) split.base.append(*c == '/' ? '_' : *c);
  return split;
}
