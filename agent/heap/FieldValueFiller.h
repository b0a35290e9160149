#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstdint>
#include <exception>

#include "agent/core/DistinctMessages.h"
#include "agent/heap/ClassInfo.h"
#include "agent/heap/FileMemoryMapper.h"

// Fills in the values that the heap segment was written without: after the snapshot file is closed,
// map 1 writes primitive values and map 2 references (and collects constant-pool references) through
// a FileMemoryMapper at the positions the segment's writer remembered. All values are big-endian.
struct FieldValueFiller {
  FileMemoryMapper* mapper = nullptr;
  const ClassInfoTable* classes = nullptr;
  // Objects whose class is java/lang/Class are classes, described under their own tag in `classes`.
  // The object index of a tag (1 .. objectCount), 0 for an object that was not numbered.
  int32_t (*objectIndexOf)(jlong tag) = nullptr;
  // Per object index 0 .. objectCount: the start of the instance's field block or of the object array's
  // elements (0 when not written), and the array length seen by the counting pass.
  const uint64_t* fieldBlockPositions = nullptr;
  const uint32_t* arrayLengths = nullptr;
  int32_t objectCount = 0;
  // Called once per field block or array element touched; may be null.
  void (*advanceProgress)(void* context) = nullptr;
  void* progressContext = nullptr;

  // A fatal error met inside a callback, which ended the pass; see rethrowFillError.
  std::exception_ptr error;

  DistinctMessages invalidIndexWarnings;
  DistinctMessages staticMismatchWarnings;
  DistinctMessages kindMismatchWarnings;
};

// Map 1: the primitive-field callback of IterateThroughHeap (user data: the FieldValueFiller).
jint JNICALL fillPrimitiveFields(jvmtiHeapReferenceKind kind, const jvmtiHeapReferenceInfo* info,
                                 jlong objectClassTag, jlong* objectTagPointer, jvalue value,
                                 jvmtiPrimitiveType valueType, void* userData);
// Map 2: the heap-reference callback of FollowReferences (user data: the FieldValueFiller).
jint JNICALL fillReferenceFields(jvmtiHeapReferenceKind kind, const jvmtiHeapReferenceInfo* info,
                                 jlong classTag, jlong referrerClassTag, jlong size, jlong* tagPointer,
                                 jlong* referrerTagPointer, jint length, void* userData);

// After a pass: rethrows the fatal error that ended it, if any.
void rethrowFillError(const FieldValueFiller& filler);

// Writes one value of field `fieldIndex` (JVMTI numbering) of the class at `basePosition` plus the
// field's offset: nothing for 0, a warning and nothing for an index or kind that does not fit the field.
// A reference value is the 4-byte object index; a primitive one takes the field's width.
void writeFieldValue(FieldValueFiller& filler, const _ClassInfo& info, uint64_t basePosition,
                     int32_t fieldIndex, uint64_t value, bool primitive, bool isStatic);

// The 64-bit form of a JVMTI primitive value: byte, short and int sign-extended, char zero-extended,
// boolean 1 for the byte 1 and 0 otherwise, float and double as their bit patterns.
uint64_t primitiveValueBits(jvalue value, jvmtiPrimitiveType type);
