// Writing a snapshot of a database holding 10^6 rows to a file: the header, every table's rows through
// the 1 MiB buffer, and the record lengths patched at the end. bytes_per_second is the file's size over
// the time taken.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "agent/db/DB.h"
#include "agent/heap/SnapshotRoutine.h"
#include "agent/platform/Directories.h"
#include "agent/platform/Files.h"
#include "agent/support/NamedLocks.h"

namespace {

constexpr int32_t stringRows = 100000;
constexpr int32_t frameRows = 500000;
constexpr int32_t cpuRows = 400000;

// A call tree of frames, each with a time, and the texts of its methods.
void fillDatabase(DB& database) {
  for (int32_t i = 0; i < stringRows; i++) getStringId(("com.example.Service.method" + std::to_string(i)).c_str());
  for (int32_t i = 0; i < frameRows; i++) {
    const int32_t id = database.frames.ids.allocate();
    FrameRecord& frame = *database.frames.getRow(id, true);
    frame = FrameRecord{database.currentStamp, id / 2, i % stringRows, -1, -1};
  }
  for (int32_t i = 0; i < cpuRows; i++) {
    const int32_t id = database.cpuProfiling.ids.allocate();
    CpuProfilingRecord& row = *database.cpuProfiling.getRow(id, true);
    row.time = 1000000 + i;
    row.invocationCount = i % 97;
    row.stamp = database.currentStamp;
  }
}

void BM_SnapshotWriteMillionRows(benchmark::State& state) {
  createDatabase(3600);
  YCriticalSectionLock held(&ourLock(), "Bench:1");
  fillDatabase(*db);
  const YString path = getTempDir() + "tallyscope-bench-snapshot.bzps";
  int64_t bytes = 0;
  for (auto _ : state) {
    const int32_t fd = openFileForWrite(path);
    const YString error = writeSnapshot(held, nullptr, fd, 0, 0, path);
    if (error.length > 0) state.SkipWithError(error.data);
    bytes += getFileSize(path);
  }
  deleteFile(path);
  state.SetBytesProcessed(bytes);
  state.counters["file_bytes"] = double(bytes) / double(state.iterations());
  destroyDatabaseForTest();
}
BENCHMARK(BM_SnapshotWriteMillionRows)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
