#pragma once

#include <cstdint>

#include "agent/support/YSet.h"

// The values stored in the Java side's object maps that still count as live; the object maps fill it
// as values are put. Guarded by "JavaObjectMapLock".
YSet<int32_t>& liveObjectValues();

// The value stops being live, so that a map entry holding it reads as gone. The database calls it with
// the key of every event row it deletes, since row keys are stored in object maps. 0 does nothing.
void forgetLiveObjectId(int32_t value);
