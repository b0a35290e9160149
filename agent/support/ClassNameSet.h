#pragma once

#include <cstdint>

#include "agent/support/YMap.h"
#include "agent/support/YString.h"
#include "agent/support/YVector.h"

// A set of names (class names, messages logged once), bucketed by the Java string hash of the name's
// bytes. Names are only added; the set owns its buckets.
struct ClassNameSet {
  YMap<int32_t, YVector<YString>*> buckets{10};
  int32_t count = 0;

  ClassNameSet() = default;
  ClassNameSet(const ClassNameSet&) = delete;
  ClassNameSet& operator=(const ClassNameSet&) = delete;
  ~ClassNameSet() { buckets.deleteValues(); }
};

// h = 31 * h + byte over the name's bytes taken as signed, in 32-bit arithmetic: Java's String.hashCode
// of an ASCII name.
int32_t classNameHash(const YString& name);
// False when the set holds the name already; otherwise adds a copy and answers true.
bool addClassName(ClassNameSet& set, const YString& name);
// Whether a name of the same bytes is in the bucket.
bool containsClassName(const YVector<YString>& bucket, const YString& name);
// Whether the set holds the name.
bool containsClassName(const ClassNameSet& set, const YString& name);
// The bucket of the hash, or null.
const YVector<YString>* nameSetGet(const ClassNameSet& set, int32_t hash);
