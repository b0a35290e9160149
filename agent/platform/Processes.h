#pragma once

#include <cstdint>

// Ends the own process at once with `exitCode`: no exit handlers, no static destructors, no module
// detach routines run, since other threads may still be inside agent code.
[[noreturn]] void exitProcessImmediately(int32_t exitCode);
