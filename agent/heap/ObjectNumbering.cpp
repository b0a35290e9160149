#include "agent/heap/ObjectNumbering.h"

#include "agent/db/Generations.h"
#include "agent/recording/ObjectEnumerator.h"

jlong ObjectNumbering::number(jlong tag) {
  const int32_t n = counter--;
  uint64_t bits = uint64_t(tag);
  const int32_t low = pureTagOf(tag);
  if (low > 0) {
    if (objectEnumerator != nullptr) objectEnumerator->setSnapshotNumber(low, -n);
  } else {
    bits = (bits & 0xFFFFFFFF00000000u) | uint32_t(n);
  }
  if ((bits >> 32) == 0) bits |= uint64_t(uint32_t(getCurrentGeneration())) << 32;
  return jlong(bits);
}
