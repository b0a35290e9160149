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

// ((thread * 29 + throwFrame) * 29 + catchFrame) * 29 + className, wrapping at 32 bits, masked to 31 bits.
inline int32_t keyHash(const ExceptionKey& key) {
  uint32_t hash = static_cast<uint32_t>(key.thread) * 29u + static_cast<uint32_t>(key.throwFrame);
  hash = hash * 29u + static_cast<uint32_t>(key.catchFrame);
  hash = hash * 29u + static_cast<uint32_t>(key.className);
  return static_cast<int32_t>(hash & 0x7fffffff);
}

inline bool keysEqual(const ExceptionKey& a, const ExceptionKey& b) {
  return a.thread == b.thread && a.throwFrame == b.throwFrame && a.catchFrame == b.catchFrame &&
         a.className == b.className;
}
