#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tests/jvm/AgentRun.h"
#include "tests/jvm/ProfileTables.h"
#include "tests/support/SnapshotReader.h"
#include "tests/tools/AllocationSites.h"
#include "tests/tools/BiggestObjects.h"
#include "tests/tools/CallTree.h"
#include "tests/tools/CpuHotPaths.h"
#include "tests/tools/ExceptionSites.h"
#include "tests/tools/HeapGraph.h"
#include "tests/tools/MonitorSites.h"
#include "tests/tools/ProfileModel.h"

// The figures that scripts/demo.sh prints, read by its tools from the recordings of the demo program
// (demo/Demo.java), against what the program says it did: the traced call counts per call path, the
// allocation sites, the biggest objects that the host's dominators give, the contended monitor and the
// exception sites. Each recording is started from the start-up options, as the demo starts it.

namespace {

using profiletables::figure;

constexpr int rounds = 100;

// What the demo prints: "<figures of each kind>" after the labels of its output lines.
struct DemoFigures {
  int64_t calls;  // of each per-round method
  int64_t orders;
  int64_t badQuantities;
  int64_t outOfStock;
  int64_t products;
};

DemoFigures figuresOf(const std::string& output) {
  return {figure(output, " rounds each: "), figure(output, "demo: made "), figure(output, "demo: caught "),
          figure(output, "Integer.parseInt and "), figure(output, "built a catalog of ")};
}

class DemoTest : public AgentRunTest {
 protected:
  fs::path runDir() const { return fs::path(work.path()) / "run"; }

  // The demo under the agent with a recording's options; its snapshot, read whole.
  snapshotfile::Snapshot profile(const std::string& recording, DemoFigures& figures) {
    fs::create_directories(runDir());
    const ProgramRun run = runProgram({java, "-agentpath:" + library + "=" + optionsWith("dir=" + runDir().string() + "," + recording),
                                       "-cp", TALLYSCOPE_DEMO_CLASSES, "Demo", std::to_string(rounds)},
                                      nextOutputPath());
    if (run.exitCode != 0) throw std::runtime_error("the demo failed:\n" + run.output);
    figures = figuresOf(run.output);
    EXPECT_EQ(4 * rounds, figures.calls) << run.output;
    EXPECT_EQ(std::vector<std::string>(), troubleLines(logs()));
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(runDir())) {
      if (entry.path().extension() == ".snapshot") files.push_back(entry.path());
    }
    if (files.size() != 1) throw std::runtime_error(std::to_string(files.size()) + " snapshots instead of one");
    return snapshotfile::readSnapshotFile(files[0].string());
  }
};

const calltree::Node* findNode(const std::vector<calltree::Node>& nodes, const std::string& method) {
  for (const calltree::Node& node : nodes) {
    if (node.method == method) return &node;
  }
  return nullptr;
}

}  // namespace

TEST_F(DemoTest, SamplingFindsTheDemosOwnMethodsHottest) {
  DemoFigures figures{};
  const cpuhotpaths::CpuProfile cpu =
      cpuhotpaths::readCpuProfile(profilemodel::ProfileModel(profile("sampling,onexit=snapshot", figures)));
  ASSERT_GE(cpu.methods.size(), 3u);
  int demoMethods = 0;
  for (size_t i = 0; i < 3; i++) demoMethods += cpu.methods[i].name.rfind("Demo", 0) == 0 ? 1 : 0;
  EXPECT_GE(demoMethods, 2) << cpu.methods[0].name << ", " << cpu.methods[1].name << ", " << cpu.methods[2].name;
}

// Every call of the demo's per-round methods, counted along its one call path; and the throws that end
// Demo.reserve leave the calls after them where they were made, not below the ended call.
TEST_F(DemoTest, TracingCountsEveryCallOfEachPathAsTheDemoMadeThem) {
  DemoFigures figures{};
  const calltree::CallTree tree = calltree::readCallTree(profilemodel::ProfileModel(profile("tracing,onexit=snapshot", figures)));
  const struct {
    std::vector<std::string> path;
    int64_t calls;
  } paths[] = {
      {{"Demo$Worker.run", "Demo$Worker.work", "Demo.countPrimes"}, figures.calls},
      {{"Demo$Worker.run", "Demo$Worker.work", "Demo.tallyRandomNumbers"}, figures.calls},
      {{"Demo$Worker.run", "Demo$Worker.work", "Demo.checksum"}, figures.calls},
      {{"Demo$Worker.run", "Demo$Worker.work", "Demo$Ledger.post", "Demo.checksum"}, figures.calls},
      {{"Demo$Worker.work", "Demo.reserve"}, figures.outOfStock},
      // Each method along every path it has.
      {{"Demo.countPrimes"}, figures.calls},
      {{"Demo.checksum"}, 2 * figures.calls},
      {{"Demo.reserve"}, figures.outOfStock},
      // Nothing below a call that ended by a throw.
      {{"Demo.reserve", "Demo.countPrimes"}, 0},
  };
  for (const auto& p : paths) {
    std::string text;
    for (const std::string& method : p.path) text += " > " + method;
    EXPECT_EQ(p.calls, calltree::callsAlong(tree.roots, p.path)) << text;
  }

  // The workers' outer calls keep the time of what they called, throws and all.
  const calltree::Node* run = findNode(tree.roots, "Demo$Worker.run");
  ASSERT_NE(nullptr, run);
  EXPECT_EQ(4, run->calls);
  const calltree::Node* workNode = findNode(run->children, "Demo$Worker.work");
  ASSERT_NE(nullptr, workNode);
  int64_t callees = 0;
  for (const calltree::Node& child : workNode->children) callees += child.ns;
  EXPECT_GE(workNode->ns, callees);
  const calltree::Node* countPrimes = findNode(workNode->children, "Demo.countPrimes");
  ASSERT_NE(nullptr, countPrimes);
  EXPECT_GT(countPrimes->ns, 0);
}

// The objects of the catalog that the main thread builds and of each order that a worker makes, exactly;
// and the biggest objects of the heap at the exit are the catalog, then the image cache, each with the size
// the demo gave it.
TEST_F(DemoTest, AllocationSitesCountTheOrdersAndTheHostsDominatorsFindTheCatalogBiggest) {
  DemoFigures figures{};
  const snapshotfile::Snapshot snapshot = profile("alloceach=1", figures);
  const allocationsites::Allocations allocations = allocationsites::readAllocations(profilemodel::ProfileModel(snapshot));
  // Objects by the site's method and the class.
  std::map<std::pair<std::string, std::string>, int64_t> objects;
  for (const allocationsites::Site& site : allocations.sites) {
    if (site.where.empty()) continue;
    objects[{site.where[0].substr(0, site.where[0].rfind(':')), site.className}] += site.objects;
  }
  const struct {
    const char* method;
    const char* className;
    int64_t objects;
  } expected[] = {
      {"Demo$Worker.newOrder", "Demo$Order", figures.orders},
      {"Demo$Worker.newOrder", "long[]", figures.orders},
      {"Demo$Catalog.<init>", "Demo$Product", figures.products},
      {"Demo$Catalog.<init>", "int[]", figures.products},
  };
  for (const auto& e : expected) EXPECT_EQ(e.objects, (objects[{e.method, e.className}])) << e.method << " " << e.className;

  const heapgraph::HeapGraph graph(snapshot);
  const fs::path hostDir = fs::path(work.path()) / "host";
  fs::create_directories(hostDir);
  writeWhole(hostDir / "heap.graph", graph.graphFile());
  const ProgramRun host = runProgram({java, "-cp", TALLYSCOPE_JVM_HOST_PROGRAMS, "DominatorRequests", library,
                                      hostDir.string(), "once", (hostDir / "heap.graph").string()},
                                     nextOutputPath(), {"BRANTEL_HOME=" + work.path()});
  ASSERT_EQ(0, host.exitCode) << host.output;
  const biggestobjects::Heap heap = biggestobjects::readBiggestObjects(
      graph, biggestobjects::littleEndianInts(readWhole(hostDir / "heap.idom")),
      biggestobjects::littleEndianInts(readWhole(hostDir / "heap.reached")));
  ASSERT_GE(heap.biggest.size(), 2u);
  const biggestobjects::Entry& catalog = heap.biggest[0];
  EXPECT_EQ("Demo$Catalog", catalog.label);
  EXPECT_EQ("class Demo, static catalog", catalog.heldBy);
  // 50000 products, each with a price history of 100 ints.
  EXPECT_GT(catalog.retained, 50000u * (100 * 4 + 16));
  const biggestobjects::Entry& images = heap.biggest[1];
  EXPECT_EQ("Demo$ImageCache", images.label);
  constexpr uint64_t imageBytes = 48 * 128 * 1024;
  EXPECT_GE(images.retained, imageBytes);
  EXPECT_LE(images.retained, imageBytes + 48 * 64 + 1024) << "48 arrays of 128 KB, their array and the cache";
}

// The ledger's contended posts (the main thread holds the ledger until every worker waits for it, so there
// are some), and every exception at its throw and catch site.
TEST_F(DemoTest, MonitorsAndExceptionsShowTheLedgerAndTheDemosThrowsWhereTheyHappened) {
  DemoFigures figures{};
  const profilemodel::ProfileModel model(profile("monitors,exceptions=on,onexit=snapshot", figures));
  int64_t blocked = 0;
  for (const monitorsites::Site& site : monitorsites::readMonitors(model).sites) {
    if (site.className != "Demo$Ledger") continue;
    EXPECT_FALSE(site.waited);
    ASSERT_FALSE(site.where.empty());
    EXPECT_EQ(0u, site.where[0].rfind("Demo$Ledger.post:", 0)) << site.where[0];
    blocked += site.count;
  }
  EXPECT_GE(blocked, 1);
  EXPECT_LE(blocked, figures.calls);

  int64_t badQuantities = 0;
  int64_t outOfStock = 0;
  for (const exceptionsites::Site& site : exceptionsites::readExceptions(model).sites) {
    if (site.thrownAt.empty() || site.caughtAt.empty()) continue;
    if (site.className == "java.lang.NumberFormatException" &&
        site.thrownAt[0].rfind("Integer.parseInt", 0) == 0 && site.caughtAt[0].rfind("Demo.parseQuantity:", 0) == 0) {
      badQuantities += site.count;
    }
    if (site.className == "Demo$OutOfStockException" && site.thrownAt[0].rfind("Demo.reserve:", 0) == 0 &&
        site.caughtAt[0].rfind("Demo$Worker.work:", 0) == 0) {
      outOfStock += site.count;
    }
  }
  EXPECT_EQ(figures.badQuantities, badQuantities);
  EXPECT_EQ(figures.outOfStock, outOfStock);
}
