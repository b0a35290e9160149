#pragma once

#include "agent/db/DB.h"
#include "agent/platform/YCriticalSection.h"
#include "agent/support/NamedLocks.h"

// What a writer of a thread's buffer holds while it records. A thread writes its own record without a
// lock, except while a replay of every buffer runs elsewhere under "ourLock" (dbWriteInProgress): that
// replay reads the writer's buffer and node tree, so the writer waits for it and holds the lock until it
// has appended. `always` takes the lock in any case, for a record that threads share.
class AppendGuard {
 public:
  explicit AppendGuard(const char* site, bool always = false)
      : guard(always || dbWriteInProgress.load() ? &ourLock() : nullptr, site) {}
  AppendGuard(const AppendGuard&) = delete;
  AppendGuard& operator=(const AppendGuard&) = delete;

  // appendEvent's lock flag: the replay of a full buffer takes "ourLock" itself unless the guard holds it.
  bool replayLocks() const { return guard.lock == nullptr; }

 private:
  YCriticalSectionLock guard;
};
