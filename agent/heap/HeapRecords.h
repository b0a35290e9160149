#pragma once

#include <jni.h>

#include <cstdint>

#include "agent/db/SnapshotWriter.h"
#include "agent/heap/ClassInfo.h"
#include "agent/recording/ObjectEnumerator.h"

// Encoders of the heap part of a memory snapshot: name and class-load records, the sub-records of the
// heap dump segments (class, instance, object array, primitive array, root), the end marker and the
// class reference record appended after the field values are filled in. The bodies follow the HPROF
// heap-dump layout with 4-byte ids, except that every object sub-record carries an attribute block after
// its tag, instance-field entries carry their modifiers and every root uses one extended kind (0xFF).
// Sub-records go into the segment the caller opened (tag 28); each one first makes room for itself, so
// a heap of any size is split into segments whose lengths stay exact.

constexpr int32_t stringRecordTag = 1;
constexpr int32_t loadClassRecordTag = 2;
constexpr int32_t heapSegmentTag = 28;
constexpr int32_t heapDumpEndTag = 44;

constexpr int32_t classDumpTag = 0x20;
constexpr int32_t instanceDumpTag = 0x21;
constexpr int32_t objectArrayDumpTag = 0x22;
constexpr int32_t primitiveArrayDumpTag = 0x23;
constexpr int32_t rootRecordTag = 0xFF;

constexpr int32_t constantPoolReferencesKind = 9;
constexpr int32_t implementedInterfacesKind = 8;

// HPROF basic type of a signature character: 'Z' 4, 'C' 5, 'F' 6, 'D' 7, 'B' 8, 'S' 9, 'I' 10, 'J' 11;
// 2 (object) for any other character.
int32_t basicTypeOf(int32_t signatureChar);

// What the attribute block of one object says: its size and generation, and from its allocation record
// the object-map id and where, when and by whom it was allocated.
struct ObjectAttributes {
  int64_t size = 0;
  uint32_t generation = 0;
  uint32_t objectMapId = 0;  // 0 when the object has none
  bool hasAllocation = false;
  uint32_t thread = 0;  // sequence number of the allocating thread
  uint32_t frame = 0;   // global frame id of the allocation site
  uint64_t allocationTime = 0;
};

// The allocation record of a tag, zeroed when its low half is not positive (not known to allocation
// recording) or no enumerator exists.
ObjectRecord allocationRecordOf(jlong tag);
// The snapshot index of a numbered object: kept in the allocation record for a positive low half, the
// negated low half otherwise; 0 for an object that has none.
int32_t objectIndexOf(jlong tag, const ObjectRecord& record);
int32_t objectIndexOf(jlong tag);
// The attributes of an object of `size` bytes with `tag`. A node site is turned into its frame through
// the allocating thread's node tree (frame 0 when the thread is gone); the caller holds "ourLock".
ObjectAttributes objectAttributesOf(jlong tag, int64_t size, const ObjectRecord& record);

// Flags (4; 8 for a size above 0x7FFFFFFF, which is then 8 bytes; 1 object-map id; 2 allocation data),
// size, generation, then the optional fields.
void writeObjectAttributes(SnapshotWriter& writer, const ObjectAttributes& attributes);

// STRING record; a null text is written as the empty one.
void writeStringRecord(SnapshotWriter& writer, int32_t stringId, const char* text);
void writeLoadClassRecord(SnapshotWriter& writer, int32_t classSerial, int32_t classId, int32_t nameId);
// For every class in the table's order a STRING record per own field name and one for the class name,
// texts from the database's "string" table; then a LOAD CLASS record per class, serials from 1.
void writeNameRecords(SnapshotWriter& writer, const ClassInfoTable& classes);

// CLASS DUMP of a described class. Keeps in `info` the positions of its loader, signers and protection
// domain ids and of its static entries, which the value passes fill.
void writeClassDump(SnapshotWriter& writer, _ClassInfo& info, int32_t classId, int32_t superClassId,
                    const ObjectAttributes& attributes);
// A CLASS DUMP for every class of the table, in its order.
void writeClassDumps(SnapshotWriter& writer, const ClassInfoTable& classes);
// INSTANCE DUMP with a zeroed field block of `blockSize` bytes; the block's file position.
int64_t writeInstanceDump(SnapshotWriter& writer, int32_t objectId, int32_t classId, int32_t blockSize,
                          const ObjectAttributes& attributes);
// OBJECT ARRAY DUMP with `length` zero elements; the file position of the first element.
int64_t writeObjectArrayDump(SnapshotWriter& writer, int32_t arrayId, int32_t arrayClassId, int32_t length,
                             const ObjectAttributes& attributes);
// PRIMITIVE ARRAY DUMP of `count` elements of the JNI type of `signature`, each big-endian. An element
// type without a width writes nothing: logged "warning: w_p_a: bad type: ...", false.
bool writePrimitiveArrayDump(SnapshotWriter& writer, int32_t arrayId, const ObjectAttributes& attributes,
                             char signature, int32_t count, const void* elements);

// One root: a heap root (thread set for a THREAD root only) or a stack or JNI-local reference.
struct RootRecord {
  int32_t objectId = 0;
  int32_t kindNameId = 0;  // string id of the root kind's name
  int32_t thread = 0;      // sequence number, 0 when none or unknown
  int32_t threadObjectId = 0;
  int32_t frame = 0;        // global frame id, 0 when unknown
  int32_t localNameId = 0;  // string id of the local variable's name, 0 when none
};
void writeRootRecord(SnapshotWriter& writer, const RootRecord& root);

// The empty HEAP DUMP END record; no segment may be open.
void writeHeapDumpEnd(SnapshotWriter& writer);

// The tag-37 record appended after the value passes: per class of the table, its constant-pool
// references (sub-record 9) and its implemented interfaces (sub-record 8), each only when there are
// any. The record itself is always written.
void writeClassReferenceRecord(SnapshotWriter& writer, const ClassInfoTable& classes);
