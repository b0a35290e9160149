#include "agent/support/DebugCategories.h"

#include <atomic>

namespace {

// Atomic because agent threads may ask while the loading thread installs.
std::atomic<DebugCategoryCheck> installedCheck{nullptr};

}  // namespace

void installDebugCategoryCheck(DebugCategoryCheck check) { installedCheck.store(check); }

bool isDebugCategoryOn(const char* category) {
  const DebugCategoryCheck check = installedCheck.load();
  return check != nullptr && check(category);
}
