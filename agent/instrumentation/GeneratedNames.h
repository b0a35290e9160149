#pragma once

#include <cstdint>

// The mark of generated method names. A wrapped native method "read" lives on as the native method
// "$$BZP$$read"; the agent makes the same text its JVMTI native method prefix, so the JVM binds that
// method to the implementation of "read".
inline constexpr char generatedNameMarker[] = "$$BZP$$";
inline constexpr int32_t generatedNameMarkerLength = int32_t(sizeof generatedNameMarker - 1);
