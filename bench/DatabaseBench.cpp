// The database's two hot roads for CPU data: appending "cpu_profiling" rows as the sampler and the
// tracer do (an id, the row made in its chunk, filled and stamped) and writing 10^6 of them out as a
// snapshot or a table reply does. items_per_second is rows per second.

#include <benchmark/benchmark.h>

#include <cstdint>

#include "agent/db/AbstractWriter.h"
#include "agent/db/DBTable.h"

namespace {

constexpr int32_t rowCount = 1000000;

// A writer whose flush drops the bytes: what is timed is the walk over the table and the encoding.
class DiscardingWriter : public AbstractWriter {
 public:
  DiscardingWriter() : AbstractWriter(1 << 20, true, byteOrderBigEndian) {}
  void flush() override {
    written += position;
    position = 0;
  }
  int64_t written = 0;
};

void appendRows(DBTable<CpuProfilingRecord>& table) {
  for (int32_t i = 0; i < rowCount; i++) {
    const int32_t id = table.ids.allocate();
    CpuProfilingRecord& row = *table.getRow(id, true);
    row.time += 1000 + i;
    row.invocationCount += 1;
    row.stamp = 1;
  }
}

void BM_DatabaseAppendCpuProfilingRows(benchmark::State& state) {
  for (auto _ : state) {
    DBTable<CpuProfilingRecord> table("cpu_profiling", 1, 1024);
    appendRows(table);
    benchmark::DoNotOptimize(table.rows.chunks);
  }
  state.SetItemsProcessed(state.iterations() * rowCount);
}
BENCHMARK(BM_DatabaseAppendCpuProfilingRows)->Unit(benchmark::kMillisecond);

void BM_DatabaseWriteCpuProfilingRows(benchmark::State& state) {
  DBTable<CpuProfilingRecord> table("cpu_profiling", 1, 1024);
  appendRows(table);
  int64_t bytes = 0;
  for (auto _ : state) {
    DiscardingWriter writer;
    Progress progress;
    table.writeRows(writer, 0, 0, 0, &progress);
    writer.flush();
    bytes += writer.written;
  }
  state.SetItemsProcessed(state.iterations() * rowCount);
  state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_DatabaseWriteCpuProfilingRows)->Unit(benchmark::kMillisecond);

}  // namespace
