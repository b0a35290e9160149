#include "agent/support/ClassNameSet.h"

int32_t classNameHash(const YString& name) {
  uint32_t hash = 0;
  for (int32_t i = 0; i < name.length; i++) hash = 31 * hash + uint32_t(int32_t(int8_t(name.data[i])));
  return int32_t(hash);
}

bool addClassName(ClassNameSet& set, const YString& name) {
  const int32_t hash = classNameHash(name);
  YVector<YString>* bucket = set.buckets.get(hash);
  if (bucket != nullptr && containsClassName(*bucket, name)) return false;
  if (bucket == nullptr) {
    bucket = new YVector<YString>(10);
    set.buckets.put(hash, bucket);
  }
  bucket->add(name);
  set.count++;
  return true;
}

bool containsClassName(const YVector<YString>& bucket, const YString& name) {
  for (int32_t i = 0; i < bucket.size; i++) {
    if (bucket[i].equals(name)) return true;
  }
  return false;
}

bool containsClassName(const ClassNameSet& set, const YString& name) {
  const YVector<YString>* bucket = set.buckets.get(classNameHash(name));
  return bucket != nullptr && containsClassName(*bucket, name);
}

const YVector<YString>* nameSetGet(const ClassNameSet& set, int32_t hash) { return set.buckets.get(hash); }
