#include "agent/recording/AllocationSettings.h"

std::atomic<int32_t> recordEach{0};
std::atomic<int32_t> sizeLimit{0};
