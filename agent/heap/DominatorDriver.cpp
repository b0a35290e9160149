#include "agent/heap/DominatorDriver.h"

#include <new>
#include <utility>

#include "agent/heap/DominatorComputerSnca.h"
#include "agent/heap/DominatorComputerSncaLowMem.h"
#include "agent/heap/DominatorGraphFiles.h"
#include "agent/heap/FlatIntArray.h"
#include "agent/platform/Files.h"
#include "agent/support/BZPRuntimeException.h"
#include "agent/support/FatalError.h"
#include "agent/support/Log.h"

namespace {

constexpr const char* source = "Dominators";

int32_t refuse(const char* text, const YString& subject, int32_t code) {
  logMessage(YString(text) + subject);
  return code;
}

}  // namespace

int32_t computeDominators(const YString& inputPath, const YString& outputPath, const YString& algorithm,
                          const YString& tempDirectory) {
  FileDescriptorGuard input(openFileForRead(inputPath));
  if (input.fd < 0) return refuse("Failed to open input file: ", inputPath, 2);
  FileDescriptorGuard output(openFileForWrite(outputPath));
  if (output.fd < 0) return refuse("Failed to open output file: ", outputPath, 3);

  DominatorGraph graph;
  {
    GraphFileReader in(input.fd);
    logWithMemoryUsage(YString("Reading input: ") + inputPath);
    const int32_t code = readDominatorGraph(in, graph);
    if (code != 0) return code;
  }

  const bool snca = algorithm.equals("snca");
  const bool lowMem = algorithm.equals("low_mem");
  // The low-memory computation reads the input again, through the same descriptor.
  if (!lowMem) input.close();
  if (graph.refs == nullptr) {
    // Too short to hold a root, so nothing N-sized is made: the computation would stop at once.
    if (!snca && !lowMem) return refuse("error: unsupported algorithm: ", algorithm, 7);
    assertionFailed("assertion failed", source, __LINE__);
  }
  logWithMemoryUsage(YString("creating idom..."));
  FlatIntArray idom("i", graph.n);
  if (snca) {
    logWithMemoryUsage(YString("starting DominatorComputerSnca..."));
    DominatorComputerSnca::compute(graph.n, std::move(graph.refs), graph.roots.data, graph.roots.size, idom);
  } else if (lowMem) {
    logWithMemoryUsage(YString("starting DominatorComputerSnca_LowMem (with files)..."));
    const int32_t code = DominatorComputerSnca_LowMem::compute(input.fd, graph, idom, tempDirectory);
    if (code != 0) return code;
    input.close();
  } else {
    return refuse("error: unsupported algorithm: ", algorithm, 7);
  }

  logWithMemoryUsage(YString("Writing output: ") + outputPath);
  const YString errorText = writeDominatorOutput(output.fd, idom);
  output.close();
  if (errorText.length > 0) {
    logWithMemoryUsage(YString("write error: ") + errorText);
    return 8;
  }
  logWithMemoryUsage(YString("OK"));
  return 0;
}

int32_t computeDominatorsCaught(const YString& inputPath, const YString& outputPath, const YString& algorithm,
                                const YString& tempDirectory) {
  try {
    return computeDominators(inputPath, outputPath, algorithm, tempDirectory);
  } catch (const std::bad_alloc&) {
    onExceptionCaught(source, __LINE__);
    return 100;
  } catch (const BZPRuntimeException&) {
    onExceptionCaught(source, __LINE__);
    return 101;
  }
}
