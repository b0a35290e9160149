#pragma once

#include <jni.h>

#include <cstdint>

// The Java side's maps from objects to int values, mostly the keys of the event rows that belong to an
// object. They keep no object alive: an object is known by its identifier, its tag in the object-map
// environment, and its entries go when it is collected. A value stays live while some map holds it,
// until the event row it names is deleted or a put replaces it; a value that is no longer live reads as
// no value. Negative values are always live. Maps are named to Java by handles that only these
// functions make: any other handle is refused.

// The object's identifier, given on first use and never reused; 0 when the JVM refuses the tag or there
// is no object-map environment.
int64_t getObjectId(jobject object);
// The identifier the object has already, 0 when it has none; never gives one.
int64_t findObjectId(jobject object);

// A new empty map's handle; 0 when memory is exhausted.
int64_t createObjectMap();
// Frees the map; its values stay live when another map holds them. False for a handle that names no map.
bool deleteObjectMap(int64_t handle);

// The live value that the map holds for the identifier, else 0; a value that is no longer live leaves
// the map. False for a handle that names no map.
bool objectMapGet(int64_t handle, int64_t id, int32_t& value);
// Stores `value` for the identifier (0 removes the entry); with `conditional`, only when the live value
// held now equals `expected`. `previous` gets the value held before. False for a handle that names no map.
bool objectMapPut(int64_t handle, int64_t id, int32_t value, bool conditional, int32_t expected, int32_t& previous);

// The object of this identifier was collected: its entries leave every map.
void removeObjectIdFromMaps(int64_t id);
// The value stops being live in every map: the event row it names is gone. 0 does nothing.
void forgetLiveObjectId(int32_t value);
bool isLiveId(int32_t value);
