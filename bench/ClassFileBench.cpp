// The class-file model over the JDK's own classes, the road every class takes through the agent. The
// classes are loaded into memory first; one iteration is a pass over all of them, and classes_per_second
// is the figure that scripts/bench.sh sets beside ASM's over the same files:
//   BM_ClassFileParseWrite   each class parsed (its stack-map frames expanded) and written back, beside
//                            bench/AsmRoundTrip.java
//   BM_ClassFileInstrument   each class parsed, instrumented for CPU tracing and allocation recording and
//                            written, beside bench/AsmInstrument.java; each pass starts with a fresh
//                            database, so every method's record is made on the way as at a class's load
// The corpus is the directory named by TALLYSCOPE_CLASS_CORPUS, else "class-corpus" in the working
// directory.

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
#include "agent/classfile/CodeAttribute.h"
#include "agent/classfile/DataInput.h"
#include "agent/classfile/DataOutput.h"
#include "agent/classfile/MethodInfo.h"
#include "agent/db/DB.h"
#include "agent/instrumentation/ClassInstrumenter.h"
#include "agent/support/BZPRuntimeException.h"
#include "agent/support/NamedLocks.h"
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

// What a pass of the instrumentation did, counted in a pass of its own outside the timing.
struct InstrumentCounts {
  int32_t instrumented = 0;    // classes with at least one patched method
  int32_t tooLong = 0;         // classes given up: a method too long even without line callbacks
  int32_t patchedMethods = 0;  // methods whose code changed
  int32_t methodsWithCode = 0;
};

// The class road's work on one class, under "ourLock" as there: parse, instrumentClass and write (also
// when nothing was patched, as ASM writes every class).
void instrumentAndWrite(const YVector<uint8_t>& bytes, YVector<uint8_t>& written) {
  YCriticalSectionLock held(&ourLock(), "Bench:1");
  DataInput in(bytes);
  ClassFile classFile(in);
  bool tooLong = false;
  instrumentClass(classFile, tooLong, true, true);
  DataOutput out(written);
  classFile.write(out);
}

InstrumentCounts countInstrumentation(const Corpus& classes) {
  InstrumentCounts counts;
  for (const YVector<uint8_t>& bytes : classes.classes) {
    DataInput in(bytes);
    ClassFile classFile(in);
    const YVector<MethodInfo*>& methods = classFile.getMethods();
    YVector<int32_t> lengths;
    for (int32_t i = 0; i < methods.size; i++) {
      const CodeAttribute* code = methods[i]->getCodeAttribute();
      lengths.add(code == nullptr ? -1 : code->getCodeLength());
      if (code != nullptr) counts.methodsWithCode++;
    }
    bool tooLong = false;
    YCriticalSectionLock held(&ourLock(), "Bench:2");
    if (instrumentClass(classFile, tooLong, true, true)) counts.instrumented++;
    if (tooLong) counts.tooLong++;
    for (int32_t i = 0; i < methods.size; i++) {
      const CodeAttribute* code = methods[i]->getCodeAttribute();
      if (code != nullptr && code->getCodeLength() != lengths[i]) counts.patchedMethods++;
    }
  }
  return counts;
}

void BM_ClassFileInstrument(benchmark::State& state) {
  const Corpus& classes = corpus();
  if (classes.classes.empty()) {
    state.SkipWithError("no class files: set TALLYSCOPE_CLASS_CORPUS");
    return;
  }
  createDatabase(3600);
  const InstrumentCounts counts = countInstrumentation(classes);
  destroyDatabaseForTest();
  for (auto _ : state) {
    state.PauseTiming();
    createDatabase(3600);
    state.ResumeTiming();
    for (const YVector<uint8_t>& bytes : classes.classes) {
      YVector<uint8_t> written;
      instrumentAndWrite(bytes, written);
      benchmark::DoNotOptimize(written.data);
    }
    state.PauseTiming();
    destroyDatabaseForTest();
    state.ResumeTiming();
  }
  state.counters["classes"] = double(classes.classes.size());
  state.counters["instrumented_classes"] = counts.instrumented;
  state.counters["too_long_classes"] = counts.tooLong;
  state.counters["patched_methods"] = counts.patchedMethods;
  state.counters["methods_with_code"] = counts.methodsWithCode;
  state.counters["classes_per_second"] =
      benchmark::Counter(double(classes.classes.size()), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_ClassFileInstrument)->Unit(benchmark::kMillisecond)->UseRealTime()->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace
