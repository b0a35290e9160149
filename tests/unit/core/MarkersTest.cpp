#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

#include "agent/core/MarkerFiles.h"
#include "agent/core/Markers.h"
#include "agent/core/Options.h"
#include "agent/platform/Directories.h"
#include "agent/platform/Processes.h"
#include "agent/platform/SharedMemory.h"
#include "tests/support/FatalErrorOutput.h"
#include "tests/support/LogCapture.h"
#include "tests/support/LoopbackSockets.h"
#include "tests/support/ScopedValue.h"
#include "tests/support/ScopedVariable.h"
#include "tests/support/TempDir.h"

namespace {

// A name that no shared-memory service accepts, standing for a Global section this user may not open.
const std::string unopenableArea = "Global\\no\\such\\" + std::string(300, 'x');

int32_t ownPid() { return int32_t(getOwnPid()); }

std::vector<int32_t> markedPids(int32_t mask) {
  YVector<int32_t> found;
  EXPECT_TRUE(fillMarkedPids(mask, &found));
  return std::vector<int32_t>(found.data, found.data + found.size);
}

// The (pid, port, type) triple of `pid` in a fillMarkedPids result; empty when it is not there, and a
// failure when it is there twice.
std::vector<int32_t> entryOf(const std::vector<int32_t>& marked, int32_t pid) {
  std::vector<int32_t> entry;
  for (size_t i = 0; i + 2 < marked.size(); i += 3) {
    if (marked[i] != pid) continue;
    EXPECT_TRUE(entry.empty()) << "pid " << pid << " listed twice";
    entry = {marked[i], marked[i + 1], marked[i + 2]};
  }
  return entry;
}

std::vector<int32_t> freePorts(int32_t from, int32_t to) {
  YVector<int32_t> ports;
  getFreePorts(&ports, from, to);
  return std::vector<int32_t>(ports.data, ports.data + ports.size);
}

bool contains(const std::vector<int32_t>& values, int32_t value) {
  for (int32_t v : values) {
    if (v == value) return true;
  }
  return false;
}

size_t countLines(const std::vector<std::string>& entries, const std::string& text) {
  size_t count = 0;
  for (const std::string& entry : entries) count += entry.find(text) != std::string::npos;
  return count;
}

// Sections, mutexes and a markers folder of the test's own, so that no real agent's markers and no other
// test's meet these.
class MarkersTest : public ::testing::Test {
 protected:
  void SetUp() override { useSections(markerSlotCount); }

  void TearDown() override {
#ifndef _WIN32
    // POSIX objects outlive their processes; Windows drops them with the last handle.
    shm_unlink(("/" + base + " SHARE G").c_str());
    shm_unlink(("/" + base + " SHARE L." + std::to_string(geteuid())).c_str());
    unlink(("/tmp/" + base + " MUTEX G.mutex").c_str());
    unlink(("/tmp/tallyscope-" + std::to_string(geteuid()) + "/" + base + " MUTEX L.mutex").c_str());
#endif
  }

  void useSections(int32_t slots, const std::string& globalArea = std::string()) {
    static int32_t generation = 0;
    base = "tallyscope-test-" + std::to_string(ownPid()) + "-" + std::to_string(++generation);
    globalAreaName = globalArea.empty() ? "Global\\" + base + " SHARE G" : globalArea;
    slotCount = slots;
    useMarkerSectionsForTest({globalAreaName.c_str(), ("Global\\" + base + " MUTEX G").c_str()},
                             {("Local\\" + base + " SHARE L").c_str(), ("Local\\" + base + " MUTEX L").c_str()},
                             slots);
  }

  // The slots of a section after opening the sections as every operation does; null when it failed.
  MarkerSlot* slots(int32_t index) {
    openMarkerSections();
    return markerSectionForTest(index);
  }

  int32_t slotsOf(int32_t index, int32_t pid) {
    int32_t count = 0;
    for (int32_t i = 0; i < slotCount; i++) count += slots(index)[i].pid == uint32_t(pid);
    return count;
  }

  TempDir programData;
  ScopedVariable programDataVariable{"ProgramData", programData.path().c_str()};
  std::string base;
  std::string globalAreaName;
  int32_t slotCount = 0;
};

}  // namespace

TEST_F(MarkersTest, PublishesInBothSectionsAndListsTheProcessOnce) {
  createMarker(31001, 5, YString("demo"));
  createMarker(31002, 5, YString("demo-2"));  // rewrites the same slots
  ASSERT_NE(slots(globalMarkerSection), nullptr);
  ASSERT_NE(slots(localMarkerSection), nullptr);
  EXPECT_EQ(slotsOf(globalMarkerSection, ownPid()), 1);
  EXPECT_EQ(slotsOf(localMarkerSection, ownPid()), 1);

  EXPECT_EQ(entryOf(markedPids(1), ownPid()), (std::vector<int32_t>{ownPid(), 31002, 5}));
  EXPECT_EQ(entryOf(markedPids(4 | 1), ownPid()), (std::vector<int32_t>{ownPid(), 31002, 5}));
  EXPECT_TRUE(entryOf(markedPids(2), ownPid()).empty()) << "a mask that shares no bit";
  EXPECT_STREQ(getSessionNameFromMarker(ownPid()).data, "demo-2");
  EXPECT_STREQ(getSessionNameFromMarker(0x3FFFFFF0).data, "");
  EXPECT_STREQ(getSessionNameFromMarker(0).data, "") << "a free slot is nobody's marker";

  YVector<int32_t> filePids;
  listMarkerFilePids(&filePids);
  EXPECT_EQ(filePids.size, 0) << "no marker file while the Global section is open";
}

TEST_F(MarkersTest, LongNamesAreShortenedWithoutSplittingACharacter) {
  const std::string euro = "\xE2\x82\xAC";
  const struct {
    std::string name;
    std::string published;
  } cases[] = {
      {std::string(46, 'a'), std::string(46, 'a')},
      {std::string(47, 'a'), std::string(44, 'a') + "..."},
      {std::string(100, 'a'), std::string(44, 'a') + "..."},
      {std::string(43, 'a') + "\xC3\xA9" + std::string(10, 'b'), std::string(43, 'a') + "..."},
      {std::string(42, 'a') + euro + std::string(10, 'b'), std::string(42, 'a') + "..."},
      {std::string(41, 'a') + euro + std::string(10, 'b'), std::string(41, 'a') + euro + "..."},
  };
  for (const auto& c : cases) {
    createMarker(1, 1, YString(c.name.c_str()));
    EXPECT_EQ(getSessionNameFromMarker(ownPid()).data, c.published) << c.name;
  }
}

TEST_F(MarkersTest, ClaimsTheNextFreeSlotAndFindsThePidWhereverItLanded) {
  constexpr int32_t slotTotal = 7;
  useSections(slotTotal);
  const int32_t gone = ownPid() + slotTotal * 1000000;  // same home slot, no such process
  ASSERT_FALSE(isProcessRunning(uint32_t(gone)));
  const int32_t home = ownPid() % slotTotal;
  MarkerSlot* section = slots(globalMarkerSection);
  ASSERT_NE(section, nullptr);
  ASSERT_EQ(findMarkerByPid(globalMarkerSection, gone, true), &section[home]);

  const int32_t next = (home + 1) % slotTotal;
  ASSERT_EQ(findMarkerByPid(globalMarkerSection, ownPid(), true), &section[next]);
  purgeDeadMarkers();
  EXPECT_EQ(section[home].pid, 0u) << "the ended process's slot is purged";
  EXPECT_EQ(section[next].pid, uint32_t(ownPid()));
  EXPECT_EQ(findMarkerByPid(globalMarkerSection, ownPid(), false), &section[next]);
  EXPECT_EQ(findMarkerByPid(globalMarkerSection, gone, false), nullptr);
}

TEST_F(MarkersTest, AFullSectionIsLeftUnchanged) {
  constexpr int32_t slotTotal = 2;
  useSections(slotTotal);
  YVector<uint32_t> pids;
  ASSERT_TRUE(getAllPids(pids));
  std::vector<int32_t> others;
  for (int32_t i = 0; i < pids.size && others.size() < slotTotal; i++) {
    if (pids.get(i) != uint32_t(ownPid())) others.push_back(int32_t(pids.get(i)));
  }
  if (others.size() < slotTotal) GTEST_SKIP() << "fewer than two other processes run";
  for (int32_t section = 0; section < 2; section++) {
    ASSERT_NE(slots(section), nullptr);
    for (int32_t pid : others) findMarkerByPid(section, pid, true)->port = 4000;
  }
  const std::string globalBefore(reinterpret_cast<const char*>(slots(0)), sizeof(MarkerSlot) * slotTotal);
  const std::string localBefore(reinterpret_cast<const char*>(slots(1)), sizeof(MarkerSlot) * slotTotal);

  LogCapture log;
  createMarker(4001, 1, YString("crowded"));
  EXPECT_EQ(countLines(log.entries(), "warning: findMarkerByPid: no free slots in 0"), 1u);
  EXPECT_EQ(countLines(log.entries(), "warning: findMarkerByPid: no free slots in 1"), 1u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(slots(0)), sizeof(MarkerSlot) * slotTotal), globalBefore);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(slots(1)), sizeof(MarkerSlot) * slotTotal), localBefore);
  EXPECT_STREQ(getSessionNameFromMarker(ownPid()).data, "");
}

TEST_F(MarkersTest, WritesAMarkerFileWhileTheGlobalSectionCannotBeOpened) {
  useSections(markerSlotCount, unopenableArea);
  LogCapture log;
  createMarker(32001, 3, YString("filed"));
  createMarker(32002, 3, YString("filed-2"));

  const std::string sep(1, pathSeparator);
  const std::string path = programData.path() + sep + "Brantel" + sep + "Markers" +
                           sep + std::to_string(ownPid()) + ".txt";
  EXPECT_EQ(getMarkerFilePath(ownPid()).data, path);
  EXPECT_EQ(countLines(log.entries(), "shmem: " + unopenableArea + ": NULL (1)"), 1u) << "reported once";
  EXPECT_EQ(countLines(log.entries(), "shmem: Global area is unavailable, creating marker " + path), 1u);
  EXPECT_EQ(slots(globalMarkerSection), nullptr);
  EXPECT_EQ(slotsOf(localMarkerSection, ownPid()), 1) << "the Local section is written as well";

  int32_t port = -1;
  int32_t type = -1;
  YString name;
  readMarkerFile(ownPid(), &port, &type, &name);
  EXPECT_EQ(port, 32002);
  EXPECT_EQ(type, 3);
  EXPECT_STREQ(name.data, "filed-2");
  YVector<int32_t> filePids;
  listMarkerFilePids(&filePids);
  ASSERT_EQ(filePids.size, 1);
  EXPECT_EQ(filePids.get(0), ownPid());
  EXPECT_EQ(entryOf(markedPids(2), ownPid()), (std::vector<int32_t>{ownPid(), 32002, 3}));
}

TEST_F(MarkersTest, ReadsMarkerFileLines) {
  const struct {
    const char* text;
    int32_t port;
    int32_t type;
    const char* name;
  } cases[] = {
      {"port=12\ntype=7\nname=app\n", 12, 7, "app"},
      {"port=abc\ntype=7\nname=x", 0, 7, "x"},
      {"port=12\r\ntype=-3\r\nname=\r\n", 12, -3, ""},
      {"name=first\nport=1\nname=second=2\n", 1, 0, "second=2"},
      {"xport=5\nPORT=6\nport=\nname", 0, 0, ""},
      {"", 0, 0, ""},
  };
  const std::string directory = std::string(getMarkersDirectory().data);
  std::filesystem::create_directories(std::filesystem::u8path(directory));
  for (const auto& c : cases) {
    std::ofstream(std::filesystem::u8path(getMarkerFilePath(ownPid()).data), std::ios::binary) << c.text;
    int32_t port = -1;
    int32_t type = -1;
    YString name("old");
    readMarkerFile(ownPid(), &port, &type, &name);
    EXPECT_EQ(port, c.port) << c.text;
    EXPECT_EQ(type, c.type) << c.text;
    EXPECT_STREQ(name.data, c.name) << c.text;
    readMarkerFile(ownPid(), nullptr, nullptr, nullptr);
  }

  int32_t port = -1;
  readMarkerFile(ownPid() + 1000000, &port, nullptr, nullptr);
  EXPECT_EQ(port, 0) << "no file";

  // A file of a process that has ended is a leftover: it reads as absent and goes.
  const int32_t gone = ownPid() + 7000000;
  ASSERT_FALSE(isProcessRunning(uint32_t(gone)));
  const std::string leftover = getMarkerFilePath(gone).data;
  std::ofstream(std::filesystem::u8path(leftover)) << "port=9\ntype=1\nname=old\n";
  YString name;
  readMarkerFile(gone, &port, nullptr, &name);
  EXPECT_EQ(port, 0);
  EXPECT_STREQ(name.data, "");
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::u8path(leftover)));
}

TEST_F(MarkersTest, ListsThePidsOfMarkerFileNames) {
  const std::filesystem::path directory = std::filesystem::u8path(getMarkersDirectory().data);
  std::filesystem::create_directories(directory);
  for (const char* file : {"123.txt", "abc.txt", "0.txt", "77.TXT", "55.txt.bak", "-4.txt", "8", "4294967419.txt"}) {
    std::ofstream(directory / file) << "port=1\n";
  }
  YVector<int32_t> pids;
  listMarkerFilePids(&pids);
  std::vector<int32_t> listed(pids.data, pids.data + pids.size);
  std::sort(listed.begin(), listed.end());
  EXPECT_EQ(listed, (std::vector<int32_t>{-4, 123}));
}

TEST_F(MarkersTest, FreePortsLeaveOutMarkedAndBoundPorts) {
  EXPECT_TRUE(freePorts(5001, 5000).empty());

  const loopback::Listener bound;
  const int32_t held = bound.port();
  std::vector<int32_t> around = freePorts(held - 1, held + 1);
  EXPECT_FALSE(contains(around, held)) << "bound by a listening socket";
  EXPECT_TRUE(std::is_sorted(around.begin(), around.end()));

  int32_t marked;
  {
    const loopback::Listener released;
    marked = released.port();
  }
  ASSERT_TRUE(contains(freePorts(marked, marked), marked)) << "the port should be free once its socket closed";
  createMarker(marked, 1, YString("ports"));
  EXPECT_TRUE(freePorts(marked, marked).empty()) << "held by a marker";
  {
    ScopedValue<bool> skip(globalOptions().skipAdvancedPortCheck, true);
    EXPECT_EQ(freePorts(marked - 1, marked + 1), (std::vector<int32_t>{marked - 1, marked, marked + 1}));
    EXPECT_EQ(freePorts(held, held), (std::vector<int32_t>{held}));
  }
  EXPECT_NE(fatalErrorOf([] { getFreePorts(nullptr, 1, 2); }).find("assertion failed: value is NULL"), std::string::npos);
}

#ifndef _WIN32

namespace {

// The marker publisher in a process of its own, gone when the object goes (or earlier, by `end`).
class Publisher {
 public:
  Publisher(const std::vector<std::string>& arguments) {
    int input[2];
    int output[2];
    if (pipe(input) != 0 || pipe(output) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], 0);
    posix_spawn_file_actions_adddup2(&actions, output[1], 1);
    posix_spawn_file_actions_addclose(&actions, input[1]);
    posix_spawn_file_actions_addclose(&actions, output[0]);
    std::vector<char*> argv{const_cast<char*>(TALLYSCOPE_MARKER_PUBLISHER)};
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const int spawned = posix_spawn(&child, TALLYSCOPE_MARKER_PUBLISHER, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(input[0]);
    close(output[1]);
    toChild = input[1];
    fromChild = output[0];
    if (spawned != 0) throw std::runtime_error("cannot start the marker publisher");
  }
  ~Publisher() { end(); }

  // Whether the child said "ready" before it closed its output.
  bool ready() {
    std::string text;
    char c;
    while (read(fromChild, &c, 1) == 1) {
      text += c;
      if (text.find("ready\n") != std::string::npos) return true;
    }
    return false;
  }

  // Closes the child's input, which ends it, and reaps it.
  void end() {
    if (child == 0) return;
    close(toChild);
    close(fromChild);
    int status = 0;
    waitpid(child, &status, 0);
    child = 0;
  }

  int32_t pid() const { return int32_t(child); }

 private:
  pid_t child = 0;
  int toChild = -1;
  int fromChild = -1;
};

}  // namespace

TEST_F(MarkersTest, AChildsMarkerIsSeenWhileItRunsAndPurgedOnceItEnds) {
  Publisher publisher({"Global\\" + base + " SHARE G", "Global\\" + base + " MUTEX G", "Local\\" + base + " SHARE L",
                       "Local\\" + base + " MUTEX L", std::to_string(markerSlotCount), "33001", "6", "child"});
  ASSERT_TRUE(publisher.ready());
  const int32_t child = publisher.pid();
  EXPECT_EQ(entryOf(markedPids(2), child), (std::vector<int32_t>{child, 33001, 6}));
  EXPECT_STREQ(getSessionNameFromMarker(child).data, "child");
  EXPECT_FALSE(contains(freePorts(33000, 33002), 33001));

  publisher.end();
  EXPECT_TRUE(entryOf(markedPids(2), child).empty());
  EXPECT_EQ(slotsOf(globalMarkerSection, child), 0) << "purged";
  EXPECT_EQ(slotsOf(localMarkerSection, child), 0) << "purged";
  EXPECT_STREQ(getSessionNameFromMarker(child).data, "");
}

TEST_F(MarkersTest, AChildsMarkerFileCountsWhileItRunsAndIsStaleOnceItEnds) {
  const std::string unopenableLocal = "Local\\no\\such\\" + std::string(300, 'y');
  Publisher publisher({unopenableArea, "Global\\" + base + " MUTEX G", unopenableLocal, "Local\\" + base + " MUTEX L",
                       std::to_string(markerSlotCount), "33011", "6", "filed-child"});
  ASSERT_TRUE(publisher.ready());
  const int32_t child = publisher.pid();
  const std::filesystem::path file = std::filesystem::u8path(getMarkerFilePath(child).data);
  ASSERT_TRUE(std::filesystem::exists(file));
  EXPECT_EQ(slotsOf(globalMarkerSection, child), 0);
  EXPECT_EQ(entryOf(markedPids(4), child), (std::vector<int32_t>{child, 33011, 6}));
  EXPECT_STREQ(getSessionNameFromMarker(child).data, "filed-child");
  EXPECT_FALSE(contains(freePorts(33010, 33012), 33011));

  publisher.end();
  EXPECT_TRUE(entryOf(markedPids(4), child).empty());
  EXPECT_STREQ(getSessionNameFromMarker(child).data, "");
  EXPECT_FALSE(std::filesystem::exists(file)) << "a leftover of an ended process is removed";
}

// Another process may have made the object and not yet sized it: mapping it at length 0 would fault on
// the first slot.
TEST_F(MarkersTest, EveryOpenerSizesTheObjectBeforeMappingIt) {
  const std::string name = "/" + base + " SHARE G";
  const int made = shm_open(name.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
  ASSERT_NE(made, -1);
  close(made);
  const int32_t size = markerSlotCount * int32_t(sizeof(MarkerSlot));
  const SharedMemoryArea area = openSharedMemory(("Global\\" + base + " SHARE G").c_str(), size);
  ASSERT_NE(area.view, nullptr);
  EXPECT_FALSE(area.isFirst);
  static_cast<char*>(area.view)[size - 1] = 1;
  const int fd = shm_open(name.c_str(), O_RDONLY, 0);
  struct stat status;
  ASSERT_EQ(fstat(fd, &status), 0);
  close(fd);
  EXPECT_EQ(status.st_size, size);
}

TEST_F(MarkersTest, GlobalSectionsAreOpenToEveryoneAndLocalOnesToTheirUser) {
  ASSERT_NE(slots(globalMarkerSection), nullptr);
  ASSERT_NE(slots(localMarkerSection), nullptr);
  const struct {
    std::string object;
    mode_t mode;
  } cases[] = {{"/" + base + " SHARE G", 0666}, {"/" + base + " SHARE L." + std::to_string(geteuid()), 0600}};
  for (const auto& c : cases) {
    const int fd = shm_open(c.object.c_str(), O_RDONLY, 0);
    ASSERT_NE(fd, -1) << c.object;
    struct stat status;
    ASSERT_EQ(fstat(fd, &status), 0);
    close(fd);
    EXPECT_EQ(status.st_mode & 0777, c.mode) << c.object;
    EXPECT_EQ(status.st_size, off_t(markerSlotCount) * off_t(sizeof(MarkerSlot)));
  }
}

#endif
