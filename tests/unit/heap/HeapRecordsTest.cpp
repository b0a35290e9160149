#include "agent/heap/HeapRecords.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "agent/db/SnapshotFile.h"
#include "agent/db/StringPool.h"
#include "agent/platform/Files.h"
#include "tests/support/LogCapture.h"
#include "tests/support/SnapshotReader.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestDatabase.h"

namespace {

// Expected bytes, big-endian.
class Bytes {
 public:
  Bytes& u1(uint64_t v) { return put(v, 1); }
  Bytes& u2(uint64_t v) { return put(v, 2); }
  Bytes& u4(uint64_t v) { return put(v, 4); }
  Bytes& u8(uint64_t v) { return put(v, 8); }
  Bytes& raw(const std::string& bytes) {
    out += bytes;
    return *this;
  }
  Bytes& zeros(size_t count) { return raw(std::string(count, '\0')); }
  operator std::string() const { return out; }

 private:
  Bytes& put(uint64_t v, int width) {
    for (int i = width - 1; i >= 0; i--) out += char(uint8_t(v >> (8 * i)));
    return *this;
  }
  std::string out;
};

std::string contentsOf(const std::string& path) {
  std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The tag of a numbered object: generation in the high half, the negated index in the low half.
jlong numberedTag(uint32_t generation, int32_t index) {
  return jlong(uint64_t(generation) << 32 | uint32_t(-index));
}

// A snapshot writer on a new file; `close` finishes it and hands back what reached the disk.
class File {
 public:
  File() : path(directory.pathOf("heap.bzp")), fd(openFileForWrite(YString(path.c_str()))) {
    writer = new SnapshotWriter(fd, true, byteOrderBigEndian);
  }
  ~File() {
    delete writer;
    if (fd >= 0) closeFile(fd);
  }
  std::string close() {
    YString error;
    writer->finish(error);
    EXPECT_EQ(std::string(error.data), "");
    delete writer;
    writer = nullptr;
    closeFile(fd);
    fd = -1;
    return contentsOf(path);
  }

  TempDir directory;
  std::string path;
  int32_t fd;
  SnapshotWriter* writer;
};

_FieldInfo* field(int32_t signatureChar, uint32_t nameId, uint32_t modifiers) {
  _FieldInfo* f = new _FieldInfo;
  f->signatureChar = signatureChar;
  f->nameId = nameId;
  f->modifiers = modifiers;
  return f;
}

constexpr uint32_t staticModifier = 0x0008;

// class B extends A: A declares int a; B declares, in order, static int s1, long x, static Object s2,
// Object y.
_ClassInfo* classB() {
  _ClassInfo* info = new _ClassInfo;
  info->nameId = 50;
  info->objectSize = 520;
  info->fields.add(field('I', 60, 0x0001));
  info->firstOwnField = 1;
  info->fields.add(field('I', 61, staticModifier | 0x0002));
  info->fields.add(field('J', 62, 0x0012));
  info->fields.add(field(0, 63, staticModifier));
  info->fields.add(field(0, 64, 0x0000));
  numberFields(*info);
  return info;
}

struct EncoderCase {
  const char* name;
  std::function<void(SnapshotWriter&)> write;
  std::string expected;
  bool subRecord = true;  // written inside a heap segment, whose exact length is part of the bytes
};

bool logged(const LogCapture& log, const std::string& line) {
  for (const std::string& entry : log.entries()) {
    if (entry == line) return true;
  }
  return false;
}

}  // namespace

TEST(HeapRecords, BasicTypesOfSignatureCharacters) {
  const std::string signatures = "ZCFDBSIJL[";
  const std::vector<int32_t> types = {4, 5, 6, 7, 8, 9, 10, 11, 2, 2};
  for (size_t i = 0; i < signatures.size(); i++) EXPECT_EQ(basicTypeOf(signatures[i]), types[i]) << signatures[i];
  EXPECT_EQ(basicTypeOf(0), 2);
}

TEST(HeapRecords, EncodersWriteTheirExactBytes) {
  ObjectAttributes plain;
  plain.size = 24;
  plain.generation = 3;
  ObjectAttributes largest4 = plain;
  largest4.size = 0x7FFFFFFF;
  ObjectAttributes smallest8 = plain;
  smallest8.size = 0x80000000LL;
  ObjectAttributes all = plain;  // allocation recording and an object-map id: flags 4|1|2
  all.objectMapId = 77;
  all.hasAllocation = true;
  all.thread = 5;
  all.frame = 901;
  all.allocationTime = 0x0102030405LL;
  const int32_t ints[] = {1, -2};
  const jboolean booleans[] = {1, 0, 1};
  const jchar chars[] = {0x263A};

  const std::vector<EncoderCase> cases = {
      {"attributes: size 0x7FFFFFFF in 4 bytes", [&](SnapshotWriter& w) { writeObjectAttributes(w, largest4); },
       Bytes().u1(4).u4(0x7FFFFFFF).u4(3), false},
      {"attributes: size 0x80000000 in 8 bytes", [&](SnapshotWriter& w) { writeObjectAttributes(w, smallest8); },
       Bytes().u1(12).u8(0x80000000LL).u4(3), false},
      {"attributes: flags 7", [&](SnapshotWriter& w) { writeObjectAttributes(w, all); },
       Bytes().u1(7).u4(24).u4(3).u4(77).u4(5).u4(901).u8(0x0102030405LL), false},
      {"STRING", [](SnapshotWriter& w) { writeStringRecord(w, 9, "java.lang.String"); },
       Bytes().u1(1).u4(0).u4(20).u4(9).raw("java.lang.String"), false},
      {"STRING without text", [](SnapshotWriter& w) { writeStringRecord(w, 9, nullptr); },
       Bytes().u1(1).u4(0).u4(4).u4(9), false},
      {"LOAD CLASS", [](SnapshotWriter& w) { writeLoadClassRecord(w, 2, 17, 9); },
       Bytes().u1(2).u4(0).u4(16).u4(2).u4(17).u4(0).u4(9), false},
      {"INSTANCE", [&](SnapshotWriter& w) { writeInstanceDump(w, 40, 17, 6, plain); },
       Bytes().u1(0x21).u1(4).u4(24).u4(3).u4(40).u4(0).u4(17).u4(6).zeros(6)},
      {"OBJECT ARRAY", [&](SnapshotWriter& w) { writeObjectArrayDump(w, 41, 18, 2, all); },
       Bytes().u1(0x22).u1(7).u4(24).u4(3).u4(77).u4(5).u4(901).u8(0x0102030405LL).u4(41).u4(0).u4(2).u4(18).zeros(8)},
      {"OBJECT ARRAY of no elements", [&](SnapshotWriter& w) { writeObjectArrayDump(w, 41, 18, 0, plain); },
       Bytes().u1(0x22).u1(4).u4(24).u4(3).u4(41).u4(0).u4(0).u4(18)},
      {"PRIMITIVE ARRAY of int", [&](SnapshotWriter& w) { writePrimitiveArrayDump(w, 42, plain, 'I', 2, ints); },
       Bytes().u1(0x23).u1(4).u4(24).u4(3).u4(42).u4(0).u4(2).u1(10).u4(1).u4(0xFFFFFFFE)},
      {"PRIMITIVE ARRAY of boolean",
       [&](SnapshotWriter& w) { writePrimitiveArrayDump(w, 43, plain, 'Z', 3, booleans); },
       Bytes().u1(0x23).u1(4).u4(24).u4(3).u4(43).u4(0).u4(3).u1(4).u1(1).u1(0).u1(1)},
      {"PRIMITIVE ARRAY of char", [&](SnapshotWriter& w) { writePrimitiveArrayDump(w, 44, plain, 'C', 1, chars); },
       Bytes().u1(0x23).u1(4).u4(24).u4(3).u4(44).u4(0).u4(1).u1(5).u2(0x263A)},
      {"stack root", [](SnapshotWriter& w) { writeRootRecord(w, RootRecord{40, 7, 3, 12, 88, 99}); },
       Bytes().u1(0xFF).u4(40).u4(7).u4(3).u4(12).u4(88).u4(99)},
      {"HEAP DUMP END", [](SnapshotWriter& w) { writeHeapDumpEnd(w); }, Bytes().u1(44).u4(0).u4(0), false},
  };
  for (const EncoderCase& c : cases) {
    SCOPED_TRACE(c.name);
    File file;
    if (c.subRecord) file.writer->beginSegment(heapSegmentTag);
    c.write(*file.writer);
    if (c.subRecord) file.writer->endSegment();
    const std::string expected =
        c.subRecord ? std::string(Bytes().u1(28).u4(0).u4(c.expected.size()).raw(c.expected)) : c.expected;
    EXPECT_EQ(file.close(), expected);
  }
}

TEST(HeapRecords, ANegativeSizeIsLoggedAndWrittenInFourBytes) {
  LogCapture log;
  File file;
  ObjectAttributes attributes;
  attributes.size = -2;
  writeObjectAttributes(*file.writer, attributes);
  EXPECT_EQ(file.close(), std::string(Bytes().u1(4).u4(0xFFFFFFFE).u4(0)));
  EXPECT_TRUE(logged(log, "warning: negative size -2 (as unsigned int: 4294967294)"));
}

TEST(HeapRecords, APrimitiveArrayOfAnUnknownTypeIsNotWritten) {
  LogCapture log;
  File file;
  const int32_t values[] = {1};
  file.writer->beginSegment(heapSegmentTag);
  EXPECT_FALSE(writePrimitiveArrayDump(*file.writer, 42, ObjectAttributes{}, 'L', 1, values));
  file.writer->endSegment();
  EXPECT_EQ(file.close(), std::string(Bytes().u1(28).u4(0).u4(0)));
  EXPECT_TRUE(logged(log, "warning: w_p_a: bad type: 76 objectIndex: 42"));
}

// Own fields only, the last declared first; the positions kept are those the value passes patch.
TEST(HeapRecords, ClassDumpsListTheirOwnFieldsLastDeclaredFirst) {
  File file;
  _ClassInfo* b = classB();
  _ClassInfo empty;
  ObjectAttributes attributes;
  attributes.size = 520;
  attributes.generation = 2;
  file.writer->writeInt(0);  // positions are file offsets, not offsets in the record
  writeClassDump(*file.writer, *b, 17, 16, attributes);
  writeClassDump(*file.writer, empty, 18, 0, attributes);
  const std::string bytes = file.close();

  const std::string head = Bytes().u1(0x20).u1(4).u4(520).u4(2).u4(17).u4(0).u4(16);
  const std::string bRecord = Bytes()
                                  .raw(head)
                                  .zeros(20)
                                  .u4(16)  // int a, long x, Object y
                                  .u2(0)
                                  .u2(2)
                                  .u4(63).u1(2).u4(0)   // s2
                                  .u4(61).u1(10).u4(0)  // s1
                                  .u2(2)
                                  .u4(64).u1(2).u4(0x0000)   // y
                                  .u4(62).u1(11).u4(0x0012);  // x
  const std::string emptyRecord =
      Bytes().u1(0x20).u1(4).u4(520).u4(2).u4(18).u4(0).u4(0).zeros(20).u4(0).u2(0).u2(0).u2(0);
  EXPECT_EQ(bytes, std::string(4, '\0') + bRecord + emptyRecord);
  EXPECT_EQ(b->classLoaderPosition, 4u + head.size());
  EXPECT_EQ(b->signersPosition, 8u + head.size());
  EXPECT_EQ(b->protectionDomainPosition, 12u + head.size());
  EXPECT_EQ(b->staticEntriesPosition, 4u + head.size() + 20 + 4 + 4);
  // The class description's static offsets land on the values of the entries just written.
  EXPECT_EQ(bytes.substr(b->staticEntriesPosition + b->fieldOffsets[3] - 5, 5), std::string(Bytes().u4(63).u1(2)));
  EXPECT_EQ(bytes.substr(b->staticEntriesPosition + b->fieldOffsets[1] - 5, 5), std::string(Bytes().u4(61).u1(10)));
  delete b;
}

TEST(HeapRecords, TheClassReferenceRecordIsWrittenEvenEmpty) {
  ClassInfoTable none;
  File emptyFile;
  writeClassReferenceRecord(*emptyFile.writer, none);
  EXPECT_EQ(emptyFile.close(), std::string(Bytes().u1(37).u4(0).u4(0)));

  ClassInfoTable classes;
  _ClassInfo* plain = new _ClassInfo;  // no references, no interfaces: nothing
  _ClassInfo* both = new _ClassInfo;
  both->constantPoolObjects.add(40);
  both->constantPoolIndices.add(3);
  both->constantPoolObjects.add(41);
  both->constantPoolIndices.add(9);
  both->interfaceTags.add(numberedTag(1, 5));
  _ClassInfo* interfaces = new _ClassInfo;
  interfaces->interfaceTags.add(numberedTag(1, 5));
  interfaces->interfaceTags.add(numberedTag(2, 6));
  classes.add(numberedTag(1, 10), plain);
  classes.add(numberedTag(1, 11), both);
  classes.add(numberedTag(1, 12), interfaces);
  File file;
  writeClassReferenceRecord(*file.writer, classes);
  const std::string body = Bytes()
                               .u1(9).u4(11).u4(2).u4(3).u4(40).u4(9).u4(41)
                               .u1(8).u4(11).u4(1).u4(5)
                               .u1(8).u4(12).u4(2).u4(5).u4(6);
  EXPECT_EQ(file.close(), std::string(Bytes().u1(37).u4(0).u4(body.size()).raw(body)));
}

TEST(HeapRecords, ObjectIndexesComeFromTheTagOrTheAllocationRecord) {
  ObjectRecord record;
  record.snapshotNumber = 33;
  EXPECT_EQ(objectIndexOf(numberedTag(4, 7), record), 7);
  EXPECT_EQ(objectIndexOf(jlong(uint64_t(4) << 32 | 12), record), 33);  // known to allocation recording
  EXPECT_EQ(objectIndexOf(jlong(uint64_t(4) << 32), record), 0);
}

TEST(HeapRecords, AttributesTakeTheAllocationRecord) {
  ObjectRecord record;
  record.allocationTime = 1234;
  record.thread = 6;
  record.site = -321;  // a frame already
  record.objectMapId = 8;
  const jlong tag = jlong(uint64_t(9) << 32 | 15);
  const ObjectAttributes a = objectAttributesOf(tag, 48, record);
  EXPECT_EQ(a.size, 48);
  EXPECT_EQ(a.generation, 9u);
  EXPECT_EQ(a.objectMapId, 8u);
  EXPECT_TRUE(a.hasAllocation);
  EXPECT_EQ(a.thread, 6u);
  EXPECT_EQ(a.frame, 321u);
  EXPECT_EQ(a.allocationTime, 1234u);

  // Allocation data needs both a site and a thread.
  for (const auto& [thread, site] : std::vector<std::pair<uint32_t, int32_t>>{{0, -321}, {6, 0}}) {
    ObjectRecord partial = record;
    partial.thread = thread;
    partial.site = site;
    EXPECT_FALSE(objectAttributesOf(tag, 48, partial).hasAllocation) << thread << " " << site;
  }
  EXPECT_FALSE(objectAttributesOf(numberedTag(9, 3), 48, ObjectRecord{}).hasAllocation);
}

// The header's object count, patched in place: the reader finds it, and what follows goes to the end.
TEST_F(DatabaseTest, TheObjectCountReplacesTheHeaderPlaceholder) {
  File file;
  SnapshotWriter& w = *file.writer;
  writeSnapshotHeader(db, w, 0x8201, snapshotFileKind);
  w.writeObjectCount(1234567);
  Progress progress;
  w.beginSegment(agentRecordTag);
  writeDatabaseTables(held, nullptr, db, w, 1 << tableString, 0, 0, &progress, nullptr, true);
  w.endSegment();
  w.writeObjectCount(2147483647);  // while the file is longer: it still lands in the header
  const snapshotfile::Snapshot snapshot = snapshotfile::parseSnapshot(file.close());
  EXPECT_EQ(snapshot.header.oidCount, "2147483647");
  ASSERT_EQ(snapshot.tableRecords.size(), 1u);
  EXPECT_EQ(snapshot.tableRecords[0].tables.count(0), 1u);
}

namespace {

// A whole memory snapshot of a small heap through the encoders: header, string table, names, classes,
// instances, arrays and roots in segments, the end, the modified tables and the class references.
struct SmallHeap {
  static constexpr int32_t instanceCount = 40;

  explicit SmallHeap(const YCriticalSectionLock& held, int64_t segmentLimit) {
    const int32_t globalKind = getStringId("JVMTI_HEAP_ROOT_JNI_GLOBAL");
    const int32_t stackKind = getStringId("JVMTI_HEAP_ROOT_STACK_LOCAL");
    _ClassInfo* object = new _ClassInfo;
    object->nameId = uint32_t(getStringId("java.lang.Object"));
    _ClassInfo* a = new _ClassInfo;
    a->nameId = uint32_t(getStringId("A"));
    a->superclassTag = numberedTag(1, 1);
    a->fields.add(field('I', uint32_t(getStringId("count")), 0x0002));
    a->fields.add(field(0, uint32_t(getStringId("next")), 0x0002));
    a->fields.add(field('J', uint32_t(getStringId("total")), staticModifier));
    a->interfaceTags.add(numberedTag(1, 1));
    a->constantPoolObjects.add(3);
    a->constantPoolIndices.add(12);
    numberFields(*a);
    _ClassInfo* array = new _ClassInfo;
    array->nameId = uint32_t(getStringId("A[]"));
    array->isObjectArray = true;
    classes.add(numberedTag(1, 1), object);
    classes.add(numberedTag(1, 2), a);
    classes.add(numberedTag(1, 3), array);
    const int32_t objectCount = 3 + instanceCount + 2;

    SnapshotWriter& w = *file.writer;
    w.setSegmentLimit(segmentLimit);
    writeSnapshotHeader(db, w, 0x8201, snapshotFileKind);
    Progress progress;
    w.beginSegment(agentRecordTag);
    writeDatabaseTables(held, nullptr, db, w, 1 << tableString, 0, 0, &progress, nullptr, true);
    w.endSegment();
    w.writeObjectCount(objectCount);
    writeNameRecords(w, classes);
    w.beginSegment(heapSegmentTag);
    writeClassDumps(w, classes);
    ObjectAttributes attributes;
    attributes.size = 24;
    attributes.generation = 1;
    for (int32_t i = 0; i < instanceCount; i++) {
      writeInstanceDump(w, 4 + i, 2, a->instanceBlockSize, attributes);
    }
    writeObjectArrayDump(w, 4 + instanceCount, 3, 3, attributes);
    const int64_t values[] = {5, -6};
    writePrimitiveArrayDump(w, 5 + instanceCount, attributes, 'J', 2, values);
    for (int32_t i = 0; i < instanceCount; i++) writeRootRecord(w, RootRecord{4 + i, globalKind, 0, 0, 0, 0});
    writeRootRecord(w, RootRecord{4, stackKind, 1, 4, 2, 0});
    w.endSegment();
    writeHeapDumpEnd(w);
    w.beginSegment(agentRecordTag);
    writeDatabaseTables(held, nullptr, db, w, 1 << tableString, 0, 0, &progress, nullptr, true);
    w.endSegment();
    writeClassReferenceRecord(w, classes);
    bytes = file.close();
  }

  ClassInfoTable classes;
  File file;
  std::string bytes;
};

}  // namespace

TEST_F(DatabaseTest, AWholeHeapReadsBackThroughTheReader) {
  const SmallHeap heap(held, 0xFFFFFFFFLL);
  const snapshotfile::Snapshot snapshot = snapshotfile::parseSnapshot(heap.bytes);

  EXPECT_EQ(snapshot.header.oidCount, "        45");
  std::vector<std::string> names;  // per class its own field names, then its name
  for (const snapshotfile::NameText& name : snapshot.names) names.push_back(name.text);
  EXPECT_EQ(names, (std::vector<std::string>{"java.lang.Object", "count", "next", "total", "A", "A[]"}));
  ASSERT_EQ(snapshot.classLoads.size(), 3u);
  EXPECT_EQ(*snapshot.name(snapshot.classLoads[1].nameId), "A");
  EXPECT_EQ(snapshot.heap.segmentCount, 1u);
  ASSERT_EQ(snapshot.heap.classes.size(), 3u);
  const snapshotfile::ClassDump& a = snapshot.heap.classes[1];
  EXPECT_EQ(a.id, 2u);
  EXPECT_EQ(a.superId, 1u);
  EXPECT_EQ(a.instanceSize, 8u);
  ASSERT_EQ(a.statics.size(), 1u);
  EXPECT_EQ(a.statics[0].type, 11);
  EXPECT_EQ(a.loaderOffset, size_t(heap.classes.infoAt(1).classLoaderPosition));
  EXPECT_EQ(a.staticEntriesOffset, size_t(heap.classes.infoAt(1).staticEntriesPosition));
  ASSERT_EQ(snapshot.heap.instances.size(), size_t(SmallHeap::instanceCount));
  const std::vector<snapshotfile::FieldValue> fields = snapshotfile::instanceFields(snapshot, snapshot.heap.instances[0]);
  ASSERT_EQ(fields.size(), 2u);
  EXPECT_EQ(*snapshot.name(fields[0].nameId), "next");
  EXPECT_EQ(*snapshot.name(fields[1].nameId), "count");
  ASSERT_EQ(snapshot.heap.objectArrays.size(), 1u);
  EXPECT_EQ(snapshot.heap.objectArrays[0].elements, (std::vector<uint32_t>{0, 0, 0}));
  ASSERT_EQ(snapshot.heap.primitiveArrays.size(), 1u);
  EXPECT_EQ(snapshot.heap.primitiveArrays[0].elements, std::string(Bytes().u8(5).u8(uint64_t(-6))));
  ASSERT_EQ(snapshot.heap.roots.size(), size_t(SmallHeap::instanceCount + 1));
  EXPECT_TRUE(snapshot.heap.ended);
  EXPECT_EQ(snapshot.tableRecords.size(), 2u);
  ASSERT_TRUE(snapshot.classReferences);
  ASSERT_EQ(snapshot.classReferences->size(), 2u);
  EXPECT_EQ((*snapshot.classReferences)[0].constantPool, (std::vector<std::pair<uint32_t, uint32_t>>{{12, 3}}));
  EXPECT_EQ((*snapshot.classReferences)[1].interfaces, (std::vector<uint32_t>{1}));
}

// With a low limit the heap splits into many segments; every one keeps its exact length (the reader
// parses each to its end) and stays below the limit, roots included.
TEST_F(DatabaseTest, SegmentsSplitBeforeReachingTheLimit) {
  constexpr int64_t limit = 1100;
  const SmallHeap small(held, limit);
  const snapshotfile::Snapshot snapshot = snapshotfile::parseSnapshot(small.bytes);

  EXPECT_GT(snapshot.heap.segmentCount, 3u);
  size_t rootsOnly = 0;
  for (const snapshotfile::Record& record : snapshot.records) {
    if (record.tag != snapshotfile::heapSegmentTag) continue;
    EXPECT_LT(int64_t(record.length) + 4, limit);
    if (uint8_t(small.bytes[record.contentOffset]) == snapshotfile::rootKind) rootsOnly++;
  }
  EXPECT_GE(rootsOnly, 1u);  // the roots alone fill more than one segment
  EXPECT_EQ(snapshot.heap.instances.size(), size_t(SmallHeap::instanceCount));
  EXPECT_EQ(snapshot.heap.roots.size(), size_t(SmallHeap::instanceCount + 1));
  EXPECT_EQ(snapshot.records.back().tag, snapshotfile::agentTag);
  EXPECT_EQ(snapshot.records[snapshot.records.size() - 3].tag, snapshotfile::heapEndTag);

  const SmallHeap whole(held, 0xFFFFFFFFLL);  // the same sub-records, only framed differently
  EXPECT_EQ(small.bytes.size(), whole.bytes.size() + 9 * (snapshot.heap.segmentCount - 1));
}
