#pragma once

#include <atomic>
#include <cstdint>

// The settings of the last start of allocation recording with stacks (exact or sampled); an object counting start
// leaves them as they are. Allocating threads read them without a lock while a start stores them under "ourLock".

// Small objects are recorded one in `recordEach` per thread; 0 records none of them.
extern std::atomic<int32_t> recordEach;
// Objects of at least `sizeLimit` bytes are always recorded.
extern std::atomic<int32_t> sizeLimit;
