#pragma once

#include <cstdint>
#include <type_traits>

#include "agent/db/AbstractWriter.h"
#include "agent/db/IdAllocator.h"
#include "agent/db/Progress.h"
#include "agent/db/Records.h"
#include "agent/db/RowStreams.h"
#include "agent/db/YIntChunkMap.h"
#include "agent/db/YRollingArray.h"
#include "agent/support/FatalError.h"
#include "agent/support/YString.h"

// What the database asks of every table. Tables have no lock of their own: every operation runs under
// "ourLock".
class DBTableBase {
 public:
  explicit DBTableBase(int32_t firstId) : ids(firstId) {}
  virtual ~DBTableBase() = default;
  DBTableBase(const DBTableBase&) = delete;
  DBTableBase& operator=(const DBTableBase&) = delete;

  // The count of rows whose |stamp| > since, then each of them in ascending index order: index, stamp
  // and, for a live row, its fields. Progress from percentFrom towards percentTo is reported as the rows
  // go, each whole percent once.
  virtual void writeRows(AbstractWriter& writer, int32_t since, int32_t percentFrom, int32_t percentTo,
                         Progress* progress) = 0;
  // Forgets every row; ids start again at the first.
  virtual void clear() = 0;
  // The row's stamp; 0 when the row is absent (a negative index included).
  virtual int32_t getGeneration(int32_t index) const = 0;
  // Stamps the row, making it when absent; returns the stamp's field. A negative index is fatal.
  virtual int32_t* setGeneration(int32_t index, int32_t stamp) = 0;
  // "<name padded to 20> records=<live>/<first> - <end> allocated=<memory>", the numbers right-aligned
  // in 8; the table's bytes are added to `totalBytes`.
  virtual YString getStatistics(uint64_t& totalBytes) const = 0;

  IdAllocator ids;
};

// A negative row index asked of a table.
[[noreturn]] inline void negativeRowIndex() { assertionFailed("assertion failed", "DB", 107); }

// A named table of fixed-size records, stored in a chunk map (rows made 256 at a time on first write)
// or, for telemetry, in a rolling window.
template <class Record, class Storage = YIntChunkMap<Record>>
class DBTable : public DBTableBase {
  static constexpr bool rolling = std::is_same<Storage, YRollingArray<Record>>::value;

 public:
  DBTable(const char* name, int32_t firstId, int32_t initialCapacity)
      : DBTableBase(firstId), rows(initialCapacity), name(name) {}

  // The live or deleted row at `index`; with `create` an absent row is made (stamp 0, for the caller to
  // fill and stamp), without it null is the answer. Chunk-map tables only.
  Record* getRow(int32_t index, bool create) {
    static_assert(!rolling, "telemetry rows are appended");
    if (index < 0) negativeRowIndex();
    if (create) return &rows.create(index);
    Record* row = rows.existing(index);
    return row != nullptr && row->stamp != 0 ? row : nullptr;
  }

  // The live or deleted row at `index`, or null; never makes anything.
  Record* findRow(int64_t index) const {
    if (index < firstIndex() || index >= endIndex()) return nullptr;
    Record* row;
    if constexpr (rolling) {
      row = rows.find(index);
    } else {
      row = rows.existing(int32_t(index));
    }
    return row != nullptr && row->stamp != 0 ? row : nullptr;
  }

  // Chunk-map tables span 0 to their capacity, the telemetry table its window.
  int64_t firstIndex() const {
    if constexpr (rolling) {
      return rows.oldest;
    } else {
      return 0;
    }
  }
  int64_t endIndex() const {
    if constexpr (rolling) {
      return rows.next;
    } else {
      return rows.capacity();
    }
  }

  void writeRows(AbstractWriter& writer, int32_t since, int32_t percentFrom, int32_t percentTo,
                 Progress* progress) override {
    if (progress == nullptr) assertionFailed("assertion failed: value is NULL", "DB", 143);
    int32_t count = 0;
    forEachRow([&](int64_t, Record& row) { count += changedSince(row, since); });
    writer.writeInt(count);
    int32_t written = 0;
    forEachRow([&](int64_t index, Record& row) {
      if (written == count || !changedSince(row, since)) return;
      writer.writeInt(int32_t(index));
      writer.writeInt(row.stamp);
      if (row.stamp > 0) writeRowFields(writer, row);
      const int32_t percent = int32_t(percentFrom + int64_t(percentTo - percentFrom) * written / count);
      if (percent > progress->lastPercent) {
        reportSnapshotProgress(*progress, percent);
        progress->lastPercent = percent;
      }
      written++;
    });
  }

  void clear() override {
    ids.reset();
    if constexpr (rolling) {
      rows.clear();
    } else {
      rows.freeChunks();
    }
  }

  int32_t getGeneration(int32_t index) const override {
    const Record* row = findRow(index);
    return row == nullptr ? 0 : row->stamp;
  }

  int32_t* setGeneration(int32_t index, int32_t stamp) override {
    if (index < 0) negativeRowIndex();
    Record* row;
    if constexpr (rolling) {
      row = rows.find(index);
      if (row == nullptr) assertionFailed("assertion failed", "DB", 107);
    } else {
      row = &rows.create(index);
    }
    row->stamp = stamp;
    return &row->stamp;
  }

  YString getStatistics(uint64_t& totalBytes) const override {
    int64_t live = 0;
    forEachRow([&](int64_t, const Record& row) { live += row.stamp > 0; });
    uint64_t bytes;
    if constexpr (rolling) {
      bytes = uint64_t(rows.capacity) * sizeof(Record) + 24;
    } else {
      bytes = 8 * uint64_t(rows.chunkCount) + uint64_t(rows.madeChunks()) * rows.chunkSize * sizeof(Record);
    }
    totalBytes += bytes;
    YString line(name);
    while (line.length < 20) line.append(' ');
    line.append(" records=");
    line.append(formatLong(live, 8, ' '));
    line.append("/");
    line.append(formatLong(firstIndex(), 8, ' '));
    line.append(" - ");
    line.append(formatLong(endIndex(), 8, ' '));
    line.append(" allocated=");
    line.append(formatMemorySize(int64_t(bytes)));
    return line;
  }

  // Calls `visit(index, row)` for every live or deleted row in ascending index order. Rows of chunks
  // not made are skipped a chunk at a time.
  template <class Visit>
  void forEachRow(Visit visit) const {
    if constexpr (rolling) {
      for (int64_t index = rows.oldest; index < rows.next; index++) {
        Record& row = *rows.find(index);
        if (row.stamp != 0) visit(index, row);
      }
    } else {
      for (int32_t chunk = 0; chunk < rows.chunkCount; chunk++) {
        Record* records = rows.chunks[chunk];
        if (records == nullptr) continue;
        for (int32_t i = 0; i < rows.chunkSize; i++) {
          if (records[i].stamp != 0) visit(int64_t(chunk) * rows.chunkSize + i, records[i]);
        }
      }
    }
  }

  Storage rows;
  YString name;

 private:
  static bool changedSince(const Record& row, int32_t since) { return absInt(row.stamp) > since; }
};

using TelemetryTable = DBTable<TelemetryRecord, YRollingArray<TelemetryRecord>>;
