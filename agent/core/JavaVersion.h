#pragma once

#include <cstdint>

#include "agent/support/YString.h"

// What start-up learns about the JVM it was loaded into.

// The Java feature version (8, 11, 17 ...); 0 when the JVM's version texts say nothing usable.
extern int32_t ourJavaVersion;
// The JVM comes from IBM or is OpenJ9.
extern bool ourIsIbm;
// The vendor text names OpenJ9.
extern bool isOpenJ9;

// The feature version of a JVM of Java 9 or later: java.vm.version cut before its first "-", then before
// the first "+", then before the first "."; when that is no number, java.vm.specification.version; 0
// when neither is one.
int32_t javaFeatureVersion(const YString& vmVersion, const YString& specificationVersion);
