#pragma once

#include <cstdint>
#include <cstring>

#include "agent/support/YMap.h"
#include "agent/support/YSet.h"

class DB;

// A text of the pool with its hash (keyHash of the text), so that a probe of the map compares hashes
// and reads a text only where they agree.
struct PooledText {
  const char* text;
  int32_t hash;
};
inline int32_t keyHash(const PooledText& key) { return key.hash; }
inline bool keysEqual(const PooledText& a, const PooledText& b) {
  return a.hash == b.hash && std::strcmp(a.text, b.text) == 0;
}

// Every text a row refers to, stored once in the "string" table: a row's string id is the text's row
// there. The pool owns the texts; the same copy is the map key and the row's body. Guarded by "ourLock".
class StringPool {
 public:
  StringPool();
  ~StringPool();
  StringPool(const StringPool&) = delete;
  StringPool& operator=(const StringPool&) = delete;

  // The text's id, adding a copy stamped with the database's current stamp when it is new; with `pin`
  // the id is pinned too. 0 for a null text.
  int32_t getId(DB& database, const char* text, bool pin);
  // Once the pool holds 10000 texts and has grown by 2000 since the last run: drops every text that no
  // row refers to, unless it is pinned, its row is deleted, or it begins with "tele.". A dropped text's
  // row is deleted at the current stamp and its id goes back to the "string" table for reuse.
  void collect(DB& database);

  int32_t size() const { return texts.count; }
  int32_t pinnedCount() const { return pinned.count; }
  bool isPinned(int32_t id) const { return pinned.contains(id); }

 private:
  void pin(int32_t id, const char* text);

  YMap<PooledText, int32_t> texts;
  YSet<int32_t> pinned;
  int32_t sizeAfterLastCollection = 0;
  int32_t collections = 0;
};

// The text's string id in the database (see StringPool::getId); pin a text whose id is held anywhere
// but in a row, so that a collection never hands the id to another text. 0 for a null text; fatal
// "db is NULL" without a database.
int32_t getStringId(const char* text, bool pin = false);
