#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "agent/db/DB.h"
#include "agent/support/NamedLocks.h"

// A database made for one test and torn down after it, with its special thread entries and method ids.
class TestDatabase {
 public:
  explicit TestDatabase(int32_t telemetryLimit = 3600) { createDatabase(telemetryLimit); }
  ~TestDatabase() { destroyDatabaseForTest(); }
  TestDatabase(const TestDatabase&) = delete;
  TestDatabase& operator=(const TestDatabase&) = delete;

  DB& operator*() const { return *db; }
  DB* operator->() const { return db; }
};

// A test with a fresh database of its own, run under "ourLock" as the database's users are.
class DatabaseTest : public ::testing::Test {
 protected:
  TestDatabase database;
  YCriticalSectionLock held{&ourLock(), "Test:1"};
};
