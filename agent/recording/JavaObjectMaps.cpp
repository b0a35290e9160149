#include "agent/recording/JavaObjectMaps.h"

#include <jvmti.h>

#include <new>

#include "agent/core/JvmtiEnvironments.h"
#include "agent/recording/ObjectEnumerator.h"
#include "agent/support/FatalError.h"
#include "agent/support/NamedLocks.h"
#include "agent/support/YMap.h"
#include "agent/support/YVector.h"

namespace {

using ObjectMap = YMap<int32_t, int32_t>;

// The maps there are, by handle; guarded by "JavaObjectMapLock" like the maps and the live values.
YVector<ObjectMap*>& objectMaps() {
  static YVector<ObjectMap*>* const maps = new YVector<ObjectMap*>();
  return *maps;
}

// Each live value with the number of entries that hold it, so that deleting a map drops only the values
// no other map holds.
YMap<int32_t, int32_t>& liveValues() {
  static YMap<int32_t, int32_t>* const values = new YMap<int32_t, int32_t>(1024);
  return *values;
}

// Guarded by "JavaObjectMapLock2".
int64_t lastObjectId = 0;

ObjectMap* findMap(int64_t handle) {
  const YVector<ObjectMap*>& maps = objectMaps();
  for (int32_t i = 0; i < maps.size; i++) {
    if (reinterpret_cast<int64_t>(maps[i]) == handle) return maps[i];
  }
  return nullptr;
}

// One entry more holds the value.
void holdValue(int32_t value) {
  YMap<int32_t, int32_t>& values = liveValues();
  values.put(value, values.get(value) + 1);
}

// One entry less holds the value, which stays live while another does.
void releaseValue(int32_t value) {
  YMap<int32_t, int32_t>& values = liveValues();
  const int32_t holders = values.get(value);
  if (holders > 1) {
    values.put(value, holders - 1);
  } else {
    values.remove(value);
  }
}

bool isLiveUnderLock(int32_t value) { return value < 0 || liveValues().indexOf(value) >= 0; }

}  // namespace

int64_t findObjectId(jobject object) {
  jlong tag = 0;
  if (objectMapJvmti == nullptr || objectMapJvmti->GetTag(object, &tag) != JVMTI_ERROR_NONE) return 0;
  return tag;
}

int64_t getObjectId(jobject object) {
  if (objectMapJvmti == nullptr) return 0;
  int64_t id;
  {
    YCriticalSectionLock held(&javaObjectMapLock2(), "JavaObjectMap:126");
    jlong tag = 0;
    if (objectMapJvmti->GetTag(object, &tag) != JVMTI_ERROR_NONE) return 0;
    if (tag != 0) return tag;
    // A number is used up even when the tag cannot be set, so that none is ever given twice.
    id = ++lastObjectId;
    if (objectMapJvmti->SetTag(object, id) != JVMTI_ERROR_NONE) return 0;
  }
  // Outside the lock: the enumerator takes its own.
  if (objectEnumerator != nullptr) objectEnumerator->setObjectID(object, uint32_t(id));
  return id;
}

int64_t createObjectMap() {
  YCriticalSectionLock held(&javaObjectMapLock(), "JavaObjectMap:38");
  ObjectMap* map = nullptr;
  try {
    map = new ObjectMap(10);
    objectMaps().add(map);
    return reinterpret_cast<int64_t>(map);
  } catch (const std::bad_alloc&) {
    delete map;
    onExceptionCaught("JavaObjectMap", 48);
    return 0;
  }
}

bool deleteObjectMap(int64_t handle) {
  YCriticalSectionLock held(&javaObjectMapLock(), "JavaObjectMap:62");
  ObjectMap* map = findMap(handle);
  if (map == nullptr) return false;
  YVector<ObjectMap*>& maps = objectMaps();
  for (int32_t i = 0; i < maps.size; i++) {
    if (maps[i] == map) {
      maps.remove(i);
      break;
    }
  }
  for (int32_t slot = 0; slot < map->capacity; slot++) {
    if (map->states[slot] == kSlotUsed) releaseValue(map->values[slot]);
  }
  delete map;
  return true;
}

bool objectMapGet(int64_t handle, int64_t id, int32_t& value) {
  value = 0;
  YCriticalSectionLock held(&javaObjectMapLock(), "JavaObjectMap:94");
  ObjectMap* map = findMap(handle);
  if (map == nullptr) return false;
  const int32_t key = int32_t(id);
  const int32_t stored = map->get(key);
  if (stored == 0) return true;
  if (!isLiveUnderLock(stored)) {
    map->remove(key);
    return true;
  }
  value = stored;
  return true;
}

bool objectMapPut(int64_t handle, int64_t id, int32_t value, bool conditional, int32_t expected, int32_t& previous) {
  previous = 0;
  YCriticalSectionLock held(&javaObjectMapLock(), "JavaObjectMap:178");
  ObjectMap* map = findMap(handle);
  if (map == nullptr) return false;
  const int32_t key = int32_t(id);
  previous = map->get(key);
  if (previous != 0 && !isLiveUnderLock(previous)) {
    // A value no longer live is no value, and no entry holds it any more.
    map->remove(key);
    previous = 0;
  }
  if (conditional && previous != expected) return true;
  if (value == previous) return true;
  if (value != 0) {
    try {
      map->put(key, value);
      holdValue(value);
    } catch (const std::bad_alloc&) {
      onExceptionCaught("JavaObjectMap", 206);
    }
  } else {
    map->remove(key);
  }
  // The replaced value's row is over wherever it is held.
  if (previous != 0) liveValues().remove(previous);
  return true;
}

void removeObjectIdFromMaps(int64_t id) {
  YCriticalSectionLock held(&javaObjectMapLock(), "JavaObjectMap:227");
  const YVector<ObjectMap*>& maps = objectMaps();
  for (int32_t i = 0; i < maps.size; i++) maps[i]->remove(int32_t(id));
}

void forgetLiveObjectId(int32_t value) {
  if (value == 0) return;
  YCriticalSectionLock held(&javaObjectMapLock(), "JavaObjectMap:251");
  liveValues().remove(value);
}

bool isLiveId(int32_t value) {
  YCriticalSectionLock held(&javaObjectMapLock(), "JavaObjectMap:isLiveId");
  return isLiveUnderLock(value);
}
