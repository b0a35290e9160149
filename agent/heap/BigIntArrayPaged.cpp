#include "agent/heap/BigIntArrayPaged.h"

#include "agent/support/FatalError.h"

void BigIntArrayPaged::set(int32_t index, int32_t value) {
  if (index < 0) assertionFailed("assertion failed", "BigIntArrayPaged", __LINE__);
  // A default written where no chunk exists changes nothing a read can see, so it makes no chunk: an
  // identifier column written with high halves of 0 stays one column in memory.
  int32_t* chunk = chunks.get(index, value != chunks.fillValue);
  if (chunk != nullptr) chunk[index % chunkSize] = value;
}

int32_t BigIntArrayPaged::chunkCount() const {
  int32_t made = 0;
  for (int32_t i = 0; i < chunks.chunks.size; i++) made += chunks.chunks.data[i] != nullptr ? 1 : 0;
  return made;
}
