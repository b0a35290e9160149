#include "agent/heap/FieldValueFiller.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "agent/heap/ClassInfo.h"
#include "tests/support/FatalErrorOutput.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"

namespace {

constexpr uint32_t staticFlag = 0x0008;

// A description whose field list is given directly: (signature character, modifiers) per field, the
// class's own fields starting at `firstOwn`.
_ClassInfo* classWith(std::vector<std::pair<int32_t, uint32_t>> fields, int32_t firstOwn = 0) {
  auto* info = new _ClassInfo();
  for (const auto& f : fields) {
    auto* field = new _FieldInfo();
    field->signatureChar = f.first;
    field->modifiers = f.second;
    info->fields.add(field);
  }
  info->firstOwnField = firstOwn;
  numberFields(*info);
  return info;
}

std::vector<int32_t> offsetsOf(const _ClassInfo& info) {
  return std::vector<int32_t>(info.fieldOffsets.data, info.fieldOffsets.data + info.fieldOffsets.size);
}

TEST(ClassInfoLayout, OffsetsCategoriesAndBlockSize) {
  // a int, b Object, c long: the block holds them from the last declared to the first.
  std::unique_ptr<_ClassInfo> plain(classWith({{'I', 0}, {0, 0}, {'J', 0}}));
  EXPECT_EQ(offsetsOf(*plain), (std::vector<int32_t>{12, 8, 0}));
  EXPECT_EQ(plain->instanceBlockSize, 16);

  // s1 int, s2 Object: each value follows its entry's 4-byte name id and type byte.
  std::unique_ptr<_ClassInfo> statics(classWith({{'I', staticFlag}, {0, staticFlag}}));
  EXPECT_EQ(offsetsOf(*statics), (std::vector<int32_t>{14, 5}));
  EXPECT_EQ(statics->instanceBlockSize, 0);

  // Inherited: a static (-1, its own class holds it) and an instance short; own: a static byte, an
  // instance boolean and reference.
  std::unique_ptr<_ClassInfo> mixed(
      classWith({{'J', staticFlag}, {'S', 0}, {'B', staticFlag}, {'Z', 0}, {0, 0}}, 2));
  EXPECT_EQ(offsetsOf(*mixed), (std::vector<int32_t>{-1, 5, 5, 4, 0}));
  EXPECT_EQ(mixed->instanceBlockSize, 7);
  std::vector<uint32_t> categories;
  for (int32_t i = 0; i < mixed->fields.size; i++) categories.push_back(mixed->fields[i]->categoryIndex);
  EXPECT_EQ(categories, (std::vector<uint32_t>{0, 0, 1, 1, 0}));
  EXPECT_EQ(mixed->staticPrimitiveCount, 2);
  EXPECT_EQ(mixed->staticReferenceCount, 0);
  EXPECT_EQ(mixed->instancePrimitiveCount, 2);
  EXPECT_EQ(mixed->instanceReferenceCount, 1);
}

TEST(ClassInfoLayout, TableLookupAndUnknownTags) {
  ClassInfoTable table;
  _ClassInfo* first = classWith({});
  table.add(7, first);
  table.add(7, classWith({{'I', 0}}));  // a second entry for the tag is dropped
  table.add(3, classWith({}));
  EXPECT_EQ(table.count(), 2);
  EXPECT_EQ(table.tagAt(0), 7);
  EXPECT_EQ(table.tagAt(1), 3);
  EXPECT_EQ(&table.lookup(7, 1), first);

  LogCapture log;
  EXPECT_TRUE(isUnknownClassInfo(table.lookup(99, 42)));
  ASSERT_FALSE(log.entries().empty());
  EXPECT_NE(log.entries().back().find("warning: unknown class tag 99; line=42"), std::string::npos);
  EXPECT_NE(fatalErrorOf([&] { table.lookup(0, 17); }).find("class_tag=0 at 17"), std::string::npos);
}

// A zeroed file mapped whole, and a filler over it.
class FieldValueFillerTest : public ::testing::Test {
 protected:
  TempDir directory;
  std::string path = directory.write("heap.bin", std::string(4096, '\0'));
  std::unique_ptr<FileMemoryMapper> mapper = std::make_unique<FileMemoryMapper>(path.c_str(), 0, -1);
  FieldValueFiller filler;

  void SetUp() override {
    ASSERT_TRUE(mapper->isMapped());
    filler.mapper = mapper.get();
  }

  std::string contents() {
    mapper.reset();
    std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
};

std::string hexAt(const std::string& bytes, size_t at, size_t count) {
  static const char digits[] = "0123456789ABCDEF";
  std::string text;
  for (size_t i = 0; i < count; i++) {
    const auto b = uint8_t(bytes.at(at + i));
    text += digits[b >> 4];
    text += digits[b & 15];
  }
  return text;
}

TEST_F(FieldValueFillerTest, WritesValuesWithTheFieldsWidthsAndOffsets) {
  // Static int s0, static Object s1; instance char c, double d, Object r.
  std::unique_ptr<_ClassInfo> info(classWith({{'I', staticFlag}, {0, staticFlag}, {'C', 0}, {'D', 0}, {0, 0}}));
  writeFieldValue(filler, *info, 100, 0, uint64_t(int64_t(-1)), true, true);
  writeFieldValue(filler, *info, 100, 1, 0, false, true);  // null: the entry keeps its zero
  writeFieldValue(filler, *info, 200, 2, 0xFFFE, true, false);
  writeFieldValue(filler, *info, 200, 3, 0x400C000000000000ull, true, false);
  writeFieldValue(filler, *info, 200, 4, 0x01020304, false, false);
  const std::string bytes = contents();
  EXPECT_EQ(hexAt(bytes, 100, 20), "0000000000000000000000000000FFFFFFFF0000");  // s1 at +5, s0 at +14
  EXPECT_EQ(hexAt(bytes, 200, 16), "01020304400C000000000000FFFE0000");  // r, d, c from offset 0
}

TEST_F(FieldValueFillerTest, MismatchedReportsWarnOnceAndWriteNothing) {
  std::unique_ptr<_ClassInfo> info(classWith({{'J', staticFlag}, {'I', 0}, {0, 0}}, 1));
  struct Case {
    int32_t index;
    bool primitive;
    bool isStatic;
    const char* warning;
  };
  const Case cases[] = {
      {3, true, false, "warning: invalid field index: 3 <null> fieldCount=3 pe=1 se=0"},
      {-1, false, false, "warning: invalid field index: -1 <null> fieldCount=3 pe=0 se=0"},
      {1, true, true, "warning: field static/non-static mismatch: 1 <null> fn=<null> pe=1 se=1"},
      {2, true, false, "warning: field primitive/reference mismatch: 2 <null> fn=<null> pe=1 se=0"},
  };
  LogCapture log;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.warning);
    const size_t before = log.entries().size();
    writeFieldValue(filler, *info, 64, c.index, 0x7F, c.primitive, c.isStatic);
    writeFieldValue(filler, *info, 64, c.index, 0x7F, c.primitive, c.isStatic);  // repeated: logged once
    const std::vector<std::string> entries = log.entries();
    ASSERT_EQ(entries.size(), before + 1);
    EXPECT_NE(entries.back().find(c.warning), std::string::npos) << entries.back();
  }
  // An inherited static has no place here: ignored without a word.
  writeFieldValue(filler, *info, 64, 0, 0x7F, true, true);
  EXPECT_EQ(log.entries().size(), 4u);
  EXPECT_EQ(contents(), std::string(4096, '\0'));
}

TEST_F(FieldValueFillerTest, InstanceFieldWithoutOffsetIsFatal) {
  std::unique_ptr<_ClassInfo> info(classWith({{'I', 0}}));
  info->fieldOffsets[0] = -1;
  EXPECT_NE(fatalErrorOf([&] { writeFieldValue(filler, *info, 64, 0, 5, true, false); })
                .find("invalid field offset: offset=-1 fieldIndex=0 <null> pe=1 se=0"),
            std::string::npos);
}

TEST(PrimitiveValueBits, WidensEachTypeAsTheDumpNeeds) {
  struct Case {
    jvmtiPrimitiveType type;
    jvalue value;
    uint64_t bits;
  };
  auto v = [](auto set) {
    jvalue value{};
    set(value);
    return value;
  };
  const Case cases[] = {
      {JVMTI_PRIMITIVE_TYPE_BOOLEAN, v([](jvalue& x) { x.z = 1; }), 1},
      {JVMTI_PRIMITIVE_TYPE_BOOLEAN, v([](jvalue& x) { x.z = 2; }), 0},
      {JVMTI_PRIMITIVE_TYPE_BYTE, v([](jvalue& x) { x.b = -2; }), 0xFFFFFFFFFFFFFFFEull},
      {JVMTI_PRIMITIVE_TYPE_CHAR, v([](jvalue& x) { x.c = 0xFFFE; }), 0xFFFE},
      {JVMTI_PRIMITIVE_TYPE_SHORT, v([](jvalue& x) { x.s = -3; }), 0xFFFFFFFFFFFFFFFDull},
      {JVMTI_PRIMITIVE_TYPE_INT, v([](jvalue& x) { x.i = -1; }), ~0ull},
      {JVMTI_PRIMITIVE_TYPE_FLOAT, v([](jvalue& x) { x.f = -0.5f; }), 0xBF000000},
      {JVMTI_PRIMITIVE_TYPE_DOUBLE, v([](jvalue& x) { x.d = 3.75; }), 0x400E000000000000ull},
      {JVMTI_PRIMITIVE_TYPE_LONG, v([](jvalue& x) { x.j = INT64_MIN; }), 0x8000000000000000ull},
  };
  for (const Case& c : cases) EXPECT_EQ(primitiveValueBits(c.value, c.type), c.bits) << char(c.type);
}

// The object-array branch of the reference pass, driven with the reports JVMTI would give.
TEST_F(FieldValueFillerTest, ArrayElementsInsideTheLengthAreWritten) {
  ClassInfoTable table;
  _ClassInfo* arrayClass = classWith({});
  arrayClass->isObjectArray = true;
  table.add(50, arrayClass);
  uint64_t positions[4] = {0, 512, 0, 0};  // object 1 is the array; object 2 was never written
  uint32_t lengths[4] = {0, 3, 3, 0};
  filler.classes = &table;
  filler.objectIndexOf = [](jlong tag) { return int32_t(tag); };
  filler.fieldBlockPositions = positions;
  filler.arrayLengths = lengths;
  filler.objectCount = 3;

  LogCapture log;
  auto report = [&](jlong referrer, jint element, jlong referee) {
    jvmtiHeapReferenceInfo info{};
    info.array.index = element;
    return fillReferenceFields(JVMTI_HEAP_REFERENCE_ARRAY_ELEMENT, &info, 0, 50, 0, &referee, &referrer, 0,
                               &filler);
  };
  EXPECT_EQ(report(1, 0, 3), JVMTI_VISIT_OBJECTS);
  EXPECT_EQ(report(1, 2, 2), JVMTI_VISIT_OBJECTS);
  EXPECT_EQ(report(1, 3, 3), JVMTI_VISIT_OBJECTS);  // at the length: skipped
  EXPECT_EQ(report(2, 0, 3), JVMTI_VISIT_OBJECTS);  // no position: warned
  rethrowFillError(filler);
  const std::vector<std::string> entries = log.entries();
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_NE(entries[0].find("warning: no field block position: objectIndex=2 array element index=0 class="),
            std::string::npos);
  const std::string bytes = contents();
  EXPECT_EQ(hexAt(bytes, 512, 16), "00000003000000000000000200000000");
}

}  // namespace
