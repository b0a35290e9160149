#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/jvm/AgentRun.h"
#include "tests/jvm/ProfileTables.h"
#include "tests/jvm/SmallDevice.h"
#include "tests/support/FloatBits.h"
#include "tests/support/SnapshotReader.h"

// Memory snapshots of the program tests/jvm/programs/KnownHeap.java, whose heap the tests know: every
// field value, static, array element, reference and root reads back as the program set it, and the
// instances per class are those the JVM counts. Snapshots of tests/jvm/programs/ChurningHeap.java are
// taken while its threads change the heap.

namespace {

using profiletables::ProfileTables;
using snapshotfile::Snapshot;

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

// Instances per class in the JVM's own histogram's names: "[I" for int[], "[[Ljava.lang.String;" for
// String[][], other classes by their dotted names.
using ClassCounts = std::map<std::string, int64_t>;

// The name the JVM's histogram gives the class that the snapshot names `name` ("int[][]" and the like).
std::string histogramName(std::string name) {
  std::string dimensions;
  while (name.size() > 2 && name.compare(name.size() - 2, 2, "[]") == 0) {
    name.resize(name.size() - 2);
    dimensions += '[';
  }
  if (dimensions.empty()) return name;
  static const std::map<std::string, std::string> primitives{{"boolean", "Z"}, {"byte", "B"}, {"char", "C"},
                                                             {"short", "S"},   {"int", "I"},  {"long", "J"},
                                                             {"float", "F"},   {"double", "D"}};
  const auto primitive = primitives.find(name);
  return dimensions + (primitive != primitives.end() ? primitive->second : "L" + name + ";");
}

// The snapshot's INSTANCE records per class, object arrays by their array class and primitive arrays by
// their element type.
ClassCounts snapshotCounts(const Snapshot& snapshot) {
  std::map<uint32_t, std::string> names;
  for (const snapshotfile::ClassLoad& load : snapshot.classLoads) {
    const std::string* name = snapshot.name(load.nameId);
    names[load.classId] = name == nullptr ? "<unnamed " + std::to_string(load.classId) + ">" : histogramName(*name);
  }
  ClassCounts counts;
  for (const snapshotfile::InstanceDump& instance : snapshot.heap.instances) counts[names[instance.classId]]++;
  for (const snapshotfile::ObjectArrayDump& array : snapshot.heap.objectArrays) counts[names[array.classId]]++;
  static const std::map<uint8_t, std::string> primitiveArrays{{4, "[Z"}, {5, "[C"}, {6, "[F"}, {7, "[D"},
                                                              {8, "[B"}, {9, "[S"}, {10, "[I"}, {11, "[J"}};
  for (const snapshotfile::PrimitiveArrayDump& array : snapshot.heap.primitiveArrays) {
    counts[primitiveArrays.at(array.type)]++;
  }
  return counts;
}

// "jcmd <pid> GC.class_histogram -all": every object, the unreachable ones too, without a collection.
// Its rows read "<rank>: <instances> <bytes> <class name> (<module>)".
ClassCounts jvmHistogram(pid_t pid, const std::string& outputPath) {
  const ProgramRun run = runProgram({TALLYSCOPE_JCMD, std::to_string(pid), "GC.class_histogram", "-all"}, outputPath);
  if (run.exitCode != 0) throw std::runtime_error("jcmd failed: " + run.output);
  ClassCounts counts;
  std::istringstream lines(run.output);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string rank, name;
    int64_t instances = 0, bytes = 0;
    if (!(fields >> rank >> instances >> bytes >> name) || rank.empty() || rank.back() != ':') continue;
    // A hidden class's name ends in "/0x<address>" here, ".0x<address>" in its JVMTI signature.
    const size_t hidden = name.rfind("/0x");
    if (hidden != std::string::npos) name[hidden] = '.';
    counts[name] += instances;
  }
  if (counts.empty()) throw std::runtime_error("no histogram in: " + run.output);
  return counts;
}

class HeapSnapshotTest : public AgentRunTest {
 protected:
  const std::string helper = TALLYSCOPE_ALLOCATION_HELPER;

  // The command runUnderAgent runs, for a child that the test talks to while it runs.
  std::vector<std::string> agentCommand(const std::vector<std::string>& programAndArguments,
                                        const std::string& extra = "") const {
    std::vector<std::string> command{java, "-agentpath:" + library + "=" + optionsWith(extra), "-cp", programs};
    command.insert(command.end(), programAndArguments.begin(), programAndArguments.end());
    return command;
  }

  // Waits until the child has written `text`; false if it has not within a minute.
  static bool awaitOutput(const ChildProcess& child, const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (child.output().find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }
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

// The snapshot is taken between two histograms of the parked program. Without a collection in between,
// a class whose count the two agree on had no instance made meanwhile, so the snapshot must show exactly
// that count. What the capture itself, jcmd's attaching and the program's waiting make differs between
// the two histograms and is left out.
TEST_F(HeapSnapshotTest, InstanceCountsPerClassEqualTheJvmsHistogramOfTheParkedProgram) {
  const fs::path memoryPath = fs::path(work.path()) / "memory.snapshot";
  const fs::path gate = fs::path(work.path()) / "gate";
  fs::create_directories(gate);
  ChildProcess child(agentCommand({"KnownHeap", "counts", memoryPath.string(), gate.string(), helper}),
                     nextOutputPath());
  ASSERT_TRUE(awaitOutput(child, "built\n")) << child.output();
  const ClassCounts before = jvmHistogram(child.id(), nextOutputPath());
  writeWhole(gate / "snapshot", "");
  ASSERT_TRUE(awaitOutput(child, "captured\n")) << child.output();
  const ClassCounts after = jvmHistogram(child.id(), nextOutputPath());
  writeWhole(gate / "leave", "");
  ASSERT_EQ(0, child.wait()) << child.output();
  ASSERT_NE(std::string::npos, child.output().find("memory=null\ncaptured\nleaving")) << child.output();

  const ClassCounts inSnapshot = snapshotCounts(snapshotfile::readSnapshotFile(memoryPath.string()));
  ClassCounts compared;
  for (const auto& [name, count] : before) {
    const auto later = after.find(name);
    if (later == after.end() || later->second != count) continue;
    // Class objects are CLASS DUMP records, not instances.
    if (name == "java.lang.Class") continue;
    const auto found = inSnapshot.find(name);
    const int64_t snapshotCount = found == inSnapshot.end() ? 0 : found->second;
    EXPECT_EQ(count, snapshotCount) << name;
    compared[name] = count;
  }
  // Nor does the snapshot hold instances of a class that neither histogram has.
  for (const auto& [name, count] : inSnapshot) {
    if (before.count(name) == 0 && after.count(name) == 0) {
      ADD_FAILURE() << count << " instances of " << name << " that the JVM does not count";
    }
  }
  // The program's own classes, in the numbers it made, and JDK classes the parked program leaves alone.
  const std::pair<const char*, int64_t> known[] = {{"KnownHeap$Leaf", 1},      {"KnownHeap$Middle", 1},
                                                   {"KnownHeap$Primitives", 2}, {"KnownHeap$Node", 3},
                                                   {"[LKnownHeap$Leaf;", 1},    {"java.util.TreeMap$Entry", 500}};
  for (const auto& [name, count] : known) {
    const auto found = compared.find(name);
    EXPECT_TRUE(found != compared.end() && found->second == count) << name;
  }
  for (const char* name : {"java.lang.Thread", "java.lang.Integer", "java.lang.Module", "[Ljava.lang.String;", "[J"}) {
    EXPECT_EQ(1u, compared.count(name)) << name << " changed while parked";
  }
  EXPECT_GT(compared.size(), 150u);
}

// The object ids that a snapshot's references name and that no record of the snapshot dumps.
std::vector<std::string> danglingReferences(const Snapshot& snapshot) {
  std::set<uint32_t> dumped;
  for (const snapshotfile::ClassDump& dump : snapshot.heap.classes) dumped.insert(dump.id);
  for (const snapshotfile::InstanceDump& dump : snapshot.heap.instances) dumped.insert(dump.id);
  for (const snapshotfile::ObjectArrayDump& dump : snapshot.heap.objectArrays) dumped.insert(dump.id);
  for (const snapshotfile::PrimitiveArrayDump& dump : snapshot.heap.primitiveArrays) dumped.insert(dump.id);
  std::vector<std::string> dangling;
  const auto check = [&](uint64_t id, const std::string& where) {
    if (id != 0 && dumped.count(uint32_t(id)) == 0) dangling.push_back(where + " -> " + std::to_string(id));
  };
  for (const snapshotfile::InstanceDump& dump : snapshot.heap.instances) {
    for (const snapshotfile::FieldValue& value : snapshotfile::instanceFields(snapshot, dump)) {
      if (value.type == snapshotfile::objectType) check(value.value, "a field of instance " + std::to_string(dump.id));
    }
  }
  for (const snapshotfile::ObjectArrayDump& dump : snapshot.heap.objectArrays) {
    for (const uint32_t element : dump.elements) check(element, "an element of array " + std::to_string(dump.id));
  }
  for (const snapshotfile::ClassDump& dump : snapshot.heap.classes) {
    for (const snapshotfile::StaticField& value : dump.statics) {
      if (value.type == snapshotfile::objectType) check(value.value, "a static of class " + std::to_string(dump.id));
    }
  }
  return dangling;
}

// Snapshots taken while eight threads allocate and relink a ring of nodes: the application's threads are
// suspended for each, so every snapshot is one heap whose references all resolve; the program runs on.
TEST_F(HeapSnapshotTest, SnapshotsTakenWhileThreadsAllocateAndRelinkAreWholeAndTheProgramRunsOn) {
  constexpr int count = 20;
  const fs::path prefix = fs::path(work.path()) / "churn.snapshot.";
  // A small young generation collects often, so that the unreachable nodes, which snapshots keep too, do
  // not pile up between them.
  const ProgramRun run =
      runUnderAgent({"ChurningHeap", std::to_string(count), prefix.string()}, "", {"-Xmx64m", "-Xmn8m"});
  ASSERT_EQ(0, run.exitCode) << run.output;
  EXPECT_NE(std::string::npos, run.output.find("ring whole after ")) << run.output;
  for (int i = 0; i < count; i++) {
    SCOPED_TRACE("snapshot " + std::to_string(i));
    EXPECT_NE(std::string::npos, run.output.find("snapshot " + std::to_string(i) + "=null\n")) << run.output;
    const Snapshot snapshot = snapshotfile::readSnapshotFile(prefix.string() + std::to_string(i));
    ASSERT_GE(snapshot.heap.segmentCount, 1u);
    EXPECT_TRUE(snapshot.classReferences.has_value());
    const HeapView heap(snapshot);
    EXPECT_GT(heap.instancesOf("ChurningHeap$Node").size(), 1u);
    const std::vector<std::string> dangling = danglingReferences(snapshot);
    EXPECT_TRUE(dangling.empty()) << dangling.size() << " dangling, the first " << dangling.front();
  }
}

// What a failed memory snapshot leaves: the reason the Java side gets, and the file deleted unless
// "_keep_broken" is given. Each case is one run of the program, its command after `wrapper`.
class BrokenSnapshotTest : public HeapSnapshotTest {
 protected:
  struct Outcome {
    std::string line;  // what the program printed about the snapshot
    std::string log;   // the run's part of the agent's logs
  };

  Outcome runBroken(const std::vector<std::string>& wrapper, const fs::path& target, bool keep,
                    rlim_t fileSizeLimit = RLIM_INFINITY) {
    std::vector<std::string> command = wrapper;
    const std::vector<std::string> program =
        agentCommand({"KnownHeap", "broken", target.string()}, keep ? "_keep_broken" : "");
    command.insert(command.end(), program.begin(), program.end());
    const size_t logged = logs().size();
    // The child inherits the limit; the JVM's handler of the signal that a write past it raises lets
    // the write fail with EFBIG instead of ending the process.
    rlimit saved{};
    if (getrlimit(RLIMIT_FSIZE, &saved) != 0) throw std::runtime_error("getrlimit failed");
    rlimit limited = saved;
    limited.rlim_cur = fileSizeLimit;
    if (setrlimit(RLIMIT_FSIZE, &limited) != 0) throw std::runtime_error("setrlimit failed");
    std::unique_ptr<ChildProcess> child;
    try {
      child = std::make_unique<ChildProcess>(command, nextOutputPath());
    } catch (...) {
      setrlimit(RLIMIT_FSIZE, &saved);
      throw;
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    EXPECT_EQ(0, child->wait()) << child->output();
    const std::string output = child->output();
    const size_t at = output.find(target.string() + ": ");
    const std::string line = at == std::string::npos ? output : output.substr(at, output.find('\n', at) - at);
    return {line, logs().substr(logged)};
  }

  static void expectBroken(const Outcome& outcome, const fs::path& target, bool keep, const std::string& reason,
                           uint64_t keptLength) {
    const std::string left = keep ? " exists=true length=" + std::to_string(keptLength) : " exists=false length=0";
    EXPECT_EQ(target.string() + ": result=" + reason + left, outcome.line);
    EXPECT_TRUE(containsInOrder(outcome.log, {"WSN: starting " + target.string(), "WSN: write error: " + reason}));
    const std::string deleted = "deleting broken snapshot file " + target.string() + " - OK";
    EXPECT_EQ(!keep, outcome.log.find(deleted) != std::string::npos) << outcome.log;
  }
};

TEST_F(BrokenSnapshotTest, AWritePastTheFileSizeLimitDeletesTheFileUnlessKept) {
  // Below the memory snapshot's size, above what the JVM and the agent write elsewhere.
  constexpr rlim_t limit = 1024 * 1024;
  for (const bool keep : {false, true}) {
    SCOPED_TRACE(keep ? "kept" : "deleted");
    const fs::path target = fs::path(work.path()) / (keep ? "kept.snapshot" : "deleted.snapshot");
    expectBroken(runBroken({}, target, keep, limit), target, keep, "File too large", limit);
    EXPECT_EQ(keep, fs::exists(target));
  }
}

// A full file system (SmallDevice.h).
TEST_F(BrokenSnapshotTest, AWriteToAFullDeviceDeletesTheFileUnlessKept) {
  constexpr uint64_t deviceSize = 1024 * 1024;  // below the memory snapshot's size, as for the limit above
  const fs::path mountPoint = fs::path(work.path()) / "full";
  fs::create_directories(mountPoint);
  const std::string refusal = smallDeviceRefusal(mountPoint, nextOutputPath());
  if (!refusal.empty()) GTEST_SKIP() << refusal;
  const std::vector<std::string> mounted = onSmallDevice(mountPoint, deviceSize);
  for (const bool keep : {false, true}) {
    SCOPED_TRACE(keep ? "kept" : "deleted");
    const fs::path target = mountPoint / "memory.snapshot";
    expectBroken(runBroken(mounted, target, keep), target, keep, "No space left on device", deviceSize);
  }
}

}  // namespace
