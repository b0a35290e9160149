#pragma once

#include <cstdint>

// Key of the exception statistics: which thread threw what, from where, caught where. Four 32-bit words
// in this order, which is also the order of the "exception" row on the stream.
struct ExceptionKey {
  int32_t thread;      // sequence number of the throwing thread
  int32_t throwFrame;  // frame identifier of the throw site
  int32_t catchFrame;  // frame identifier of the catch site
  int32_t className;   // string identifier of the exception's class name
};

static_assert(sizeof(ExceptionKey) == 16, "ExceptionKey is four 32-bit words");
