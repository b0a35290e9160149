#pragma once

#include <cstdint>

#include "agent/support/YMap.h"
#include "agent/support/YString.h"
#include "agent/support/YVector.h"

// A set of class names, bucketed by the Java string hash of the name's bytes. Names are only added;
// the set is touched under "ourLock".
struct ClassNameSet {
  YMap<int32_t, YVector<YString>*> buckets{10};
  int32_t count = 0;
};

// h = 31 * h + byte over the name's bytes taken as signed, in 32-bit arithmetic: Java's String.hashCode
// of an ASCII name.
int32_t classNameHash(const YString& name);
// False when the set holds the name already; otherwise adds a copy and answers true.
bool addClassName(ClassNameSet& set, const YString& name);
// Whether a name of the same bytes is in the bucket.
bool containsClassName(const YVector<YString>& bucket, const YString& name);
// The bucket of the hash, or null.
const YVector<YString>* nameSetGet(const ClassNameSet& set, int32_t hash);

// The internal names of the classes whose native methods were wrapped while the JVM could still redefine
// them: a redefinition of such a class wraps them again.
ClassNameSet& wrappedNativesClasses();
