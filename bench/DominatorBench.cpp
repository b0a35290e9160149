// The dominator benchmark's driver (bench/dominators.sh runs it). Two commands:
//   generate <shape> <nodes> <file>   writes an input graph file: "random" (mean out-degree 4, 1000 roots,
//                                     every node reachable), "chain" (1 -> 2 -> ... -> N - 1) or "hubs"
//                                     (1000 roots over 9 hubs of 10^6 references each, whose records
//                                     share a pool of leaves)
//   run <algorithm> <input> <output> <temporary directory>
//                                     "snca" or "low_mem" through computeDominators, or "boost": Boost's
//                                     Lengauer-Tarjan on an adjacency list read from the same file and
//                                     written in the same output format. Prints one line of figures.
// One process per run, so that the peak memory figures are the run's own.
#include <boost/graph/adjacency_list.hpp>
#include <boost/graph/dominator_tree.hpp>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <numeric>
#include <string>
#include <vector>

#include "agent/heap/DominatorDriver.h"
#include "agent/support/Log.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// splitmix64: fast, and the same graph on every machine.
struct Random {
  uint64_t state;
  uint64_t next() {
    uint64_t z = (state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }
  int32_t below(int64_t bound) { return int32_t(next() % uint64_t(bound)); }
};

class ValueWriter {
 public:
  explicit ValueWriter(const char* path) : file(std::fopen(path, "wb")) {
    if (file == nullptr) std::exit(2);
    buffer.reserve(1 << 20);
  }
  ~ValueWriter() {
    flush();
    std::fclose(file);
  }
  void put(int32_t value) {
    for (int32_t k = 0; k < 4; k++) buffer.push_back(char(uint32_t(value) >> (8 * k) & 0xff));
    if (buffer.size() >= (1u << 20)) flush();
  }

 private:
  void flush() {
    if (!buffer.empty() && std::fwrite(buffer.data(), 1, buffer.size(), file) != buffer.size()) std::exit(2);
    buffer.clear();
  }
  FILE* file;
  std::vector<char> buffer;
};

// Random: the nodes in a random order, each after the first 1000 (the roots) referred to by one placed
// before it, and on average 3 more references to any node, so the mean out-degree is 4.
void generateRandom(int32_t n, ValueWriter& out) {
  Random random{42};
  std::vector<int32_t> order(size_t(n - 1));
  std::iota(order.begin(), order.end(), 1);
  for (int64_t k = int64_t(order.size()) - 1; k > 0; k--) std::swap(order[size_t(k)], order[size_t(random.below(k + 1))]);
  const int32_t roots = std::min(1000, n - 1);
  // The tree references as lists by source: first the counts, then the targets.
  std::vector<int32_t> start(size_t(n) + 1, 0);
  std::vector<int32_t> parent(size_t(n - 1), 0);
  for (int32_t k = roots; k < n - 1; k++) {
    parent[size_t(k)] = order[size_t(random.below(k))];
    start[size_t(parent[size_t(k)]) + 1]++;
  }
  for (int32_t u = 0; u < n; u++) start[size_t(u) + 1] += start[size_t(u)];
  std::vector<int32_t> children(size_t(start[size_t(n)]));
  std::vector<int32_t> fill(start.begin(), start.end() - 1);
  for (int32_t k = roots; k < n - 1; k++) children[size_t(fill[size_t(parent[size_t(k)])]++)] = order[size_t(k)];
  parent.clear();
  parent.shrink_to_fit();
  out.put(n);
  for (int32_t u = 1; u < n; u++) {
    const int32_t extra = random.below(7);
    out.put(start[size_t(u) + 1] - start[size_t(u)] + extra);
    for (int32_t j = start[size_t(u)]; j < start[size_t(u) + 1]; j++) out.put(children[size_t(j)]);
    for (int32_t j = 0; j < extra; j++) out.put(1 + random.below(n - 1));
  }
  out.put(roots);
  for (int32_t k = 0; k < roots; k++) out.put(order[size_t(k)]);
}

void generateChain(int32_t n, ValueWriter& out) {
  out.put(n);
  for (int32_t u = 1; u < n - 1; u++) {
    out.put(1);
    out.put(u + 1);
  }
  out.put(0);
  out.put(1);
  out.put(1);
}

// Hubs: roots 1 to 1000 each refer to one of 9 hubs (1001 to 1009); each hub refers to its 10^6 records;
// each record refers to two leaves of the shared pool that takes the remaining nodes.
void generateHubs(int32_t n, ValueWriter& out) {
  constexpr int32_t roots = 1000, hubs = 9, records = 1000000;
  const int32_t firstRecord = roots + hubs + 1;
  const int32_t firstLeaf = firstRecord + hubs * records;
  if (n <= firstLeaf) std::exit(2);
  Random random{7};
  out.put(n);
  for (int32_t u = 1; u < n; u++) {
    if (u <= roots) {
      out.put(1);
      out.put(roots + 1 + u % hubs);
    } else if (u < firstRecord) {
      out.put(records);
      const int32_t from = firstRecord + (u - roots - 1) * records;
      for (int32_t j = 0; j < records; j++) out.put(from + j);
    } else if (u < firstLeaf) {
      out.put(2);
      out.put(firstLeaf + random.below(n - firstLeaf));
      out.put(firstLeaf + random.below(n - firstLeaf));
    } else {
      out.put(0);
    }
  }
  out.put(roots);
  for (int32_t r = 1; r <= roots; r++) out.put(r);
}

// Peak resident and peak virtual size of this process in MiB, from /proc/self/status.
void peakMemory(double& residentMiB, double& virtualMiB) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) residentMiB = std::strtod(line.c_str() + 6, nullptr) / 1024;
    if (line.rfind("VmPeak:", 0) == 0) virtualMiB = std::strtod(line.c_str() + 7, nullptr) / 1024;
  }
}

// The time between the driver's "starting" line and its "Writing output: " line: the computation alone.
// With DOMINATOR_BENCH_PHASES set, every phase line goes to the standard error stream with its time.
Clock::time_point computeStart, computeEnd;
const bool showPhases = std::getenv("DOMINATOR_BENCH_PHASES") != nullptr;

void timingSink(const YString& entry) {
  const char* text = entry.data;
  if (showPhases && std::strstr(text, "_dcc: ") != nullptr && std::strstr(text, "_dcc: 7: i=") == nullptr) {
    std::fprintf(stderr, "%8.3f %s\n", secondsSince(computeStart), text);
  }
  if (std::strstr(text, "] starting DominatorComputerSnca") != nullptr) computeStart = Clock::now();
  if (std::strstr(text, "] Writing output: ") != nullptr) computeEnd = Clock::now();
}

int32_t readInt(const std::vector<char>& bytes, size_t& at) {
  uint32_t value = 0;
  for (int32_t k = 0; k < 4; k++, at++) value |= at < bytes.size() ? uint32_t(uint8_t(bytes[at])) << (8 * k) : 0;
  return int32_t(value);
}

// Boost as its users would run it: the whole file read, an adjacency list built with the virtual root's
// edges to the roots, Lengauer-Tarjan, and the result written in our output format.
int32_t runBoost(const char* input, const char* output, double& computeSeconds) {
  using Graph = boost::adjacency_list<boost::vecS, boost::vecS, boost::bidirectionalS, boost::no_property,
                                      boost::no_property, boost::no_property, boost::vecS>;
  using Vertex = boost::graph_traits<Graph>::vertex_descriptor;
  std::vector<char> bytes;
  {
    std::ifstream in(input, std::ios::binary | std::ios::ate);
    if (!in) return 2;
    bytes.resize(size_t(in.tellg()));
    in.seekg(0);
    in.read(bytes.data(), std::streamsize(bytes.size()));
  }
  size_t at = 0;
  const int32_t n = readInt(bytes, at);
  if (n < 1) return 101;
  Graph g(static_cast<size_t>(n));
  for (int32_t u = 1; u < n; u++) {
    const int32_t count = readInt(bytes, at);
    if (count < 0) return 4;
    for (int32_t j = 0; j < count; j++) {
      const int32_t t = readInt(bytes, at);
      if (t < 1 || t >= n) return 5;
      boost::add_edge(Vertex(u), Vertex(t), g);
    }
  }
  std::vector<bool> isRoot(size_t(n), false);
  for (int32_t j = readInt(bytes, at); j > 0; j--) {
    const int32_t r = readInt(bytes, at);
    if (r < 1 || r >= n) return 6;
    if (!isRoot[size_t(r)]) boost::add_edge(Vertex(0), Vertex(r), g);
    isRoot[size_t(r)] = true;
  }
  bytes.clear();
  bytes.shrink_to_fit();

  const Clock::time_point start = Clock::now();
  std::vector<Vertex> dominator(size_t(n), boost::graph_traits<Graph>::null_vertex());
  boost::lengauer_tarjan_dominator_tree(
      g, Vertex(0), boost::make_iterator_property_map(dominator.begin(), boost::get(boost::vertex_index, g)));
  computeSeconds = secondsSince(start);

  ValueWriter out(output);
  for (int32_t v = 1; v < n; v++) {
    out.put(dominator[size_t(v)] == boost::graph_traits<Graph>::null_vertex() ? 0 : int32_t(dominator[size_t(v)]));
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::strcmp(argv[1], "generate") == 0) {
    const int32_t n = int32_t(std::strtol(argv[3], nullptr, 10));
    ValueWriter out(argv[4]);
    const std::string shape = argv[2];
    if (shape == "random") {
      generateRandom(n, out);
    } else if (shape == "chain") {
      generateChain(n, out);
    } else if (shape == "hubs") {
      generateHubs(n, out);
    } else {
      return 2;
    }
    return 0;
  }
  if (argc != 6 || std::strcmp(argv[1], "run") != 0) {
    std::fprintf(stderr, "usage: %s generate random|chain|hubs <nodes> <file>\n"
                         "       %s run snca|low_mem|boost <input> <output> <temporary directory>\n",
                 argv[0], argv[0]);
    return 2;
  }
  const std::string algorithm = argv[2];
  setLogSink(&timingSink);
  const Clock::time_point start = Clock::now();
  double computeSeconds = 0;
  int32_t code;
  if (algorithm == "boost") {
    code = runBoost(argv[3], argv[4], computeSeconds);
  } else {
    code = computeDominatorsCaught(YString(argv[3]), YString(argv[4]), YString(argv[2]), YString(argv[5]));
    computeSeconds = std::chrono::duration<double>(computeEnd - computeStart).count();
  }
  const double total = secondsSince(start);
  double residentMiB = 0, virtualMiB = 0;
  peakMemory(residentMiB, virtualMiB);
  int64_t nodes = 0;
  {
    std::ifstream in(argv[3], std::ios::binary);
    std::vector<char> head(4);
    in.read(head.data(), 4);
    size_t at = 0;
    nodes = readInt(head, at);
  }
  std::printf("code=%d compute_s=%.3f total_s=%.3f nodes_per_s=%.0f peak_rss_mib=%.0f peak_vm_mib=%.0f\n", code,
              computeSeconds, total, computeSeconds > 0 ? double(nodes) / computeSeconds : 0.0, residentMiB,
              virtualMiB);
  return code;
}
