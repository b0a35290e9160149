#include "agent/natives/ObjectMaps.h"

#include "agent/support/NamedLocks.h"

YSet<int32_t>& liveObjectValues() {
  static YSet<int32_t> values(1024);
  return values;
}

void forgetLiveObjectId(int32_t value) {
  if (value == 0) return;
  YCriticalSectionLock held(&javaObjectMapLock(), "JavaObjectMap:251");
  liveObjectValues().remove(value);
}
