#pragma once

#include <cstdint>

// Key of the monitor statistics: who waited, where, on whose monitor and of which class. Kept as four
// 32-bit words in this order, which is also the order of the "monitor" row on the stream; YMap finds its
// hash and equality below by argument-dependent lookup.
struct MonitorKey {
  int32_t thread;    // sequence number of the waiting or blocked thread
  int32_t frame;     // frame identifier of the stack at the end of the wait
  int32_t owner;     // sequence number of the thread that owned the monitor when the wait began
  int32_t classTag;  // string identifier of the JVM signature of the monitor object's class
};

static_assert(sizeof(MonitorKey) == 16, "MonitorKey is four 32-bit words");

// ((thread * 29 + frame) * 29 + owner) * 29 + classTag, wrapping at 32 bits, masked to 31 bits.
inline int32_t keyHash(const MonitorKey& key) {
  uint32_t hash = static_cast<uint32_t>(key.thread) * 29u + static_cast<uint32_t>(key.frame);
  hash = hash * 29u + static_cast<uint32_t>(key.owner);
  hash = hash * 29u + static_cast<uint32_t>(key.classTag);
  return static_cast<int32_t>(hash & 0x7fffffff);
}

inline bool keysEqual(const MonitorKey& a, const MonitorKey& b) {
  return a.thread == b.thread && a.frame == b.frame && a.owner == b.owner && a.classTag == b.classTag;
}
