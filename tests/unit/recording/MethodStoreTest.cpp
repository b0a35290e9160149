#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "agent/db/DB.h"
#include "agent/recording/MethodFilterFlags.h"
#include "agent/recording/MethodStore.h"
#include "agent/support/NamedLocks.h"
#include "tests/support/FatalErrorOutput.h"
#include "tests/support/ScopedValue.h"
#include "tests/support/TestDatabase.h"

namespace {

std::string textOf(int32_t stringId) {
  const StringRecord* row = db->strings.findRow(stringId);
  return row == nullptr || row->body == nullptr ? std::string("<none>") : std::string(row->body);
}

int32_t method(const char* className, const char* name, bool isNative = false, const char* sourceFile = "Worker.java") {
  return getOrCreateMethod(className, name, "(int)", "void", sourceFile, isNative);
}

int32_t flagsOf(int32_t id) { return db->methods.getRow(id, false)->flags; }

using MethodStoreTest = DatabaseTest;

}  // namespace

TEST_F(MethodStoreTest, TheSameFiveTextsGiveTheSameMethod) {
  database->currentStamp = 2;
  const int32_t id = getOrCreateMethod("com.example.Worker", "run", "(int, java.lang.String)", "long", "Worker.java", false);
  ASSERT_GE(id, 1);
  const MethodRecord& row = *database->methods.getRow(id, false);
  EXPECT_EQ(textOf(row.nameId), "run");
  EXPECT_EQ(textOf(row.parametersId), "(int, java.lang.String)");
  EXPECT_EQ(textOf(row.classNameId), "com.example.Worker");
  EXPECT_EQ(textOf(row.returnTypeId), "long");
  EXPECT_EQ(textOf(row.sourceFileId), "Worker.java");
  EXPECT_EQ(row.flags, 0);
  EXPECT_EQ(row.stamp, 2);

  database->currentStamp = 3;
  EXPECT_EQ(getOrCreateMethod("com.example.Worker", "run", "(int, java.lang.String)", "long", "Worker.java", false), id);
  // The native flag is not part of the key: the first record stays as it is.
  EXPECT_EQ(getOrCreateMethod("com.example.Worker", "run", "(int, java.lang.String)", "long", "Worker.java", true), id);
  EXPECT_EQ(row.flags, 0);
  EXPECT_EQ(row.stamp, 2);

  EXPECT_NE(getOrCreateMethod("com.example.Worker", "run", "(int, java.lang.String)", "long", "", false), id);
  EXPECT_NE(getOrCreateMethod("com.example.Worker", "run", "(int, java.lang.String)", "int", "Worker.java", false), id);
  EXPECT_NE(getOrCreateMethod("com.example.Worker", "run", "()", "long", "Worker.java", false), id);
  EXPECT_NE(getOrCreateMethod("com.example.Other", "run", "(int, java.lang.String)", "long", "Worker.java", false), id);
  // Texts that swap places are another method, although the sum of their ids is the same.
  EXPECT_NE(getOrCreateMethod("run", "com.example.Worker", "(int, java.lang.String)", "long", "Worker.java", false), id);
}

TEST_F(MethodStoreTest, IdsComeInBlocksOf4096) {
  // The line method of the database took id 1.
  EXPECT_EQ(lineMethodId, 1);
  EXPECT_EQ(method("A", "<<init>>"), 4096);
  EXPECT_EQ(method("B", "<<init>>"), 4097);
  int32_t last = 0;
  for (int32_t i = 2; i < 4096; i++) last = method("Many", ("m" + std::to_string(i)).c_str());
  EXPECT_EQ(last, 4095);
  EXPECT_EQ(method("Many", "next"), 8192);  // block 2, the next free one
  for (int32_t i = 2; i < 4096; i++) last = method(("Alloc" + std::to_string(i)).c_str(), "<<init>>");
  EXPECT_EQ(last, 8191);
  EXPECT_EQ(method("Alloc", "<<init>>"), 12288);  // block 3
  EXPECT_EQ(method("Many", "next after"), 8193);
}

TEST_F(MethodStoreTest, FlagsFollowTheClassAndName) {
  struct Case {
    const char* className;
    const char* name;
    bool isNative;
    int32_t flags;
  };
  const Case cases[] = {
      {"com.brantel.runtime.Callback", "bzpMethodEntry", false, 0x1},
      {"com.brantel.runtime.Callback2", "run", false, 0},
      {"java.io.FileInputStream", "$$BZP$$readBytes", true, 0x1 | 0x800},
      {"java.io.FileInputStream", "readBytes", true, 0x800},
      {"Probe", "onEnter", false, 0x40},
      {"Probe", "onEnterImpl", false, 0x40},
      {"Probe", "onExit", false, 0x40},
      {"Probe", "onReturn", false, 0x40},
      {"Probe", "onReturnImpl", false, 0x40},
      {"Probe", "onUncaughtException", false, 0x40},
      {"Probe", "onReturned", false, 0},
      {"Probe", "OnEnter", false, 0},
      {"Pool", "invokeAll", false, 0x1000},
      {"Pool", "invoke", false, 0x1000},
      {"Bus", "dispatchEvent", false, 0x1000},
      {"Bus", "redispatch", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.className) + "." + c.name);
    EXPECT_EQ(flagsOf(method(c.className, c.name, c.isNative)), c.flags);
  }
}

TEST_F(MethodStoreTest, FilterBitsFollowTheWallTimeSettingAndDropTheAdaptiveExclusions) {
  const int32_t before = method("Worker", "before");
  {
    ScopedValue<bool> allWallTime(allMethodsWallTime, true);
    EXPECT_EQ(flagsOf(method("Pool", "invokeAll")), 0x1000 | 0x4 | 0x100);
    MethodRecord& row = *database->methods.getRow(before, false);
    row.flags |= 0x200 | 0x400;
    database->currentStamp = 6;
    updateMethodFilterFlags(db, row);
    EXPECT_EQ(row.flags, 0x4 | 0x100);
    EXPECT_EQ(row.stamp, 6);
  }
  MethodRecord& row = *database->methods.getRow(before, false);
  database->currentStamp = 7;
  updateMethodFilterFlags(db, row);
  EXPECT_EQ(row.flags, 0);
  EXPECT_EQ(row.stamp, 7);
  // Nothing to change: no stamp.
  database->currentStamp = 8;
  updateMethodFilterFlags(db, row);
  EXPECT_EQ(row.stamp, 7);
  EXPECT_NE(fatalErrorOf([&] { updateMethodFilterFlags(nullptr, row); }).find(": db is NULL"), std::string::npos);
}

TEST(MethodStoreWithoutDatabase, IsFatal) {
  ASSERT_EQ(db, nullptr);
  const std::string error = fatalErrorOf([] { method("A", "b"); });
  EXPECT_NE(error.find(": db is NULL"), std::string::npos) << error;
}
