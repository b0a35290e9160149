#pragma once

#include "agent/platform/YCriticalSection.h"
#include "agent/support/NamedLocks.h"
#include "tests/inprocess/InProcessJvm.h"
#include "tests/support/TestDatabase.h"

// A test on the main thread of the JVM with a fresh database, run under "ourLock" as the recorders that
// turn stacks into frames run.
class JvmDatabaseTest : public JvmTest {
 protected:
  TestDatabase database;
  YCriticalSectionLock held{&ourLock(), "Test:1"};
};
