#pragma once

#include <jni.h>
#include <jvmti.h>

#include <cstdint>

#include "agent/support/YMap.h"
#include "agent/support/YString.h"
#include "agent/support/YVector.h"

// Class and field descriptions of one heap dump. The class records of the heap segment are written from
// them, and the value-filling passes turn a JVMTI field index into a file offset with them.

// One field of a class or of one of its supertypes.
struct _FieldInfo {
  // Position among the fields of its category (static reference, static primitive, instance reference,
  // instance primitive); -1 until the class is described.
  uint32_t categoryIndex = UINT32_MAX;
  // First signature character of a primitive field (B, Z, C, S, I, F, J, D); 0 for a reference.
  int32_t signatureChar = 0;
  uint32_t nameId = 0;     // string id of the field name
  uint32_t modifiers = 0;  // JVM access flags

  bool isStatic() const { return (modifiers & 0x0008) != 0; }
  bool isPrimitive() const { return signatureChar != 0; }
  // Bytes the value takes in the dump: the primitive width, 4 for a reference.
  int32_t width() const;
};

// Bytes of a primitive value with this signature character (B and Z 1, C and S 2, F and I 4, D and J 8);
// 4 for anything else, which is a reference.
int32_t primitiveWidth(int32_t signatureChar);

// One class of the profiled JVM as the heap dump describes it.
struct _ClassInfo {
  _ClassInfo() = default;
  ~_ClassInfo();
  _ClassInfo(const _ClassInfo&) = delete;
  _ClassInfo& operator=(const _ClassInfo&) = delete;

  uint32_t nameId = 0;        // the class name in Java source form ("java.lang.String", "int[]")
  int64_t superclassTag = 0;  // 0 when there is none or it is untagged
  bool isPrimitiveArray = false;
  bool isObjectArray = false;  // signature "[L..." or "[[..."
  bool isClassClass = false;   // java/lang/Class itself
  int32_t elementSize = 0;     // bytes per element of a primitive array, else 0
  int64_t objectSize = 0;      // size of the class object
  // Tags of the directly implemented interfaces in the JVM's order, untagged ones left out.
  YVector<int64_t> interfaceTags;

  // Superinterfaces (recursively) first, then the superclass chain from the top, then the class's own
  // fields: the order in which JVMTI numbers fields. Owned.
  YVector<_FieldInfo*, 10> fields;
  int32_t firstOwnField = 0;  // index of the first field the class declares itself

  int32_t instanceReferenceCount = 0;
  int32_t instancePrimitiveCount = 0;
  int32_t staticReferenceCount = 0;
  int32_t staticPrimitiveCount = 0;

  // Per field index: the value's offset in an instance's field block (instance fields), its offset from
  // the start of the class record's static entries (the class's own static fields), -1 for a static
  // field inherited from a supertype.
  YVector<int32_t> fieldOffsets;
  int32_t instanceBlockSize = 0;  // bytes of an instance's field block

  // File positions in the class record, set when the record is written; 0 until then.
  uint64_t classLoaderPosition = 0;
  uint64_t signersPosition = 0;
  uint64_t protectionDomainPosition = 0;
  uint64_t staticEntriesPosition = 0;

  // Constant-pool references of the class object: referenced object indices and, in parallel, the
  // constant-pool indices they sit at.
  YVector<int32_t> constantPoolObjects;
  YVector<int32_t> constantPoolIndices;

  int32_t fieldCount() const { return fields.size; }
};

// Describes the class: kind, name, superclass, interfaces, object size and the numbered field list
// with its offsets. Tags are read on `jvmti`, which must be the environment that tagged the classes;
// classes untagged there count as never visited. Class names and field names are interned in the
// database's string pool. JVMTI errors are fatal, apart from the documented tolerated ones.
_ClassInfo* describeClass(jvmtiEnv* jvmti, JNIEnv* jni, jclass klass);

// Completes a description whose field list is set: the per-category numbering, the offsets and the
// instance block size.
void numberFields(_ClassInfo& info);

// The shared empty description "_Unknown" for classes that are not in the table.
_ClassInfo& unknownClassInfo();
bool isUnknownClassInfo(const _ClassInfo& info);

// Class tag -> description, for one snapshot run; owns the descriptions and keeps the order of entry.
class ClassInfoTable {
 public:
  ClassInfoTable() = default;
  ~ClassInfoTable() { clear(); }
  ClassInfoTable(const ClassInfoTable&) = delete;
  ClassInfoTable& operator=(const ClassInfoTable&) = delete;

  // Takes ownership. A tag entered twice keeps its first description (the second is freed).
  void add(int64_t classTag, _ClassInfo* info);
  bool contains(int64_t classTag) const { return byTag.indexOf(classTag) >= 0; }
  // The description of the tag; the unknown description, logged as "warning: unknown class tag <tag>;
  // line=<line>", when it is not here; a zero tag is fatal ("class_tag=0 at <line>").
  _ClassInfo& lookup(int64_t classTag, int32_t line) const;
  // The description of the tag, or null, without logging.
  _ClassInfo* find(int64_t classTag) const;

  int32_t count() const { return order.size; }
  int64_t tagAt(int32_t index) const { return order[index]; }
  _ClassInfo& infoAt(int32_t index) const { return *byTag.get(order[index]); }

  // Frees every description.
  void clear();

 private:
  YMap<int64_t, _ClassInfo*> byTag;
  YVector<int64_t, 16> order;
};

// The class name, or "<null>" when the string row has no text; for warnings.
YString classNameText(const _ClassInfo& info);
// The field name, or "<null>" when the string row has no text; for warnings.
YString fieldNameText(const _FieldInfo& field);
