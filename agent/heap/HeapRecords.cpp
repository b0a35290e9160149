#include "agent/heap/HeapRecords.h"

#include "agent/db/DB.h"
#include "agent/db/SnapshotFile.h"
#include "agent/recording/ThreadInfo.h"
#include "agent/recording/ThreadRegistry.h"
#include "agent/support/Log.h"

namespace {

constexpr int64_t largestFourByteSize = 0x7FFFFFFF;

constexpr int32_t attributesAlways = 4;
constexpr int32_t attributesObjectMapId = 1;
constexpr int32_t attributesAllocation = 2;
constexpr int32_t attributesEightByteSize = 8;


const char* stringText(int32_t stringId) {
  DB& database = requireDatabase();
  const StringRecord* row = database.strings.getRow(stringId, false);
  return row == nullptr ? nullptr : row->body;
}

// Every sub-record goes through here: a segment is split before an object that could take it past the
// limit, `items` bounding the object's size in 8-byte units.
void beginSubRecord(SnapshotWriter& writer, int64_t items, int32_t tag) {
  writer.ensureSegmentRoom(items);
  writer.writeByte(tag);
}

}  // namespace

int32_t basicTypeOf(int32_t signatureChar) {
  switch (signatureChar) {
    case 'Z':
      return 4;
    case 'C':
      return 5;
    case 'F':
      return 6;
    case 'D':
      return 7;
    case 'B':
      return 8;
    case 'S':
      return 9;
    case 'I':
      return 10;
    case 'J':
      return 11;
    default:
      return 2;
  }
}

ObjectRecord allocationRecordOf(jlong tag) {
  ObjectRecord record;
  if (pureTagOf(tag) > 0 && objectEnumerator != nullptr) objectEnumerator->getRecord(tag, record);
  return record;
}

int32_t objectIndexOf(jlong tag, const ObjectRecord& record) {
  const int32_t low = pureTagOf(tag);
  if (low > 0) return record.snapshotNumber;
  return low < 0 ? -low : 0;
}

int32_t objectIndexOf(jlong tag) { return objectIndexOf(tag, allocationRecordOf(tag)); }

ObjectAttributes objectAttributesOf(jlong tag, int64_t size, const ObjectRecord& record) {
  ObjectAttributes attributes;
  attributes.size = size;
  attributes.generation = uint32_t(uint64_t(tag) >> 32);
  attributes.objectMapId = record.objectMapId;
  attributes.hasAllocation = record.site != 0 && record.thread != 0;
  if (!attributes.hasAllocation) return attributes;
  attributes.thread = record.thread;
  attributes.allocationTime = record.allocationTime;
  if (record.site < 0) {
    attributes.frame = uint32_t(-record.site);
  } else {
    ThreadInfo* thread = threadRegistry().threadsBySequence.get(int32_t(record.thread));
    attributes.frame = thread == nullptr ? 0 : uint32_t(thread->getFrameId(record.site));
  }
  return attributes;
}

void writeObjectAttributes(SnapshotWriter& writer, const ObjectAttributes& attributes) {
  int32_t flags = attributesAlways;
  const bool eightByteSize = attributes.size > largestFourByteSize;
  if (eightByteSize) flags |= attributesEightByteSize;
  if (attributes.objectMapId != 0) flags |= attributesObjectMapId;
  if (attributes.hasAllocation) flags |= attributesAllocation;
  writer.writeByte(flags);
  if (eightByteSize) {
    writer.writeLong(attributes.size);
  } else {
    if (attributes.size < 0) {
      YString line("warning: negative size ");
      line.appendLong(attributes.size);
      line.append(" (as unsigned int: ");
      line.appendLong(uint32_t(attributes.size));
      line.append(")");
      logMessage(line);
    }
    writer.writeInt(int32_t(attributes.size));
  }
  writer.writeInt(int32_t(attributes.generation));
  if (attributes.objectMapId != 0) writer.writeInt(int32_t(attributes.objectMapId));
  if (attributes.hasAllocation) {
    writer.writeInt(int32_t(attributes.thread));
    writer.writeInt(int32_t(attributes.frame));
    writer.writeLong(int64_t(attributes.allocationTime));
  }
}

void writeStringRecord(SnapshotWriter& writer, int32_t stringId, const char* text) {
  const YString bytes(text == nullptr ? "" : text);
  writer.writeByte(stringRecordTag);
  writer.writeInt(0);
  writer.writeInt(4 + bytes.length);
  writer.writeId(stringId);
  for (int32_t i = 0; i < bytes.length; i++) writer.writeByte(bytes.data[i]);
}

void writeLoadClassRecord(SnapshotWriter& writer, int32_t classSerial, int32_t classId, int32_t nameId) {
  writer.writeByte(loadClassRecordTag);
  writer.writeInt(0);
  writer.writeInt(16);
  writer.writeInt(classSerial);
  writer.writeId(classId);
  writer.writeInt(0);
  writer.writeId(nameId);
}

void writeNameRecords(SnapshotWriter& writer, const ClassInfoTable& classes) {
  for (int32_t c = 0; c < classes.count(); c++) {
    const _ClassInfo& info = classes.infoAt(c);
    for (int32_t f = info.firstOwnField; f < info.fieldCount(); f++) {
      const int32_t nameId = int32_t(info.fields[f]->nameId);
      writeStringRecord(writer, nameId, stringText(nameId));
    }
    writeStringRecord(writer, int32_t(info.nameId), stringText(int32_t(info.nameId)));
  }
  for (int32_t c = 0; c < classes.count(); c++) {
    writeLoadClassRecord(writer, c + 1, objectIndexOf(classes.tagAt(c)), int32_t(classes.infoAt(c).nameId));
  }
}

void writeClassDump(SnapshotWriter& writer, _ClassInfo& info, int32_t classId, int32_t superClassId,
                    const ObjectAttributes& attributes) {
  int32_t ownStatics = 0;
  int32_t ownInstanceFields = 0;
  for (int32_t f = info.firstOwnField; f < info.fieldCount(); f++) {
    if (info.fields[f]->isStatic()) {
      ownStatics++;
    } else {
      ownInstanceFields++;
    }
  }
  beginSubRecord(writer, 3 * int64_t(ownStatics) + 2 * int64_t(ownInstanceFields), classDumpTag);
  writeObjectAttributes(writer, attributes);
  writer.writeId(classId);
  writer.writeInt(0);
  writer.writeId(superClassId);
  info.classLoaderPosition = uint64_t(writer.getPosition());
  writer.writeId(0);
  info.signersPosition = uint64_t(writer.getPosition());
  writer.writeId(0);
  info.protectionDomainPosition = uint64_t(writer.getPosition());
  writer.writeId(0);
  writer.writeId(0);
  writer.writeId(0);
  writer.writeInt(info.instanceBlockSize);
  writer.writeShort(0);
  writer.writeShort(ownStatics);
  info.staticEntriesPosition = uint64_t(writer.getPosition());
  for (int32_t f = info.fieldCount() - 1; f >= info.firstOwnField; f--) {
    const _FieldInfo& field = *info.fields[f];
    if (!field.isStatic()) continue;
    writer.writeId(field.nameId);
    writer.writeByte(basicTypeOf(field.signatureChar));
    writer.writePrimitiveValue(0, field.isPrimitive() ? char(field.signatureChar) : 'I');
  }
  writer.writeShort(ownInstanceFields);
  for (int32_t f = info.fieldCount() - 1; f >= info.firstOwnField; f--) {
    const _FieldInfo& field = *info.fields[f];
    if (field.isStatic()) continue;
    writer.writeId(field.nameId);
    writer.writeByte(basicTypeOf(field.signatureChar));
    writer.writeInt(int32_t(field.modifiers));
  }
}

void writeClassDumps(SnapshotWriter& writer, const ClassInfoTable& classes) {
  for (int32_t c = 0; c < classes.count(); c++) {
    const jlong tag = classes.tagAt(c);
    _ClassInfo& info = classes.infoAt(c);
    const ObjectRecord record = allocationRecordOf(tag);
    const int32_t superClassId = info.superclassTag == 0 ? 0 : objectIndexOf(info.superclassTag);
    writeClassDump(writer, info, objectIndexOf(tag, record), superClassId,
                   objectAttributesOf(tag, info.objectSize, record));
  }
}

int64_t writeInstanceDump(SnapshotWriter& writer, int32_t objectId, int32_t classId, int32_t blockSize,
                          const ObjectAttributes& attributes) {
  beginSubRecord(writer, blockSize, instanceDumpTag);
  writeObjectAttributes(writer, attributes);
  writer.writeId(objectId);
  writer.writeInt(0);
  writer.writeId(classId);
  writer.writeInt(blockSize);
  const int64_t blockPosition = writer.getPosition();
  for (int32_t i = 0; i < blockSize; i++) writer.writeByte(0);
  return blockPosition;
}

int64_t writeObjectArrayDump(SnapshotWriter& writer, int32_t arrayId, int32_t arrayClassId, int32_t length,
                             const ObjectAttributes& attributes) {
  beginSubRecord(writer, length, objectArrayDumpTag);
  writeObjectAttributes(writer, attributes);
  writer.writeId(arrayId);
  writer.writeInt(0);
  writer.writeInt(length);
  writer.writeId(arrayClassId);
  const int64_t elementsPosition = writer.getPosition();
  for (int32_t i = 0; i < length; i++) writer.writeId(0);
  return elementsPosition;
}

bool writePrimitiveArrayDump(SnapshotWriter& writer, int32_t arrayId, const ObjectAttributes& attributes,
                             char signature, int32_t count, const void* elements) {
  if (getPrimitiveTypeSize(signature) < 0) {
    YString line("warning: w_p_a: bad type: ");
    line.appendLong(signature);
    line.append(" objectIndex: ");
    line.appendLong(arrayId);
    logMessage(line);
    return false;
  }
  beginSubRecord(writer, count, primitiveArrayDumpTag);
  writeObjectAttributes(writer, attributes);
  writer.writeId(arrayId);
  writer.writeInt(0);
  writer.writeInt(count);
  writer.writeByte(basicTypeOf(signature));
  writer.writePrimitiveArray(elements, signature, count);
  return true;
}

// A root is small, but the segment it lands in must still not pass the limit: a length capped at the
// limit would no longer say where the segment ends.
void writeRootRecord(SnapshotWriter& writer, const RootRecord& root) {
  beginSubRecord(writer, 0, rootRecordTag);
  writer.writeId(root.objectId);
  writer.writeInt(root.kindNameId);
  writer.writeInt(root.thread);
  writer.writeId(root.threadObjectId);
  writer.writeInt(root.frame);
  writer.writeInt(root.localNameId);
}

void writeHeapDumpEnd(SnapshotWriter& writer) {
  writer.beginSegment(heapDumpEndTag);
  writer.endSegment();
}

void writeClassReferenceRecord(SnapshotWriter& writer, const ClassInfoTable& classes) {
  writer.beginSegment(agentRecordTag);
  for (int32_t c = 0; c < classes.count(); c++) {
    const _ClassInfo& info = classes.infoAt(c);
    const int32_t classId = objectIndexOf(classes.tagAt(c));
    const int32_t references = info.constantPoolObjects.size;
    if (references > 0) {
      writer.writeByte(constantPoolReferencesKind);
      writer.writeId(classId);
      writer.writeInt(references);
      for (int32_t r = 0; r < references; r++) {
        writer.writeInt(info.constantPoolIndices[r]);
        writer.writeId(info.constantPoolObjects[r]);
      }
    }
    const int32_t interfaces = info.interfaceTags.size;
    if (interfaces > 0) {
      writer.writeByte(implementedInterfacesKind);
      writer.writeId(classId);
      writer.writeInt(interfaces);
      for (int32_t i = 0; i < interfaces; i++) writer.writeId(objectIndexOf(info.interfaceTags[i]));
    }
  }
  writer.endSegment();
}
