#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tests/jvm/AgentRun.h"
#include "tests/jvm/ProfileTables.h"
#include "tests/support/SnapshotReader.h"

// Memory snapshots of the program tests/jvm/programs/KnownHeap.java, whose heap the tests know: every
// field value, static, array element, reference and root reads back as the program set it.

namespace {

using profiletables::ProfileTables;
using snapshotfile::Snapshot;

uint64_t floatBits(float f) {
  uint32_t bits;
  std::memcpy(&bits, &f, 4);
  return bits;
}

uint64_t doubleBits(double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, 8);
  return bits;
}

// Sign-extended values come back zero-extended from their width.
uint64_t widthBits(int64_t value, int bytes) { return bytes == 8 ? uint64_t(value) : uint64_t(value) & ((1ull << (8 * bytes)) - 1); }

// What the tests ask of one parsed memory snapshot, by class and field name.
class HeapView {
 public:
  explicit HeapView(const Snapshot& snapshot)
      : snapshot(snapshot), tables([&] {
          std::vector<const profiletables::Tables*> records;
          for (const snapshotfile::TablesRecord& record : snapshot.tableRecords) records.push_back(&record.tables);
          return records;
        }()) {
    for (const snapshotfile::ClassLoad& load : snapshot.classLoads) {
      const std::string* name = snapshot.name(load.nameId);
      if (name != nullptr) classIds[*name] = load.classId;
    }
  }

  uint32_t classId(const std::string& name) const {
    const auto found = classIds.find(name);
    if (found == classIds.end()) throw std::runtime_error("no class " + name);
    return found->second;
  }

  const snapshotfile::ClassDump& classDump(const std::string& name) const {
    const snapshotfile::ClassDump* dump = snapshot.findClass(classId(name));
    if (dump == nullptr) throw std::runtime_error("no class dump of " + name);
    return *dump;
  }

  std::vector<const snapshotfile::InstanceDump*> instancesOf(const std::string& className) const {
    const uint32_t id = classId(className);
    std::vector<const snapshotfile::InstanceDump*> found;
    for (const snapshotfile::InstanceDump& instance : snapshot.heap.instances) {
      if (instance.classId == id) found.push_back(&instance);
    }
    return found;
  }

  const snapshotfile::InstanceDump& onlyInstanceOf(const std::string& className) const {
    const auto found = instancesOf(className);
    if (found.size() != 1) throw std::runtime_error(std::to_string(found.size()) + " instances of " + className);
    return *found[0];
  }

  // The value of the named field in the instance's block, declared by the class or a superclass.
  uint64_t field(const snapshotfile::InstanceDump& instance, const std::string& name) const {
    for (const snapshotfile::FieldValue& value : snapshotfile::instanceFields(snapshot, instance)) {
      const std::string* text = snapshot.name(value.nameId);
      if (text != nullptr && *text == name) return value.value;
    }
    throw std::runtime_error("no field " + name);
  }

  uint64_t staticField(const std::string& className, const std::string& name) const {
    for (const snapshotfile::StaticField& value : classDump(className).statics) {
      const std::string* text = snapshot.name(value.nameId);
      if (text != nullptr && *text == name) return value.value;
    }
    throw std::runtime_error("no static field " + className + "." + name);
  }

  // The object id a static reference of KnownHeap holds.
  uint32_t holder(const std::string& name) const { return uint32_t(staticField("KnownHeap", name)); }

  const snapshotfile::InstanceDump* instance(uint32_t id) const {
    for (const snapshotfile::InstanceDump& candidate : snapshot.heap.instances) {
      if (candidate.id == id) return &candidate;
    }
    return nullptr;
  }
  const snapshotfile::ObjectArrayDump* objectArray(uint32_t id) const {
    for (const snapshotfile::ObjectArrayDump& candidate : snapshot.heap.objectArrays) {
      if (candidate.id == id) return &candidate;
    }
    return nullptr;
  }
  const snapshotfile::PrimitiveArrayDump* primitiveArray(uint32_t id) const {
    for (const snapshotfile::PrimitiveArrayDump& candidate : snapshot.heap.primitiveArrays) {
      if (candidate.id == id) return &candidate;
    }
    return nullptr;
  }

  // The text of a java.lang.String instance (Latin-1 compact strings, as the JVM keeps ASCII ones).
  std::string stringText(uint32_t id) const {
    const snapshotfile::InstanceDump* string = instance(id);
    if (string == nullptr) return "<no instance " + std::to_string(id) + ">";
    const snapshotfile::PrimitiveArrayDump* value = primitiveArray(uint32_t(field(*string, "value")));
    return value == nullptr ? "<no value array>" : value->elements;
  }

  std::vector<snapshotfile::Root> rootsOf(uint32_t objectId, const std::string& kind) const {
    std::vector<snapshotfile::Root> found;
    for (const snapshotfile::Root& root : snapshot.heap.roots) {
      if (root.objectId == objectId && tables.text(root.kindNameId) == kind) found.push_back(root);
    }
    return found;
  }

  const Snapshot& snapshot;
  const ProfileTables tables;
  std::map<std::string, uint32_t> classIds;
};

class HeapSnapshotTest : public AgentRunTest {
 protected:
  const std::string helper = TALLYSCOPE_ALLOCATION_HELPER;
};

TEST_F(HeapSnapshotTest, AMemorySnapshotHoldsTheHeapAsTheProgramSetItAndAPerformanceSnapshotNone) {
  const fs::path memoryPath = fs::path(work.path()) / "memory.snapshot";
  const fs::path performancePath = fs::path(work.path()) / "performance.snapshot";
  const ProgramRun run = runUnderAgent({"KnownHeap", "snapshots", memoryPath.string(), performancePath.string(), helper});
  ASSERT_EQ(0, run.exitCode) << run.output;
  ASSERT_NE(std::string::npos, run.output.find("memory=null\nperformance=null\nleaving")) << run.output;
  EXPECT_TRUE(containsInOrder(logs(), {"WSN: starting " + memoryPath.string(), "WSN: generation advanced",
                                       "WSN: tables written", "WSN: starting heap...", "WSN: loaded classes: ",
                                       "WSN: tagCount=", "WSN: O+OA done", "WSN: PA done",
                                       "WSN: modified tables written", "WSN: map 1...", "WSN: map 2...",
                                       "WSN: map done", "WSN: appending done", "WSN: done",
                                       "WSN: starting " + performancePath.string(), "WSN: tables written",
                                       "WSN: heap segment closed", "WSN: map done", "WSN: done"}));
  EXPECT_EQ(std::string::npos, logs().find("WSN: write error")) << logs();

  const Snapshot performance = snapshotfile::readSnapshotFile(performancePath.string());
  EXPECT_EQ(2u, performance.records.size());
  EXPECT_EQ(0u, performance.heap.segmentCount);
  EXPECT_TRUE(performance.names.empty());
  EXPECT_FALSE(performance.classReferences.has_value());

  const Snapshot snapshot = snapshotfile::readSnapshotFile(memoryPath.string());
  const HeapView heap(snapshot);
  ASSERT_GE(snapshot.heap.segmentCount, 1u);
  EXPECT_EQ(2u, snapshot.tableRecords.size());

  // The class hierarchy, its interface constants and its instance fields through every superclass.
  EXPECT_EQ(heap.classId("KnownHeap$Middle"), heap.classDump("KnownHeap$Leaf").superId);
  EXPECT_EQ(heap.classId("KnownHeap$Base"), heap.classDump("KnownHeap$Middle").superId);
  EXPECT_EQ(heap.classId("java.lang.Object"), heap.classDump("KnownHeap$Base").superId);
  EXPECT_EQ(1234567u, heap.staticField("KnownHeap$Coded", "CODE"));
  EXPECT_EQ("coded-name", heap.stringText(uint32_t(heap.staticField("KnownHeap$Coded", "NAME"))));
  EXPECT_EQ(0x0102030405060708u, heap.staticField("KnownHeap$Marked", "MARK"));
  const snapshotfile::InstanceDump& leaf = heap.onlyInstanceOf("KnownHeap$Leaf");
  EXPECT_EQ(leaf.id, heap.holder("leaf"));
  EXPECT_EQ(uint64_t(-9876543210LL), heap.field(leaf, "leafValue"));
  EXPECT_EQ("leaf-text", heap.stringText(uint32_t(heap.field(leaf, "leafText"))));
  EXPECT_EQ(widthBits(-3, 2), heap.field(leaf, "middleValue"));
  EXPECT_EQ(11u, heap.field(leaf, "baseValue"));
  EXPECT_EQ(leaf.id, heap.field(leaf, "baseRef"));  // a reference to itself
  const snapshotfile::InstanceDump& middle = heap.onlyInstanceOf("KnownHeap$Middle");
  EXPECT_EQ(middle.id, heap.field(leaf, "middleRef"));
  EXPECT_EQ(5u, heap.field(middle, "middleValue"));
  EXPECT_EQ(0u, heap.field(middle, "middleRef"));

  // Every primitive type, in instances and in statics.
  const std::vector<const snapshotfile::InstanceDump*> primitiveHolders = heap.instancesOf("KnownHeap$Primitives");
  ASSERT_EQ(2u, primitiveHolders.size());  // the static one and the parked thread's local
  const snapshotfile::InstanceDump* primitives = heap.instance(heap.holder("primitives"));
  ASSERT_NE(nullptr, primitives);
  const struct {
    const char* name;
    uint64_t expected;
  } instanceValues[] = {{"z", 1},
                        {"b", widthBits(-7, 1)},
                        {"c", 0x20AC},
                        {"s", widthBits(-12345, 2)},
                        {"i", 0x12345678},
                        {"j", 0x1122334455667788u},
                        {"f", floatBits(1.5f)},
                        {"d", doubleBits(-2.25)}};
  for (const auto& value : instanceValues) EXPECT_EQ(value.expected, heap.field(*primitives, value.name)) << value.name;
  const struct {
    const char* name;
    uint64_t expected;
  } staticValues[] = {{"sz", 1},
                      {"sb", 99},
                      {"sc", 'Q'},
                      {"ss", widthBits(-2, 2)},
                      {"si", widthBits(-100000, 4)},
                      {"sj", uint64_t(INT64_MIN + 5)},
                      {"sf", floatBits(-0.5f)},
                      {"sd", doubleBits(1e300)},
                      {"sref", leaf.id}};
  for (const auto& value : staticValues) {
    EXPECT_EQ(value.expected, heap.staticField("KnownHeap$Statics", value.name)) << value.name;
  }

  // The cycle and the object held only by a JNI global reference.
  const std::vector<const snapshotfile::InstanceDump*> nodes = heap.instancesOf("KnownHeap$Node");
  ASSERT_EQ(3u, nodes.size());
  const snapshotfile::InstanceDump* first = heap.instance(heap.holder("cycle"));
  ASSERT_NE(nullptr, first);
  const snapshotfile::InstanceDump* second = heap.instance(uint32_t(heap.field(*first, "next")));
  ASSERT_NE(nullptr, second);
  EXPECT_EQ(1u, heap.field(*first, "id"));
  EXPECT_EQ(2u, heap.field(*second, "id"));
  EXPECT_EQ(first->id, heap.field(*second, "next"));
  const snapshotfile::InstanceDump* global = nullptr;
  for (const snapshotfile::InstanceDump* node : nodes) {
    if (heap.field(*node, "id") == 4242) global = node;
  }
  ASSERT_NE(nullptr, global);
  EXPECT_FALSE(heap.rootsOf(global->id, "JVMTI_HEAP_ROOT_JNI_GLOBAL").empty());

  // Object arrays: their elements, a null among them, and their class.
  const snapshotfile::ObjectArrayDump* objects = heap.objectArray(heap.holder("objects"));
  ASSERT_NE(nullptr, objects);
  EXPECT_EQ(heap.classId("java.lang.Object[]"), objects->classId);
  ASSERT_EQ(5u, objects->elements.size());
  EXPECT_EQ(leaf.id, objects->elements[0]);
  EXPECT_EQ(primitives->id, objects->elements[1]);
  EXPECT_EQ(0u, objects->elements[2]);
  EXPECT_EQ(heap.holder("ints"), objects->elements[3]);
  EXPECT_EQ("element-text", heap.stringText(objects->elements[4]));
  const snapshotfile::ObjectArrayDump* leaves = heap.objectArray(heap.holder("leaves"));
  ASSERT_NE(nullptr, leaves);
  EXPECT_EQ(heap.classId("KnownHeap$Leaf[]"), leaves->classId);
  EXPECT_EQ(std::vector<uint32_t>({leaf.id, 0u}), leaves->elements);

  // Primitive arrays of every type, each element big-endian.
  const struct {
    const char* holder;
    uint8_t type;
    uint32_t length;
    std::string elements;
  } arrays[] = {{"booleans", 4, 3, std::string("\1\0\1", 3)},
                {"bytes", 8, 3, std::string("\x01\xFF\x7F", 3)},
                {"chars", 5, 2, std::string("\0a\xFF\xFF", 4)},
                {"shorts", 9, 2, std::string("\x80\x00\x7F\xFF", 4)},
                {"ints", 10, 3, std::string("\0\0\0\1\xFF\xFF\xFF\xFE\0\0\0\3", 12)},
                {"longs", 11, 2, std::string("\x7F\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF", 16)},
                {"floats", 6, 2, std::string("\x80\0\0\0\x40\x50\0\0", 8)},
                {"doubles", 7, 1, std::string("\x40\x09\x21\xFB\x54\x44\x2D\x18", 8)}};
  for (const auto& expected : arrays) {
    const snapshotfile::PrimitiveArrayDump* array = heap.primitiveArray(heap.holder(expected.holder));
    ASSERT_NE(nullptr, array) << expected.holder;
    EXPECT_EQ(expected.type, array->type) << expected.holder;
    EXPECT_EQ(expected.length, array->length) << expected.holder;
    EXPECT_EQ(expected.elements, array->elements) << expected.holder;
  }

  // The parked thread's local: a stack root in the frame of the method that holds it, by its name.
  const snapshotfile::InstanceDump* local = primitiveHolders[0] == primitives ? primitiveHolders[1] : primitiveHolders[0];
  EXPECT_EQ(777u, heap.field(*local, "i"));
  const std::vector<snapshotfile::Root> stackRoots = heap.rootsOf(local->id, "JVMTI_HEAP_ROOT_STACK_LOCAL");
  ASSERT_EQ(1u, stackRoots.size());
  const snapshotfile::Root& root = stackRoots[0];
  EXPECT_EQ(heap.tables.threadSequence("known-parked"), int32_t(root.thread));
  EXPECT_NE(0u, root.threadObjectId);
  EXPECT_EQ("KnownHeap.parkAndHold", heap.tables.methodOf(int32_t(root.frame)));
  EXPECT_EQ("heldLocal", heap.tables.text(root.localNameId));
  EXPECT_FALSE(heap.rootsOf(root.threadObjectId, "JVMTI_HEAP_ROOT_THREAD").empty());

  // The appended record: the interfaces each class implements itself, and the classes the constant
  // pool of the program's class resolved.
  ASSERT_TRUE(snapshot.classReferences.has_value());
  std::map<std::pair<uint32_t, uint8_t>, const snapshotfile::ClassReferences*> references;
  for (const snapshotfile::ClassReferences& entry : *snapshot.classReferences) references[{entry.classId, entry.kind}] = &entry;
  const auto interfacesOf = [&](const std::string& name) {
    const auto found = references.find({heap.classId(name), snapshotfile::interfacesKind});
    return found == references.end() ? std::vector<uint32_t>() : found->second->interfaces;
  };
  EXPECT_EQ(std::vector<uint32_t>({heap.classId("KnownHeap$Marked")}), interfacesOf("KnownHeap$Base"));
  EXPECT_EQ(std::vector<uint32_t>({heap.classId("KnownHeap$Coded")}), interfacesOf("KnownHeap$Marked"));
  EXPECT_TRUE(interfacesOf("KnownHeap$Leaf").empty());
  const auto pool = references.find({heap.classId("KnownHeap"), snapshotfile::constantPoolKind});
  ASSERT_NE(references.end(), pool);
  bool leafClassInPool = false;
  for (const auto& [index, object] : pool->second->constantPool) leafClassInPool |= object == heap.classId("KnownHeap$Leaf");
  EXPECT_TRUE(leafClassInPool);
}

// While allocations are recorded with their stacks, the snapshot on exit is a memory snapshot, and the
// objects that allocation recording knows carry their thread and allocation frame.
TEST_F(HeapSnapshotTest, TheSnapshotOnExitWhileAllocationsAreRecordedHoldsTheHeap) {
  const ProgramRun run = runUnderAgent({"KnownHeap", "exit"}, "alloceach=1,dir=" + snapshotDir().string());
  ASSERT_EQ(0, run.exitCode) << run.output;
  const Snapshot snapshot = onlySnapshot();
  const HeapView heap(snapshot);
  ASSERT_GE(snapshot.heap.segmentCount, 1u);
  EXPECT_TRUE(snapshot.classReferences.has_value());
  const snapshotfile::InstanceDump& leaf = heap.onlyInstanceOf("KnownHeap$Leaf");
  EXPECT_EQ(uint64_t(-9876543210LL), heap.field(leaf, "leafValue"));
  int allocated = 0;
  for (const snapshotfile::InstanceDump& instance : snapshot.heap.instances) {
    if ((instance.attributes.flags & 2) == 0) continue;
    allocated++;
    EXPECT_NE(0u, instance.attributes.thread);
    EXPECT_NE("<no frame " + std::to_string(instance.attributes.frame) + ">",
              heap.tables.methodOf(int32_t(instance.attributes.frame)));
  }
  EXPECT_GT(allocated, 0);
}

}  // namespace
