#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/SnapshotReader.h"
#include "tests/tools/ProfileModel.h"
#include "tests/tools/ToolMain.h"

// Prints what a snapshot file holds: its kind and, for each table, how many live rows its tables records
// leave. Reads the file with the tests' own reader, so a malformed file is reported, not summarised.
int main(int argc, char** argv) {
  return runTool(argc, argv, "SNAPSHOT", [](const std::vector<std::string>& arguments) {
    const snapshotfile::Snapshot snapshot = snapshotfile::readSnapshotFile(arguments[0]);
    std::printf("snapshot kind %d, %zu tables record(s)\n", snapshot.kind, snapshot.tableRecords.size());
    const profilemodel::ProfileModel model(snapshot);
    for (int32_t table = 0; table < rowstream::tableCount; table++) {
      if (snapshot.tableRecords.empty()) break;
      std::printf("  %-20s %zu rows\n", rowstream::tableName(table), model.rows(table).size());
    }
  });
}
