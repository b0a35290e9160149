#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "agent/classfile/LocalVariable.h"
#include "agent/classfile/LocalVariableTableAttribute.h"
#include "tests/unit/classfile/AttributeTestSupport.h"
#include "tests/unit/classfile/FailureWithoutLine.h"

namespace {

struct Values {
  int32_t startPc, length, nameIndex, descriptorIndex, index;
};

TEST(LocalVariable, TheConstructorAndSettersKeepTheInvariants) {
  const std::vector<Values> refused = {
      {-1, 0, 1, 1, 0}, {0, -1, 1, 1, 0}, {0, 0, 0, 1, 0}, {0, 0, 1, 0, 0}, {0, 0, 1, 1, -1}};
  for (const Values& v : refused) {
    SCOPED_TRACE(std::to_string(v.startPc) + " " + std::to_string(v.length) + " " + std::to_string(v.nameIndex) +
                 " " + std::to_string(v.descriptorIndex) + " " + std::to_string(v.index));
    EXPECT_EQ(failureOf([&] { LocalVariable(v.startPc, v.length, v.nameIndex, v.descriptorIndex, v.index); }),
              "error at LocalVariable: assertion failed");
  }
  LocalVariable variable(0, 0, 1, 1, 0);
  variable.setStartPc(70000);
  variable.setLength(3);
  EXPECT_EQ(variable.getStartPc(), 70000);
  EXPECT_EQ(variable.getLength(), 3);
  EXPECT_EQ(failureOf([&] { variable.setStartPc(-1); }), "error at LocalVariable: assertion failed");
  EXPECT_EQ(failureOf([&] { variable.setLength(-1); }), "error at LocalVariable: assertion failed");
  EXPECT_EQ(variable.getStartPc(), 70000);
  EXPECT_EQ(variable.getLength(), 3);
}

TEST(LocalVariable, TheNameIsTheUtf8EntryAtTheNameIndex) {
  TestPool pool;
  const int32_t name = pool.utf8("count");
  const int32_t klass = pool.classNamed("count");
  EXPECT_STREQ(LocalVariable(0, 1, name, name, 0).getName(pool.pool).data, "count");
  EXPECT_EQ(failureOf([&] { LocalVariable(0, 1, klass, name, 0).getName(pool.pool); }),
            "error at LocalVariable: assertion failed");
}

// Both tables: entries read in file order, edited in place through the setters, written with the edits.
TEST(LocalVariableTable, EntriesAreEditedInPlaceAndWrittenBack) {
  for (const char* name : {"LocalVariableTable", "LocalVariableTypeTable"}) {
    SCOPED_TRACE(name);
    TestPool pool;
    const Bytes body = ByteBuilder().u2(2).u2(0).u2(20).u2(3).u2(4).u2(0).u2(5).u2(15).u2(6).u2(7).u2(2).bytes;
    const auto attribute = readAttribute(ByteBuilder().attribute(pool.utf8(name), body).bytes, pool.pool);
    auto& table = dynamic_cast<LocalVariableEntries&>(*attribute);
    YVector<LocalVariable*>& entries = table.getEntries();
    ASSERT_EQ(entries.size, 2);
    EXPECT_EQ(entries[1]->getStartPc(), 5);
    EXPECT_EQ(entries[1]->getLength(), 15);
    EXPECT_EQ(entries[1]->getNameIndex(), 6);
    EXPECT_EQ(entries[1]->getDescriptorIndex(), 7);
    EXPECT_EQ(entries[1]->getIndex(), 2);
    entries[0]->setLength(30);
    entries[1]->setStartPc(9);
    entries[1]->setLength(21);
    EXPECT_EQ(written(*attribute),
              ByteBuilder()
                  .u2(1).u4(22).u2(2)
                  .u2(0).u2(30).u2(3).u2(4).u2(0)
                  .u2(9).u2(21).u2(6).u2(7).u2(2)
                  .bytes);
  }
}

struct Range {
  int32_t startPc, length;
  bool valid;
};

// The ranges are checked against the code length when the Code attribute reads them: a range must start
// inside the code and end at or before its end, or it could index past the code (or its position map).
TEST(LocalVariableTable, ValidateRefusesRangesOutsideTheCode) {
  const std::vector<Range> ranges = {{0, 10, true},  {9, 1, true},  {9, 0, true},       {0, 0, true},
                                     {10, 0, false}, {5, 6, false}, {65535, 65535, false}};
  for (const char* name : {"LocalVariableTable", "LocalVariableTypeTable"}) {
    for (const Range& range : ranges) {
      SCOPED_TRACE(std::string(name) + " " + std::to_string(range.startPc) + "+" + std::to_string(range.length));
      TestPool pool;
      const Bytes body = ByteBuilder().u2(2).u2(0).u2(1).u2(1).u2(1).u2(0).u2(range.startPc).u2(range.length)
                             .u2(1).u2(1).u2(1).bytes;
      const auto attribute = readAttribute(ByteBuilder().attribute(pool.utf8(name), body).bytes, pool.pool);
      if (range.valid) {
        attribute->validate(10);
      } else {
        EXPECT_EQ(failureOf([&] { attribute->validate(10); }),
                  "error at LocalVariableTableAttribute: assertion failed");
      }
    }
  }
}

}  // namespace
