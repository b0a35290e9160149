#pragma once

#include <jni.h>

#include <cstdint>

// Hands out the object indices of one memory snapshot, 1, 2, 3 ... in numbering order, and keeps each
// index where the object's tag leads to: an object known to allocation recording (positive low half)
// keeps its tag and gets the index in its allocation record; any other object gets the negated index
// as its tag's low half. The high half is the generation in which the object was first tagged, the
// current one for an object tagged now.
class ObjectNumbering {
 public:
  // Numbers the object whose tag is `tag`; the tag it must carry from now on.
  jlong number(jlong tag);
  // The indices handed out so far.
  int32_t count() const { return -1 - counter; }

 private:
  int32_t counter = -1;
};
