#include <cstdio>
#include <exception>
#include <map>

#include "tests/support/SnapshotReader.h"

// Prints what a snapshot file holds: its kind and, for each table, how many live rows its last tables
// record has. Reads the file with the tests' own reader, so a malformed file is reported, not summarised.
int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s SNAPSHOT\n", argv[0]);
    return 2;
  }
  try {
    const snapshotfile::Snapshot snapshot = snapshotfile::readSnapshotFile(argv[1]);
    std::printf("snapshot kind %d, %zu tables record(s)\n", snapshot.kind, snapshot.tableRecords.size());
    if (snapshot.tableRecords.empty()) return 0;
    for (const auto& [index, rows] : snapshot.tableRecords.back().tables) {
      size_t live = 0;
      for (const rowstream::Row& row : rows) live += row.stamp > 0 ? 1 : 0;
      std::printf("  %-20s %zu rows\n", rowstream::tableName(index), live);
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: %s\n", argv[1], error.what());
    return 1;
  }
  return 0;
}
