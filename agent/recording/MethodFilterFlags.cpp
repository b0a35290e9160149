#include "agent/recording/MethodFilterFlags.h"

#include "agent/db/DB.h"
#include "agent/recording/MethodStore.h"
#include "agent/support/FatalError.h"

bool allMethodsWallTime = false;

void updateMethodFilterFlags(DB* database, MethodRecord& record) {
  if (database == nullptr) fatalError("db is NULL", "Filter", __LINE__);
  int32_t flags = record.flags & ~(methodWallTime | methodAllWallTime | methodAdaptiveExcluded |
                                   methodAdaptiveCalleeExcluded);
  if (allMethodsWallTime) flags |= methodWallTime | methodAllWallTime;
  if (flags == record.flags) return;
  record.flags = flags;
  record.stamp = database->currentStamp;
}
