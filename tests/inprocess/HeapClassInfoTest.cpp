#include <gtest/gtest.h>
#include <jvmti.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "agent/heap/ClassInfo.h"
#include "agent/heap/FieldValueFiller.h"
#include "agent/heap/FileMemoryMapper.h"
#include "tests/inprocess/JvmDatabaseTest.h"
#include "tests/support/FloatBits.h"
#include "tests/support/TempDir.h"

// The class descriptions and the value filling against the JVM's own heap walk, on the fixture
// tests/inprocess/java/HeapShapes.java. The tests tag on a JVMTI environment of their own, so no other
// test's tags are seen or disturbed.

namespace {

const char* const fixtureClasses[] = {"HeapShapes", "HeapShapesMiddle", "HeapShapesBase", "HeapShapesI0",
                                      "HeapShapesI1", "HeapShapesI2", "java/lang/Class"};

jvmtiEnv* taggingEnvironment() {
  static jvmtiEnv* jvmti = [] {
    jvmtiEnv* env = nullptr;
    if (inProcessJvm()->GetEnv(reinterpret_cast<void**>(&env), JVMTI_VERSION_1_1) != JNI_OK) return env;
    jvmtiCapabilities capabilities{};
    capabilities.can_tag_objects = 1;
    if (env->AddCapabilities(&capabilities) != JVMTI_ERROR_NONE) env = nullptr;
    return env;
  }();
  return jvmti;
}

struct Report {
  jlong referrerTag;
  jvmtiHeapReferenceKind kind;
  jint index;
  bool primitive;
  uint64_t value;  // the primitive's bits, or the referee's tag
};

struct Walk {
  std::map<jlong, int> followed;  // tags whose references are followed
  std::vector<Report> reports;
};

jint JNICALL recordReference(jvmtiHeapReferenceKind kind, const jvmtiHeapReferenceInfo* info, jlong, jlong,
                             jlong, jlong* tagPointer, jlong* referrerTagPointer, jint, void* userData) {
  auto& walk = *static_cast<Walk*>(userData);
  if ((kind == JVMTI_HEAP_REFERENCE_FIELD || kind == JVMTI_HEAP_REFERENCE_STATIC_FIELD) &&
      referrerTagPointer != nullptr && walk.followed.count(*referrerTagPointer) != 0) {
    walk.reports.push_back({*referrerTagPointer, kind, info->field.index, false, uint64_t(*tagPointer)});
  }
  return walk.followed.count(*tagPointer) != 0 ? JVMTI_VISIT_OBJECTS : 0;
}

jint JNICALL recordPrimitive(jvmtiHeapReferenceKind kind, const jvmtiHeapReferenceInfo* info, jlong,
                             jlong* tagPointer, jvalue value, jvmtiPrimitiveType type, void* userData) {
  auto& walk = *static_cast<Walk*>(userData);
  if (walk.followed.count(*tagPointer) != 0) {
    walk.reports.push_back({*tagPointer, kind, info->field.index, true, primitiveValueBits(value, type)});
  }
  return JVMTI_VISIT_OBJECTS;
}

class HeapClassInfoTest : public JvmDatabaseTest {
 protected:
  jvmtiEnv* jvmti = nullptr;
  std::map<std::string, jclass> classes;
  std::map<std::string, jlong> classTags;
  jobject instance = nullptr;
  jlong instanceTag = 1;
  std::map<jlong, std::string> refereeNames;  // tag of each referenced fixture object -> "Class.field"
  std::vector<jobject> tagged;

  void SetUp() override {
    JvmDatabaseTest::SetUp();
    jvmti = taggingEnvironment();
    ASSERT_NE(jvmti, nullptr);
    jlong tag = 100;
    for (const char* name : fixtureClasses) {
      jclass klass = env->FindClass(name);
      ASSERT_NE(klass, nullptr) << name;
      classes[name] = klass;
      classTags[name] = tag;
      tagObject(klass, tag++);
    }
    jclass shapes = classes["HeapShapes"];
    instance = env->GetStaticObjectField(shapes, env->GetStaticFieldID(shapes, "instance", "LHeapShapes;"));
    ASSERT_NE(instance, nullptr);
    tagObject(instance, instanceTag);
    refereeNames[instanceTag] = "HeapShapes.instance";
    tag = 1000;
    tagReferee(instance, "HeapShapes", "o", "Ljava/lang/Object;", false, tag++);
    tagReferee(instance, "HeapShapes", "arr", "[I", false, tag++);
    tagReferee(instance, "HeapShapesBase", "baseRef", "Ljava/lang/Object;", false, tag++);
    tagReferee(nullptr, "HeapShapes", "so", "Ljava/lang/Object;", true, tag++);
    tagReferee(nullptr, "HeapShapesBase", "baseStaticRef", "Ljava/lang/Object;", true, tag++);
  }

  void TearDown() override {
    for (jobject object : tagged) jvmti->SetTag(object, 0);
    JvmDatabaseTest::TearDown();
  }

  void tagObject(jobject object, jlong tag) {
    ASSERT_EQ(jvmti->SetTag(object, tag), JVMTI_ERROR_NONE);
    tagged.push_back(object);
  }

  void tagReferee(jobject holder, const std::string& className, const char* field, const char* signature,
                  bool isStatic, jlong tag) {
    jclass klass = classes[className];
    jobject value = isStatic ? env->GetStaticObjectField(klass, env->GetStaticFieldID(klass, field, signature))
                             : env->GetObjectField(holder, env->GetFieldID(klass, field, signature));
    ASSERT_NE(value, nullptr) << field;
    tagObject(value, tag);
    refereeNames[tag] = className + "." + field;
  }

  std::unique_ptr<_ClassInfo> describe(const std::string& name) {
    return std::unique_ptr<_ClassInfo>(describeClass(jvmti, env, classes[name]));
  }

  std::string classNameOfTag(jlong tag) const {
    for (const auto& entry : classTags) {
      if (entry.second == tag) return entry.first;
    }
    return "";
  }

  // Follows the references of the instance and of the fixture classes only, recording every field
  // value JVMTI reports for them.
  Walk walkFixture() {
    Walk walk;
    walk.followed[instanceTag] = 1;
    for (const auto& entry : classTags) {
      if (entry.first != "java/lang/Class") walk.followed[entry.second] = 1;
    }
    jvmtiHeapCallbacks callbacks{};
    callbacks.heap_reference_callback = recordReference;
    callbacks.primitive_field_callback = recordPrimitive;
    EXPECT_EQ(jvmti->FollowReferences(0, nullptr, instance, &callbacks, &walk), JVMTI_ERROR_NONE);
    return walk;
  }
};

// The value each fixture field was given, by "Class.field": primitive bits, or for references the tag of
// the referenced object.
std::map<std::string, uint64_t> expectedValues() {
  return {
      {"HeapShapes.z", 1},
      {"HeapShapes.b", uint64_t(int64_t(-3))},
      {"HeapShapes.c", 0xFFFE},
      {"HeapShapes.s", uint64_t(int64_t(-4))},
      {"HeapShapes.i", uint64_t(int64_t(-5))},
      {"HeapShapes.f", floatBits(1.5f)},
      {"HeapShapes.j", uint64_t(int64_t(-6))},
      {"HeapShapes.d", doubleBits(-2.25)},
      {"HeapShapes.zero", 0},
      {"HeapShapes.sz", 1},
      {"HeapShapes.sb", uint64_t(int64_t(-7))},
      {"HeapShapes.sc", 'x'},
      {"HeapShapes.ss", uint64_t(int64_t(-8))},
      {"HeapShapes.si", uint64_t(int64_t(-1))},
      {"HeapShapes.sf", floatBits(-0.5f)},
      {"HeapShapes.sj", 0x0102030405060708ull},
      {"HeapShapes.sd", doubleBits(3.75)},
      {"HeapShapes.zeroStatic", 0},
      {"HeapShapesMiddle.middleLong", 201},
      {"HeapShapesMiddle.middleStatic", 202},
      {"HeapShapesBase.baseInt", 101},
      {"HeapShapesBase.baseStatic", 102},
      {"HeapShapesI0.I0_A", 10},
      {"HeapShapesI2.I2_B", 20},
      {"HeapShapesI1.I1_C", 30},
  };
}

// The instance's fields may come from a superclass: the name is that of the declaring class.
std::string declaringName(const std::string& className, const std::string& field) {
  static const std::map<std::string, std::string> inherited = {
      {"middleLong", "HeapShapesMiddle"}, {"baseInt", "HeapShapesBase"}, {"baseRef", "HeapShapesBase"}};
  auto found = inherited.find(field);
  return (found != inherited.end() ? found->second : className) + "." + field;
}

TEST_F(HeapClassInfoTest, FieldIndicesAreThoseThatFollowReferencesReports) {
  std::map<jlong, std::unique_ptr<_ClassInfo>> infos;
  infos[instanceTag] = describe("HeapShapes");
  for (const auto& entry : classTags) infos[entry.second] = describe(entry.first);

  const Walk walk = walkFixture();
  const std::map<std::string, uint64_t> expected = expectedValues();
  std::map<std::string, int> seen;
  for (const Report& report : walk.reports) {
    const _ClassInfo& info = *infos[report.referrerTag];
    const std::string owner = report.referrerTag == instanceTag ? "HeapShapes" : classNameOfTag(report.referrerTag);
    ASSERT_GE(report.index, 0);
    ASSERT_LT(report.index, info.fieldCount()) << owner;
    const _FieldInfo& field = *info.fields[report.index];
    const std::string fieldName = fieldNameText(field).data;
    const std::string name =
        report.referrerTag == instanceTag ? declaringName(owner, fieldName) : owner + "." + fieldName;
    SCOPED_TRACE(name + " at index " + std::to_string(report.index));
    EXPECT_EQ(field.isStatic(), report.kind == JVMTI_HEAP_REFERENCE_STATIC_FIELD);
    EXPECT_EQ(field.isPrimitive(), report.primitive);
    if (report.primitive) {
      ASSERT_TRUE(expected.count(name)) << "unexpected primitive field";
      EXPECT_EQ(report.value, expected.at(name));
    } else if (refereeNames.count(jlong(report.value)) != 0) {
      EXPECT_EQ(refereeNames.at(jlong(report.value)), name);
    }
    seen[name]++;
  }
  // Every non-zero value of the instance and its class was reported, each once.
  for (const char* name : {"HeapShapes.z", "HeapShapes.j", "HeapShapes.d", "HeapShapes.sj", "HeapShapes.si",
                           "HeapShapesMiddle.middleLong", "HeapShapesBase.baseInt", "HeapShapes.o",
                           "HeapShapes.so", "HeapShapesBase.baseRef", "HeapShapesI1.I1_C"}) {
    EXPECT_EQ(seen[name], 1) << name;
  }

  // Interfaces first, each once although HeapShapesI0 is reached twice, then the superclass chain.
  const _ClassInfo& shapes = *infos[instanceTag];
  std::vector<std::string> order;
  for (int32_t i = 0; i < shapes.firstOwnField; i++) order.push_back(fieldNameText(*shapes.fields[i]).data);
  EXPECT_EQ(order, (std::vector<std::string>{"I0_A", "I0_OBJ", "I2_B", "I1_C", "baseStatic", "baseStaticRef",
                                             "baseInt", "baseRef", "middleLong", "middleStatic"}));
}

TEST_F(HeapClassInfoTest, DescriptionOfKindsNamesAndSupertypes) {
  const auto shapes = describe("HeapShapes");
  EXPECT_EQ(std::string(classNameText(*shapes).data), "HeapShapes");
  EXPECT_EQ(shapes->superclassTag, classTags["HeapShapesMiddle"]);
  EXPECT_EQ(std::vector<int64_t>(shapes->interfaceTags.data, shapes->interfaceTags.data + shapes->interfaceTags.size),
            std::vector<int64_t>{classTags["HeapShapesI1"]});
  EXPECT_FALSE(shapes->isClassClass || shapes->isObjectArray || shapes->isPrimitiveArray);
  EXPECT_GT(shapes->objectSize, 0);
  // Own instance fields z b c s i f j d o arr nothing zero, and the inherited middleLong, baseInt, baseRef.
  EXPECT_EQ(shapes->instanceBlockSize, 1 + 1 + 2 + 2 + 4 + 4 + 8 + 8 + 4 + 4 + 4 + 4 + 8 + 4 + 4);
  EXPECT_EQ(shapes->instanceReferenceCount, 4);
  EXPECT_EQ(shapes->staticReferenceCount, 4);  // so, instance, baseStaticRef, I0_OBJ

  EXPECT_TRUE(describe("java/lang/Class")->isClassClass);

  struct ArrayCase {
    const char* signature;
    const char* name;
    bool objectArray;
    int32_t elementSize;
  };
  for (const ArrayCase& c : {ArrayCase{"[J", "long[]", false, 8}, ArrayCase{"[Z", "boolean[]", false, 1},
                             ArrayCase{"[C", "char[]", false, 2}, ArrayCase{"[Ljava/lang/String;", "java.lang.String[]", true, 0},
                             ArrayCase{"[[I", "int[][]", true, 0}}) {
    SCOPED_TRACE(c.signature);
    jclass klass = env->FindClass(c.signature);
    ASSERT_NE(klass, nullptr);
    std::unique_ptr<_ClassInfo> info(describeClass(jvmti, env, klass));
    EXPECT_EQ(std::string(classNameText(*info).data), c.name);
    EXPECT_EQ(info->isObjectArray, c.objectArray);
    EXPECT_EQ(info->isPrimitiveArray, !c.objectArray);
    EXPECT_EQ(info->elementSize, c.elementSize);
    EXPECT_EQ(info->fieldCount(), 0);
    EXPECT_EQ(info->instanceBlockSize, 0);
  }
}

int32_t indexOfTestTag(jlong tag) {
  // The instance is 1, the fixture classes 100 and up (indices 2 ..), the referees 1000 and up.
  if (tag == 1) return 1;
  if (tag >= 100 && tag < 100 + jlong(std::size(fixtureClasses))) return int32_t(tag - 100 + 2);
  if (tag >= 1000 && tag < 1010) return int32_t(tag - 1000 + 20);
  return 0;
}

uint64_t readBigEndian(const std::vector<unsigned char>& bytes, uint64_t at, int32_t width) {
  uint64_t value = 0;
  for (int32_t i = 0; i < width; i++) value = (value << 8) | bytes.at(at + i);
  return value;
}

TEST_F(HeapClassInfoTest, FillPassesWriteEveryFieldAndStaticAsTheProgramSetIt) {
  TempDir directory;
  const std::string path = directory.pathOf("heap.bin");
  constexpr int32_t fileSize = 16384;
  {
    std::ofstream out(path, std::ios::binary);
    out << std::string(fileSize, '\0');
  }
  ClassInfoTable table;
  uint64_t staticsAt = 8192;
  std::map<std::string, uint64_t> staticEntries;
  for (const auto& entry : classTags) {
    _ClassInfo* info = describe(entry.first).release();
    info->staticEntriesPosition = staticsAt;
    info->classLoaderPosition = staticsAt - 12;
    info->signersPosition = staticsAt - 8;
    info->protectionDomainPosition = staticsAt - 4;
    staticEntries[entry.first] = staticsAt;
    staticsAt += 512;
    table.add(entry.second, info);
  }
  constexpr uint64_t blockAt = 1000;
  uint64_t positions[32] = {};
  uint32_t lengths[32] = {};
  positions[1] = blockAt;
  lengths[1] = uint32_t(-1);

  int32_t progress = 0;
  {
    FileMemoryMapper mapper(path.c_str(), 0, -1);
    ASSERT_TRUE(mapper.isMapped());
    FieldValueFiller filler;
    filler.mapper = &mapper;
    filler.classes = &table;
    filler.objectIndexOf = indexOfTestTag;
    filler.fieldBlockPositions = positions;
    filler.arrayLengths = lengths;
    filler.objectCount = 31;
    filler.advanceProgress = [](void* context) { ++*static_cast<int32_t*>(context); };
    filler.progressContext = &progress;

    jvmtiHeapCallbacks primitives{};
    primitives.primitive_field_callback = fillPrimitiveFields;
    ASSERT_EQ(jvmti->IterateThroughHeap(JVMTI_HEAP_FILTER_UNTAGGED, nullptr, &primitives, &filler),
              JVMTI_ERROR_NONE);
    rethrowFillError(filler);
    jvmtiHeapCallbacks references{};
    references.heap_reference_callback = fillReferenceFields;
    ASSERT_EQ(jvmti->FollowReferences(JVMTI_HEAP_FILTER_UNTAGGED, nullptr, nullptr, &references, &filler),
              JVMTI_ERROR_NONE);
    rethrowFillError(filler);
    EXPECT_FALSE(mapper.failed());
  }

  std::ifstream in(path, std::ios::binary);
  std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_EQ(bytes.size(), size_t(fileSize));

  const std::map<std::string, uint64_t> expected = expectedValues();
  const _ClassInfo& shapes = *table.find(classTags["HeapShapes"]);
  int32_t checked = 0;
  auto expectField = [&](const _ClassInfo& info, uint64_t base, const std::string& owner) {
    for (int32_t i = 0; i < info.fieldCount(); i++) {
      const _FieldInfo& field = *info.fields[i];
      const int32_t offset = info.fieldOffsets[i];
      if (field.isStatic()) continue;
      const std::string fieldName = fieldNameText(field).data;
      const std::string name = declaringName(owner, fieldName);
      SCOPED_TRACE(name);
      const uint64_t found = readBigEndian(bytes, base + offset, field.width());
      if (field.isPrimitive()) {
        ASSERT_TRUE(expected.count(name));
        const int32_t bits = field.width() * 8;
        const uint64_t mask = bits == 64 ? ~0ull : (1ull << bits) - 1;
        EXPECT_EQ(found, expected.at(name) & mask);
      } else {
        uint64_t want = 0;  // null and untagged referees stay zero
        for (const auto& referee : refereeNames) {
          if (referee.second == name) want = uint64_t(indexOfTestTag(referee.first));
        }
        EXPECT_EQ(found, want);
      }
      checked++;
    }
  };
  expectField(shapes, blockAt, "HeapShapes");
  for (const char* owner : {"HeapShapes", "HeapShapesMiddle", "HeapShapesBase", "HeapShapesI1"}) {
    const _ClassInfo& info = *table.find(classTags[owner]);
    // Only the class's own statics have a place in its record; the instance fields were checked above.
    for (int32_t i = info.firstOwnField; i < info.fieldCount(); i++) {
      if (info.fields[i]->isStatic()) {
        const _FieldInfo& field = *info.fields[i];
        const std::string name = std::string(owner) + "." + fieldNameText(field).data;
        SCOPED_TRACE(name);
        const uint64_t found = readBigEndian(bytes, staticEntries[owner] + info.fieldOffsets[i], field.width());
        if (field.isPrimitive()) {
          const int32_t bits = field.width() * 8;
          const uint64_t mask = bits == 64 ? ~0ull : (1ull << bits) - 1;
          EXPECT_EQ(found, expected.at(name) & mask);
        } else {
          uint64_t want = 0;
          for (const auto& referee : refereeNames) {
            if (referee.second == name) want = uint64_t(indexOfTestTag(referee.first));
          }
          EXPECT_EQ(found, want);
        }
        checked++;
      }
    }
  }
  EXPECT_EQ(checked, 15 + 11 + 1 + 2 + 1);
  // The instance's seven non-zero primitives and three tagged references each advanced the progress.
  EXPECT_GE(progress, 12);
  // Nothing outside the block and the static entries was touched: -1 is FF FF FF FF right after its
  // entry's name id and type byte.
  EXPECT_EQ(readBigEndian(bytes, blockAt - 8, 8), 0u);
  EXPECT_EQ(readBigEndian(bytes, blockAt + shapes.instanceBlockSize, 8), 0u);
}

}  // namespace
