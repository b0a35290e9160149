#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tests/support/RowStreamReader.h"

// Reads a snapshot file as the host does: the fixed head, then big-endian tagged records to the end of
// the file. Written from the file format, not from the writer, so that tests can hold the two against
// each other. Whatever the format fixes (magic, time fields, header keys, sub-record kinds and order,
// record lengths) is checked here; any departure is a FormatError that names the file offset. What the
// writer chooses (kind, times, header values, rows) is handed back for the tests to judge.

namespace snapshotfile {

using rowstream::FormatError;

inline constexpr char magic[] = "BRANTEL_FILE_60000";  // written with its terminating zero
constexpr size_t headSize = sizeof magic + 4 + 8;
constexpr uint32_t idSize = 4;

constexpr uint8_t agentTag = 37;
constexpr uint8_t nameTextTag = 1;
constexpr uint8_t classLoadTag = 2;
constexpr uint8_t heapSegmentTag = 28;
constexpr uint8_t heapEndTag = 44;

constexpr uint8_t headerKind = 1;
constexpr uint8_t tableKind = 2;
constexpr uint8_t eventTableKind = 3;
constexpr uint8_t interfacesKind = 8;     // in the class reference record appended after the heap
constexpr uint8_t constantPoolKind = 9;   // likewise

// Sub-records of a heap segment.
constexpr uint8_t classDumpKind = 0x20;
constexpr uint8_t instanceDumpKind = 0x21;
constexpr uint8_t objectArrayDumpKind = 0x22;
constexpr uint8_t primitiveArrayDumpKind = 0x23;
constexpr uint8_t rootKind = 0xFF;

// HPROF basic types.
constexpr uint8_t objectType = 2;
constexpr uint8_t booleanType = 4;
constexpr uint8_t longType = 11;

// The names of the root kinds, which roots give by their string-table id.
inline constexpr const char* rootKindNames[] = {
    "JVMTI_HEAP_ROOT_JNI_GLOBAL", "JVMTI_HEAP_ROOT_SYSTEM_CLASS", "JVMTI_HEAP_ROOT_MONITOR",
    "JVMTI_HEAP_ROOT_THREAD",     "JVMTI_HEAP_ROOT_OTHER",        "JVMTI_HEAP_ROOT_JNI_LOCAL",
    "JVMTI_HEAP_ROOT_STACK_LOCAL"};

// Bytes of a value of a basic type: an id for an object; 0 for a code that is no basic type.
inline uint32_t basicTypeWidth(uint8_t type) {
  switch (type) {
    case 2: return idSize;
    case 4: case 8: return 1;
    case 5: case 9: return 2;
    case 6: case 10: return 4;
    case 7: case 11: return 8;
    default: return 0;
  }
}

// The header's named values in the order written; "oid_count" follows them.
inline constexpr const char* headerKeys[] = {
    "header",     "snapshot_version", "created_by_version", "agent_version",    "platform",
    "session_id", "session_name",     "snapshot_flags",     "creation_time_ms", "sizeof_pointer"};
constexpr int32_t headerKeyCount = int32_t(sizeof headerKeys / sizeof headerKeys[0]);
inline constexpr char oidCountKey[] = "oid_count";
constexpr size_t oidCountWidth = 10;

constexpr int32_t firstEventTableId = 32;
constexpr int32_t lastEventTableId = 127;

// One top-level record. Its time field is always 0 and is checked, not kept.
struct Record {
  uint8_t tag = 0;
  uint32_t length = 0;
  size_t contentOffset = 0;
};

struct Header {
  std::vector<std::pair<std::string, std::string>> values;  // the ten named values, in order
  std::string oidCount;                                     // the 10 characters, right-aligned
  size_t oidCountLengthOffset = 0;  // the int32 length of the object count: the heap writer patches from here
  std::vector<std::pair<int32_t, std::string>> eventTables;  // id and description, ids increasing

  const std::string* value(const std::string& key) const {
    for (const auto& [k, v] : values) {
      if (k == key) return &v;
    }
    return nullptr;
  }
};

// An agent record after the header: table index to rows, indexes increasing in the file.
struct TablesRecord {
  std::map<int32_t, std::vector<rowstream::Row>> tables;
};

// The attribute block between the tag and the body of every object sub-record. Fields that the flags
// leave out are 0.
struct Attributes {
  uint8_t flags = 0;
  uint64_t size = 0;
  uint32_t generation = 0;
  uint32_t objectMapId = 0;  // flag 1
  uint32_t thread = 0;       // flag 2, with frame and allocation time
  uint32_t frame = 0;
  uint64_t allocationTime = 0;

  bool operator==(const Attributes& o) const {
    return flags == o.flags && size == o.size && generation == o.generation && objectMapId == o.objectMapId &&
           thread == o.thread && frame == o.frame && allocationTime == o.allocationTime;
  }
};

struct NameText {  // a STRING record
  uint32_t id = 0;
  std::string text;
};

struct ClassLoad {  // a LOAD CLASS record
  uint32_t serial = 0;
  uint32_t classId = 0;
  uint32_t nameId = 0;
};

struct StaticField {
  uint32_t nameId = 0;
  uint8_t type = 0;
  uint64_t value = 0;      // zero-extended from the type's width
  size_t valueOffset = 0;  // file offset of the value
};

struct InstanceField {
  uint32_t nameId = 0;
  uint8_t type = 0;
  uint32_t modifiers = 0;
};

struct ClassDump {
  size_t offset = 0;  // of the sub-record's tag
  Attributes attributes;
  uint32_t id = 0;
  uint32_t superId = 0;
  uint32_t loaderId = 0;
  uint32_t signersId = 0;
  uint32_t protectionDomainId = 0;
  size_t loaderOffset = 0;  // the signers and protection domain ids follow, one id each
  uint32_t instanceSize = 0;
  size_t staticEntriesOffset = 0;  // just after the static field count
  std::vector<StaticField> statics;
  std::vector<InstanceField> fields;  // as written: the last declared first
};

struct InstanceDump {
  size_t offset = 0;
  Attributes attributes;
  uint32_t id = 0;
  uint32_t classId = 0;
  size_t fieldBlockOffset = 0;
  std::string fieldBlock;
};

struct ObjectArrayDump {
  size_t offset = 0;
  Attributes attributes;
  uint32_t id = 0;
  uint32_t classId = 0;
  size_t elementsOffset = 0;
  std::vector<uint32_t> elements;
};

struct PrimitiveArrayDump {
  size_t offset = 0;
  Attributes attributes;
  uint32_t id = 0;
  uint8_t type = 0;
  uint32_t length = 0;
  std::string elements;  // length x width bytes, each element big-endian
};

struct Root {
  uint32_t objectId = 0;
  uint32_t kindNameId = 0;
  uint32_t thread = 0;
  uint32_t threadObjectId = 0;
  uint32_t frame = 0;
  uint32_t localNameId = 0;

  bool operator==(const Root& o) const {
    return objectId == o.objectId && kindNameId == o.kindNameId && thread == o.thread &&
           threadObjectId == o.threadObjectId && frame == o.frame && localNameId == o.localNameId;
  }
};

// The sub-records of all heap segments, each kind in file order.
struct Heap {
  size_t segmentCount = 0;
  bool ended = false;  // the HEAP DUMP END record was read
  std::vector<ClassDump> classes;
  std::vector<InstanceDump> instances;
  std::vector<ObjectArrayDump> objectArrays;
  std::vector<PrimitiveArrayDump> primitiveArrays;
  std::vector<Root> roots;
};

// One sub-record of the class reference record: constant-pool references (kind 9, pairs of
// constant-pool index and object id) or implemented interfaces (kind 8, class ids).
struct ClassReferences {
  uint8_t kind = 0;
  uint32_t classId = 0;
  std::vector<std::pair<uint32_t, uint32_t>> constantPool;
  std::vector<uint32_t> interfaces;
};

struct Snapshot {
  int32_t kind = 0;
  int64_t creationTimeMs = 0;
  std::vector<Record> records;  // every top-level record, the header first
  Header header;
  std::vector<TablesRecord> tableRecords;  // the agent records holding tables, in file order
  std::vector<NameText> names;
  std::vector<ClassLoad> classLoads;
  Heap heap;
  // The agent record appended after the heap, when there is one (possibly empty).
  std::optional<std::vector<ClassReferences>> classReferences;
  mutable std::unordered_map<uint32_t, size_t> classPositions;  // of the class dumps, by class id

  const ClassDump* findClass(uint32_t id) const {
    // Indexed on first use: a heap of many instances asks for their classes over and over.
    if (classPositions.size() != heap.classes.size()) {
      classPositions.clear();
      for (size_t i = 0; i < heap.classes.size(); i++) classPositions.emplace(heap.classes[i].id, i);
    }
    const auto found = classPositions.find(id);
    return found != classPositions.end() ? &heap.classes[found->second] : nullptr;
  }
  // The text of a STRING record's id; null when no STRING record has it.
  const std::string* name(uint32_t id) const {
    for (const NameText& n : names) {
      if (n.id == id) return &n.text;
    }
    return nullptr;
  }
};

// One value of an instance's field block, with the class that declares the field.
struct FieldValue {
  uint32_t declaringClassId = 0;
  uint32_t nameId = 0;
  uint8_t type = 0;
  uint64_t value = 0;  // zero-extended
  size_t offset = 0;   // file offset of the value
};

namespace detail {

inline std::string at(size_t offset) { return " at offset " + std::to_string(offset); }

// Where a record's leftover bytes do not form a sub-record, how many there were.
inline std::string beforeEnd(const rowstream::Cursor& afterKind) {
  return ", " + std::to_string(afterKind.remaining() + 1) + " bytes before the record's end,";
}

// An int32 length, then the bytes; unlike a text, a byte vector has no null form.
inline std::string readByteVector(rowstream::Cursor& in, const char* what) {
  const size_t start = in.position();
  std::optional<std::string> bytes = in.readString(what);
  if (!bytes) throw FormatError(std::string(what) + at(start) + " has length -1; a byte vector is never null");
  return *bytes;
}

inline void readOidCount(rowstream::Cursor& in, Header& header) {
  const size_t keyOffset = in.position();
  if (readByteVector(in, "\"oid_count\" key") != oidCountKey) {
    throw FormatError(std::string("\"oid_count\" key expected") + at(keyOffset));
  }
  header.oidCountLengthOffset = in.position();
  header.oidCount = readByteVector(in, "\"oid_count\" value");
  const std::string& count = header.oidCount;
  const size_t firstDigit = count.find_first_not_of(' ');
  const bool decimal =
      firstDigit != std::string::npos && count.find_first_not_of("0123456789", firstDigit) == std::string::npos;
  if (count.size() != oidCountWidth || !decimal) {
    throw FormatError("\"oid_count\" value \"" + count + "\"" + at(header.oidCountLengthOffset) +
                      " is not a number right-aligned in 10 characters");
  }
}

inline void readHeader(rowstream::Cursor& in, Header& header) {
  const size_t kindOffset = in.position();
  if (in.readByte("header kind") != headerKind) {
    throw FormatError("the header record does not open with kind byte 1" + at(kindOffset));
  }
  const size_t countOffset = in.position();
  const int32_t count = in.readInt("header count");
  if (count != headerKeyCount + 1) {
    throw FormatError("header count " + std::to_string(count) + at(countOffset) + ": " +
                      std::to_string(headerKeyCount) + " named values and \"oid_count\" make " +
                      std::to_string(headerKeyCount + 1));
  }
  for (const char* expected : headerKeys) {
    const size_t keyOffset = in.position();
    std::string key = readByteVector(in, "header key");
    if (key != expected) {
      throw FormatError("header key \"" + key + "\"" + at(keyOffset) + " where \"" + expected + "\" belongs");
    }
    header.values.emplace_back(std::move(key), readByteVector(in, "header value"));
  }
  readOidCount(in, header);
  while (!in.atEnd()) {
    const size_t subOffset = in.position();
    const uint8_t kind = in.readByte("sub-record kind");
    if (kind != eventTableKind) {
      throw FormatError("sub-record kind " + std::to_string(kind) + at(subOffset) + beforeEnd(in) +
                        " in the header record, where only event-table descriptions (kind 3) follow \"oid_count\"");
    }
    const size_t idOffset = in.position();
    const int32_t id = in.readInt("event-table id");
    if (id < firstEventTableId || id > lastEventTableId) {
      throw FormatError("event-table id " + std::to_string(id) + at(idOffset) + " is outside 32 to 127");
    }
    if (!header.eventTables.empty() && id <= header.eventTables.back().first) {
      throw FormatError("event-table id " + std::to_string(id) + at(idOffset) + " does not follow " +
                        std::to_string(header.eventTables.back().first) + " in increasing order");
    }
    header.eventTables.emplace_back(id, readByteVector(in, "event-table description"));
  }
}

inline TablesRecord readTables(rowstream::Cursor& in) {
  TablesRecord record;
  int32_t previous = -1;
  while (!in.atEnd()) {
    const size_t subOffset = in.position();
    const uint8_t kind = in.readByte("sub-record kind");
    if (kind == interfacesKind || kind == constantPoolKind) {
      throw FormatError("sub-record kind " + std::to_string(kind) + at(subOffset) +
                        ": class references belong only in the agent record appended after the heap's tables");
    }
    if (kind != tableKind) {
      throw FormatError("sub-record kind " + std::to_string(kind) + at(subOffset) + beforeEnd(in) +
                        " in an agent record after the header, where tables (kind 2) belong");
    }
    const size_t indexOffset = in.position();
    const int32_t index = in.readInt("table index");
    if (index < 0 || index >= rowstream::tableCount) {
      throw FormatError("table index " + std::to_string(index) + at(indexOffset) + " is outside 0 to 19");
    }
    if (index <= previous) {
      throw FormatError("table index " + std::to_string(index) + at(indexOffset) + " does not follow " +
                        std::to_string(previous) + " in increasing order");
    }
    record.tables[index] = rowstream::readTableStream(in, index);
    previous = index;
  }
  return record;
}

inline void expectLength(const Record& record, bool fits, const char* expected) {
  if (!fits) {
    throw FormatError("length " + std::to_string(record.length) + " of a tag-" + std::to_string(record.tag) +
                      " record, which is " + expected);
  }
}

inline uint32_t readU4(rowstream::Cursor& in, const char* what) { return uint32_t(in.readInt(what)); }

inline uint64_t readValue(rowstream::Cursor& in, uint8_t type, const char* what) {
  uint64_t value = 0;
  for (uint32_t i = 0; i < basicTypeWidth(type); i++) value = value << 8 | in.readByte(what);
  return value;
}

inline uint8_t readBasicType(rowstream::Cursor& in, bool objectAllowed, const char* what) {
  const size_t offset = in.position();
  const uint8_t type = in.readByte(what);
  if (basicTypeWidth(type) == 0 || (type == objectType && !objectAllowed)) {
    throw FormatError(std::string(what) + " " + std::to_string(type) + at(offset) + " is no " +
                      (objectAllowed ? "basic type (2, 4 to 11)" : "primitive type (4 to 11)"));
  }
  return type;
}

inline std::string readBytes(rowstream::Cursor& in, uint64_t count, const char* what) {
  if (count > in.remaining()) {
    throw FormatError(std::string(what) + ": needs " + std::to_string(count) + " bytes at offset " +
                      std::to_string(in.position()) + ", " + std::to_string(in.remaining()) + " left");
  }
  std::string bytes;
  bytes.reserve(size_t(count));
  for (uint64_t i = 0; i < count; i++) bytes += char(in.readByte(what));
  return bytes;
}

inline Attributes readAttributes(rowstream::Cursor& in) {
  Attributes a;
  const size_t offset = in.position();
  a.flags = in.readByte("attribute flags");
  if ((a.flags & 4) == 0 || (a.flags & ~0x0F) != 0) {
    throw FormatError("attribute flags " + std::to_string(a.flags) + at(offset) +
                      ": bit 2 is always set and only bits 0 to 3 are defined");
  }
  const size_t sizeOffset = in.position();
  if ((a.flags & 8) != 0) {
    a.size = uint64_t(in.readLong("object size"));
    if (a.size <= 0x7FFFFFFF) {
      throw FormatError("8-byte object size " + std::to_string(a.size) + at(sizeOffset) +
                        ", which fits the 4-byte form");
    }
  } else {
    a.size = readU4(in, "object size");
  }
  a.generation = readU4(in, "generation");
  if ((a.flags & 1) != 0) a.objectMapId = readU4(in, "object-map id");
  if ((a.flags & 2) != 0) {
    a.thread = readU4(in, "allocating thread");
    a.frame = readU4(in, "allocation frame");
    a.allocationTime = uint64_t(in.readLong("allocation time"));
  }
  return a;
}

inline ClassDump readClassDump(rowstream::Cursor& in, size_t offset) {
  ClassDump c;
  c.offset = offset;
  c.attributes = readAttributes(in);
  c.id = readU4(in, "class id");
  if (readU4(in, "stack trace serial") != 0) throw FormatError("class dump" + at(offset) + ": stack trace serial not 0");
  c.superId = readU4(in, "super class id");
  c.loaderOffset = in.position();
  c.loaderId = readU4(in, "class loader id");
  c.signersId = readU4(in, "signers id");
  c.protectionDomainId = readU4(in, "protection domain id");
  if (readU4(in, "reserved id") != 0 || readU4(in, "reserved id") != 0) {
    throw FormatError("class dump" + at(offset) + ": reserved ids not 0");
  }
  c.instanceSize = readU4(in, "instance size");
  const size_t poolOffset = in.position();
  if (in.readByte("constant pool size") != 0 || in.readByte("constant pool size") != 0) {
    throw FormatError("constant pool size" + at(poolOffset) + " not 0");
  }
  const uint32_t statics = uint32_t(in.readByte("static field count")) << 8 | in.readByte("static field count");
  c.staticEntriesOffset = in.position();
  for (uint32_t i = 0; i < statics; i++) {
    StaticField f;
    f.nameId = readU4(in, "static field name id");
    f.type = readBasicType(in, true, "static field type");
    f.valueOffset = in.position();
    f.value = readValue(in, f.type, "static field value");
    c.statics.push_back(f);
  }
  const uint32_t fields = uint32_t(in.readByte("instance field count")) << 8 | in.readByte("instance field count");
  for (uint32_t i = 0; i < fields; i++) {
    InstanceField f;
    f.nameId = readU4(in, "instance field name id");
    f.type = readBasicType(in, true, "instance field type");
    f.modifiers = readU4(in, "instance field modifiers");
    c.fields.push_back(f);
  }
  return c;
}

inline void readHeapSubRecord(rowstream::Cursor& in, Heap& heap) {
  const size_t offset = in.position();
  const uint8_t kind = in.readByte("heap sub-record kind");
  switch (kind) {
    case classDumpKind:
      heap.classes.push_back(readClassDump(in, offset));
      return;
    case instanceDumpKind: {
      InstanceDump d;
      d.offset = offset;
      d.attributes = readAttributes(in);
      d.id = readU4(in, "object id");
      if (readU4(in, "stack trace serial") != 0) throw FormatError("instance dump" + at(offset) + ": stack trace serial not 0");
      d.classId = readU4(in, "class id");
      const uint32_t count = readU4(in, "byte count");
      d.fieldBlockOffset = in.position();
      d.fieldBlock = readBytes(in, count, "field block");
      heap.instances.push_back(std::move(d));
      return;
    }
    case objectArrayDumpKind: {
      ObjectArrayDump d;
      d.offset = offset;
      d.attributes = readAttributes(in);
      d.id = readU4(in, "array id");
      if (readU4(in, "stack trace serial") != 0) throw FormatError("object array dump" + at(offset) + ": stack trace serial not 0");
      const uint32_t length = readU4(in, "array length");
      d.classId = readU4(in, "array class id");
      d.elementsOffset = in.position();
      if (uint64_t(length) * idSize > in.remaining()) {
        throw FormatError("object array of " + std::to_string(length) + " elements" + at(offset) +
                          " runs past the record's end");
      }
      d.elements.reserve(length);
      for (uint32_t i = 0; i < length; i++) d.elements.push_back(readU4(in, "array element"));
      heap.objectArrays.push_back(std::move(d));
      return;
    }
    case primitiveArrayDumpKind: {
      PrimitiveArrayDump d;
      d.offset = offset;
      d.attributes = readAttributes(in);
      d.id = readU4(in, "array id");
      if (readU4(in, "stack trace serial") != 0) throw FormatError("primitive array dump" + at(offset) + ": stack trace serial not 0");
      d.length = readU4(in, "array length");
      d.type = readBasicType(in, false, "element type");
      d.elements = readBytes(in, uint64_t(d.length) * basicTypeWidth(d.type), "array elements");
      heap.primitiveArrays.push_back(std::move(d));
      return;
    }
    case rootKind: {
      Root r;
      r.objectId = readU4(in, "root object id");
      r.kindNameId = readU4(in, "root kind");
      r.thread = readU4(in, "root thread");
      r.threadObjectId = readU4(in, "root thread object id");
      r.frame = readU4(in, "root frame");
      r.localNameId = readU4(in, "root local name");
      heap.roots.push_back(r);
      return;
    }
    default:
      throw FormatError("heap sub-record kind " + std::to_string(kind) + at(offset) + beforeEnd(in) +
                        " is none of 0x20 to 0x23 and 0xFF");
  }
}

inline std::vector<ClassReferences> readClassReferences(rowstream::Cursor& in) {
  std::vector<ClassReferences> references;
  while (!in.atEnd()) {
    const size_t offset = in.position();
    ClassReferences r;
    r.kind = in.readByte("sub-record kind");
    if (r.kind != constantPoolKind && r.kind != interfacesKind) {
      throw FormatError("sub-record kind " + std::to_string(r.kind) + at(offset) + beforeEnd(in) +
                        " in the class reference record, where only kinds 9 and 8 belong");
    }
    r.classId = readU4(in, "class id");
    const uint32_t count = readU4(in, "reference count");
    if (count == 0) throw FormatError("class reference sub-record" + at(offset) + " with a count of 0");
    const uint64_t width = r.kind == constantPoolKind ? 4 + idSize : idSize;
    if (count * width > in.remaining()) {
      throw FormatError("class reference sub-record of " + std::to_string(count) + " entries" + at(offset) +
                        " runs past the record's end");
    }
    for (uint32_t i = 0; i < count; i++) {
      if (r.kind == constantPoolKind) {
        const uint32_t index = readU4(in, "constant-pool index");
        r.constantPool.emplace_back(index, readU4(in, "referenced object id"));
      } else {
        r.interfaces.push_back(readU4(in, "interface class id"));
      }
    }
    references.push_back(std::move(r));
  }
  return references;
}

// Where a snapshot stands in the fixed order of its top-level records.
enum class Stage { start, tables, names, classLoads, heap, heapEnded, modifiedTables, appended };

// The content of one record: `in` ends where the record does, so a sub-record cannot run over it, and
// the callers read sub-records until that end, so none can stop short of it.
inline void readContent(rowstream::Cursor& in, const Record& record, Snapshot& snapshot, Stage& stage) {
  auto expectStage = [&](bool allowed, const char* rule) {
    if (!allowed) throw FormatError("a tag-" + std::to_string(record.tag) + " record " + rule);
  };
  if (stage == Stage::start && record.tag != agentTag) {
    throw FormatError("a snapshot opens with its header record (tag 37), not tag " + std::to_string(record.tag));
  }
  switch (record.tag) {
    case agentTag:
      if (stage == Stage::start) {
        readHeader(in, snapshot.header);
        stage = Stage::tables;
      } else if (stage == Stage::modifiedTables) {
        snapshot.classReferences = readClassReferences(in);
        stage = Stage::appended;
      } else {
        expectStage(stage != Stage::heap, "inside the heap, before its HEAP DUMP END");
        expectStage(stage != Stage::appended, "after the class reference record, which is the last");
        expectStage(stage == Stage::tables || stage == Stage::heapEnded,
                    "between the name records and the heap");
        snapshot.tableRecords.push_back(readTables(in));
        if (stage == Stage::heapEnded) stage = Stage::modifiedTables;
      }
      return;
    case nameTextTag: {
      expectStage(stage == Stage::tables || stage == Stage::names, "after the LOAD CLASS records or the heap");
      expectLength(record, record.length >= idSize, "an id and a text");
      NameText name;
      name.id = readU4(in, "string id");
      name.text = readBytes(in, in.remaining(), "string text");
      snapshot.names.push_back(std::move(name));
      stage = Stage::names;
      return;
    }
    case classLoadTag: {
      expectStage(stage == Stage::tables || stage == Stage::names || stage == Stage::classLoads,
                  "after the heap");
      expectLength(record, record.length == 2 * idSize + 8, "16: two ids and two int32");
      ClassLoad load;
      load.serial = readU4(in, "class serial");
      load.classId = readU4(in, "class id");
      if (readU4(in, "stack trace serial") != 0) throw FormatError("LOAD CLASS with a stack trace serial not 0");
      load.nameId = readU4(in, "class name id");
      const uint32_t expected = uint32_t(snapshot.classLoads.size() + 1);
      if (load.serial != expected) {
        throw FormatError("class serial " + std::to_string(load.serial) + " where " + std::to_string(expected) +
                          " follows");
      }
      snapshot.classLoads.push_back(load);
      stage = Stage::classLoads;
      return;
    }
    case heapSegmentTag:
      expectStage(stage != Stage::heapEnded && stage != Stage::modifiedTables && stage != Stage::appended,
                  "after the HEAP DUMP END");
      snapshot.heap.segmentCount++;
      while (!in.atEnd()) readHeapSubRecord(in, snapshot.heap);
      stage = Stage::heap;
      return;
    case heapEndTag:
      expectStage(stage == Stage::heap, "without a heap segment before it, or a second time");
      expectLength(record, record.length == 0, "empty");
      snapshot.heap.ended = true;
      stage = Stage::heapEnded;
      return;
    default:
      throw FormatError("unknown record tag " + std::to_string(record.tag));
  }
}

inline std::optional<std::string> tableString(const Snapshot& snapshot, uint32_t id) {
  for (const TablesRecord& record : snapshot.tableRecords) {
    const auto strings = record.tables.find(0);
    if (strings == record.tables.end()) continue;
    for (const rowstream::Row& row : strings->second) {
      if (row.index == int32_t(id) && row.text) return row.text;
    }
  }
  return std::nullopt;
}

// What holds between records: names, object ids, class references and block sizes agree.
inline void checkHeap(const Snapshot& snapshot) {
  std::map<uint32_t, const std::string*> texts;
  for (const NameText& n : snapshot.names) {
    const auto [it, added] = texts.emplace(n.id, &n.text);
    if (!added && *it->second != n.text) {
      throw FormatError("STRING id " + std::to_string(n.id) + " has two texts, \"" + *it->second + "\" and \"" +
                        n.text + "\"");
    }
  }
  auto named = [&](uint32_t id, const std::string& what) {
    if (texts.count(id) == 0) throw FormatError(what + " has name id " + std::to_string(id) + " without a STRING record");
  };
  const Heap& heap = snapshot.heap;
  if (heap.segmentCount > 0 && !heap.ended) throw FormatError("the heap has no HEAP DUMP END record");

  const std::string& count = snapshot.header.oidCount;
  const uint64_t oidCount = std::stoull(count.substr(count.find_first_not_of(' ')));
  std::map<uint32_t, std::string> objects;
  auto object = [&](uint32_t id, const std::string& what) {
    if (id == 0 || id > oidCount) {
      throw FormatError(what + " has object id " + std::to_string(id) + ", outside 1 to the oid_count " +
                        std::to_string(oidCount));
    }
    const auto [it, added] = objects.emplace(id, what);
    if (!added) throw FormatError(what + " has object id " + std::to_string(id) + " of " + it->second + " too");
  };
  std::map<uint32_t, const ClassDump*> classes;
  for (const ClassDump& c : heap.classes) {
    const std::string what = "the class dump at offset " + std::to_string(c.offset);
    object(c.id, what);
    classes[c.id] = &c;
    for (const StaticField& f : c.statics) named(f.nameId, what + "'s static field");
    for (const InstanceField& f : c.fields) named(f.nameId, what + "'s instance field");
  }
  for (const ClassDump& c : heap.classes) {
    uint64_t size = 0;
    for (const InstanceField& f : c.fields) size += basicTypeWidth(f.type);
    if (c.superId != 0) {
      const auto super = classes.find(c.superId);
      if (super == classes.end()) {
        throw FormatError("class " + std::to_string(c.id) + " has super class id " + std::to_string(c.superId) +
                          " without a class dump");
      }
      size += super->second->instanceSize;
    }
    if (size != c.instanceSize) {
      throw FormatError("class " + std::to_string(c.id) + " has instance size " + std::to_string(c.instanceSize) +
                        " where its fields and its super class's take " + std::to_string(size));
    }
  }
  auto classOf = [&](uint32_t id, const std::string& what) -> const ClassDump& {
    const auto c = classes.find(id);
    if (c == classes.end()) throw FormatError(what + " has class id " + std::to_string(id) + " without a class dump");
    return *c->second;
  };
  for (const InstanceDump& d : heap.instances) {
    const std::string what = "the instance dump at offset " + std::to_string(d.offset);
    object(d.id, what);
    const ClassDump& c = classOf(d.classId, what);
    if (d.fieldBlock.size() != c.instanceSize) {
      throw FormatError(what + " has " + std::to_string(d.fieldBlock.size()) + " field bytes where its class has " +
                        std::to_string(c.instanceSize));
    }
  }
  for (const ObjectArrayDump& d : heap.objectArrays) {
    const std::string what = "the object array dump at offset " + std::to_string(d.offset);
    object(d.id, what);
    classOf(d.classId, what);
  }
  for (const PrimitiveArrayDump& d : heap.primitiveArrays) {
    object(d.id, "the primitive array dump at offset " + std::to_string(d.offset));
  }
  for (const Root& r : heap.roots) {
    if (r.objectId == 0 || r.objectId > oidCount) {
      throw FormatError("a root has object id " + std::to_string(r.objectId) + ", outside 1 to the oid_count");
    }
    const std::optional<std::string> kind = tableString(snapshot, r.kindNameId);
    bool known = false;
    for (const char* name : rootKindNames) known = known || (kind && *kind == name);
    if (!known) {
      throw FormatError("a root of object " + std::to_string(r.objectId) + " has kind id " +
                        std::to_string(r.kindNameId) + ", which names no root kind in the string table");
    }
  }

  if (!heap.classes.empty()) {
    if (snapshot.classLoads.size() != heap.classes.size()) {
      throw FormatError(std::to_string(snapshot.classLoads.size()) + " LOAD CLASS records for " +
                        std::to_string(heap.classes.size()) + " class dumps");
    }
    for (size_t i = 0; i < heap.classes.size(); i++) {
      if (snapshot.classLoads[i].classId != heap.classes[i].id) {
        throw FormatError("LOAD CLASS " + std::to_string(i + 1) + " names class " +
                          std::to_string(snapshot.classLoads[i].classId) + " where the class dumps have " +
                          std::to_string(heap.classes[i].id));
      }
    }
  }
  for (const ClassLoad& load : snapshot.classLoads) named(load.nameId, "LOAD CLASS " + std::to_string(load.serial));

  if (snapshot.classReferences) {
    // The classes in their dump order, each with its constant-pool references before its interfaces.
    std::map<uint32_t, size_t> order;
    for (size_t i = 0; i < heap.classes.size(); i++) order[heap.classes[i].id] = i;
    size_t previous = 0;
    uint8_t previousKind = 0;
    bool first = true;
    for (const ClassReferences& r : *snapshot.classReferences) {
      const auto at = order.find(r.classId);
      if (at == order.end()) {
        throw FormatError("class references of class id " + std::to_string(r.classId) + " without a class dump");
      }
      const bool sameClass = !first && at->second == previous;
      if (!first && (at->second < previous || (sameClass && !(previousKind == constantPoolKind &&
                                                                 r.kind == interfacesKind)))) {
        throw FormatError("class references of class " + std::to_string(r.classId) + " (kind " +
                          std::to_string(r.kind) + ") out of the class order, or not 9 before 8");
      }
      for (const uint32_t id : r.interfaces) classOf(id, "the interface list of class " + std::to_string(r.classId));
      previous = at->second;
      previousKind = r.kind;
      first = false;
    }
  }
}

}  // namespace detail

// The fields of an instance's block, in block order: the class's own instance fields as its dump lists
// them, then each super class's in turn.
inline std::vector<FieldValue> instanceFields(const Snapshot& snapshot, const InstanceDump& instance) {
  std::vector<FieldValue> values;
  size_t at = 0;
  for (const ClassDump* c = snapshot.findClass(instance.classId); c != nullptr;
       c = c->superId == 0 ? nullptr : snapshot.findClass(c->superId)) {
    for (const InstanceField& f : c->fields) {
      const uint32_t width = basicTypeWidth(f.type);
      if (at + width > instance.fieldBlock.size()) throw FormatError("field block too short for its class chain");
      FieldValue v;
      v.declaringClassId = c->id;
      v.nameId = f.nameId;
      v.type = f.type;
      for (uint32_t i = 0; i < width; i++) v.value = v.value << 8 | uint8_t(instance.fieldBlock[at + i]);
      v.offset = instance.fieldBlockOffset + at;
      values.push_back(v);
      at += width;
    }
  }
  return values;
}

inline Snapshot parseSnapshot(const std::string& bytes) {
  if (bytes.size() < headSize) {
    throw FormatError("the file has " + std::to_string(bytes.size()) + " bytes, fewer than its fixed head of " +
                      std::to_string(headSize));
  }
  if (bytes.compare(0, sizeof magic, magic, sizeof magic) != 0) {
    throw FormatError("the file does not begin with \"BRANTEL_FILE_60000\" and a zero byte");
  }
  Snapshot snapshot;
  rowstream::Cursor head(bytes, rowstream::Endian::big, sizeof magic);
  snapshot.kind = head.readInt("kind");
  snapshot.creationTimeMs = head.readLong("creation time");

  detail::Stage stage = detail::Stage::start;
  size_t offset = headSize;
  while (offset < bytes.size()) {
    try {
      rowstream::Cursor frame(bytes, rowstream::Endian::big, offset);
      Record record;
      record.tag = frame.readByte("record tag");
      const int32_t time = frame.readInt("record time");
      record.length = uint32_t(frame.readInt("record length"));
      record.contentOffset = frame.position();
      if (time != 0) throw FormatError("time field " + std::to_string(time) + ", which is always 0");
      if (record.length > bytes.size() - record.contentOffset) {
        throw FormatError("length " + std::to_string(record.length) + " runs past the end of the file, " +
                          std::to_string(bytes.size() - record.contentOffset) + " bytes after the record's head");
      }
      const size_t end = record.contentOffset + record.length;
      rowstream::Cursor content(bytes.data(), end, rowstream::Endian::big, record.contentOffset);
      detail::readContent(content, record, snapshot, stage);
      snapshot.records.push_back(record);
      offset = end;
    } catch (const FormatError& error) {
      throw FormatError("record " + std::to_string(snapshot.records.size()) + detail::at(offset) + ": " + error.what());
    }
  }
  if (snapshot.records.empty()) throw FormatError("no header record after the fixed head");
  detail::checkHeap(snapshot);
  return snapshot;
}

// A file that cannot be read is a FormatError naming the path, like one that breaks the format.
inline Snapshot readSnapshotFile(const std::string& path) {
  std::ifstream file(std::filesystem::u8path(path), std::ios::binary);
  if (!file) throw FormatError("cannot open snapshot file " + path);
  const std::string bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  if (file.bad()) throw FormatError("cannot read snapshot file " + path);
  try {
    return parseSnapshot(bytes);
  } catch (const FormatError& error) {
    throw FormatError(path + ": " + error.what());
  }
}

}  // namespace snapshotfile
