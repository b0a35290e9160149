// The class-file model over the JDK's own classes: each class parsed (its stack-map frames expanded) and
// written back, the road every class takes through the agent. The classes are loaded into memory first;
// one iteration is a pass over all of them, and classes_per_second is the figure that scripts/bench.sh
// sets beside ASM's (bench/AsmRoundTrip.java) over the same files. The corpus is the directory named by
// TALLYSCOPE_CLASS_CORPUS, else "class-corpus" in the working directory.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "agent/classfile/ClassFile.h"
#include "agent/classfile/DataInput.h"
#include "agent/classfile/DataOutput.h"
#include "agent/support/BZPRuntimeException.h"
#include "agent/support/YVector.h"

namespace {

struct Corpus {
  std::vector<YVector<uint8_t>> classes;  // the ones the model reads and writes
  int32_t refused = 0;                    // pool entries it does not read (module-info, condy) or errors
};

// False when the model gives the class up, as the agent would leave it unchanged.
bool parseAndWrite(const YVector<uint8_t>& bytes, YVector<uint8_t>& written) {
  DataInput in(bytes);
  ClassFile classFile(in);
  if (classFile.isParseFailed()) return false;
  DataOutput out(written);
  classFile.write(out);
  return true;
}

const Corpus& corpus() {
  static const Corpus loaded = [] {
    Corpus corpus;
    const char* named = std::getenv("TALLYSCOPE_CLASS_CORPUS");
    const std::filesystem::path directory = named != nullptr ? named : "class-corpus";
    std::error_code error;
    std::vector<std::filesystem::path> files;
    for (auto it = std::filesystem::recursive_directory_iterator(directory, error);
         !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
      if (it->is_regular_file() && it->path().extension() == ".class") files.push_back(it->path());
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
      std::ifstream in(file, std::ios::binary);
      const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      if (bytes.empty()) continue;
      YVector<uint8_t> classBytes(reinterpret_cast<const uint8_t*>(bytes.data()), int32_t(bytes.size()));
      bool accepted = false;
      try {
        YVector<uint8_t> written;
        accepted = parseAndWrite(classBytes, written);
      } catch (const BZPRuntimeException&) {
      }
      if (accepted) {
        corpus.classes.push_back(classBytes);
      } else {
        corpus.refused++;
      }
    }
    return corpus;
  }();
  return loaded;
}

void BM_ClassFileParseWrite(benchmark::State& state) {
  const Corpus& classes = corpus();
  if (classes.classes.empty()) {
    state.SkipWithError("no class files: set TALLYSCOPE_CLASS_CORPUS");
    return;
  }
  for (auto _ : state) {
    for (const YVector<uint8_t>& bytes : classes.classes) {
      YVector<uint8_t> written;
      parseAndWrite(bytes, written);
      benchmark::DoNotOptimize(written.data);
    }
  }
  state.counters["classes"] = double(classes.classes.size());
  state.counters["refused"] = classes.refused;
  state.counters["classes_per_second"] =
      benchmark::Counter(double(classes.classes.size()), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_ClassFileParseWrite)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace
