#include "agent/core/Markers.h"

#include <cstring>
#include <mutex>

#include "agent/core/MarkerFiles.h"
#include "agent/core/Options.h"
#include "agent/platform/InterProcessMutex.h"
#include "agent/platform/Processes.h"
#include "agent/platform/SharedMemory.h"
#include "agent/platform/Sockets.h"
#include "agent/support/FatalError.h"
#include "agent/support/Log.h"
#include "agent/support/SocketSend.h"
#include "agent/support/YSet.h"

namespace {

constexpr int32_t sectionCount = 2;
constexpr int32_t failureKinds = 3;
constexpr int32_t nameBytes = int32_t(sizeof(MarkerSlot::name));

struct Section {
  Section(const char* area, const char* mutex) : area(area), mutexName(mutex) {}
  YString area;
  YString mutexName;
  MarkerSlot* slots = nullptr;
  InterProcessMutex* mutex = nullptr;
};

// Process-wide and never freed: the views stay mapped and the mutexes open until the process ends.
struct MarkerState {
  Section sections[sectionCount] = {{"Global\\BRANTEL SHARE5 G", "Global\\BRANTEL MUTEX5 G"},
                                    {"Local\\BRANTEL SHARE5 L", "Local\\BRANTEL MUTEX5 L"}};
  int32_t slotCount = markerSlotCount;
  YVector<YString> reportedFailures[failureKinds];
  std::mutex opening;  // two threads opening at once would map a section twice
};

MarkerState& state() {
  static MarkerState* const markers = new MarkerState();
  return *markers;
}

Section& requireOpenSection(int32_t index) {
  if (index < 0 || index >= sectionCount || state().sections[index].slots == nullptr) {
    assertionFailed("assertion failed", "Markers", __LINE__);
  }
  return state().sections[index];
}

void clearSlot(MarkerSlot& slot) {
  slot.port = 0;
  slot.type = 0;
  slot.name[0] = 0;
  slot.pid = 0;
}

// At most 47 bytes: a longer name keeps its first 44 bytes, cut before a character that would be split,
// and "...".
YString shortenedName(const YString& name) {
  if (name.length < nameBytes - 1) return name;
  int32_t cut = nameBytes - 4;
  while (cut > 0 && (static_cast<unsigned char>(name.data[cut]) & 0xC0) == 0x80) cut--;
  return name.substring(0, cut) + "...";
}

YString nameOf(const MarkerSlot& slot) {
  int32_t length = 0;
  while (length < nameBytes - 1 && slot.name[length] != 0) length++;
  return YString::copyOf(slot.name, length);
}

// Ports from `from` to `to` with a mark for those taken away.
class PortRange {
 public:
  PortRange(int32_t from, int32_t to) : from(from), to(to) {
    for (int64_t port = from; port <= to; port++) taken.add(0);
  }
  void take(int32_t port) {
    if (port >= from && port <= to) taken.set(int32_t(int64_t(port) - from), 1);
  }
  bool isTaken(int32_t port) const { return taken.data[int64_t(port) - from] != 0; }
  int32_t from;
  int32_t to;

 private:
  YVector<uint8_t> taken;
};

// Calls `visit` with every claimed slot of every open section, Global first, each section under its mutex.
template <class Visit>
void forEachClaimedSlot(Visit visit) {
  MarkerState& markers = state();
  for (Section& section : markers.sections) {
    if (section.slots == nullptr) continue;
    InterProcessMutexLock held(section.mutex);
    for (int32_t i = 0; i < markers.slotCount; i++) {
      if (section.slots[i].pid != 0) visit(section.slots[i]);
    }
  }
}

}  // namespace

void* openSharedMemoryArea(const char* name, int32_t size) {
  const SharedMemoryArea area = openSharedMemory(name, size);
  if (area.view == nullptr) {
    YVector<YString>& reported = state().reportedFailures[int32_t(area.failure)];
    const YString areaName(name);
    if (reported.indexOf(areaName) < 0) {
      reported.add(areaName);
      logMessage(YString("shmem: ") + areaName + ": NULL (" + YString(int64_t(area.failure)) + ")");
    }
    return nullptr;
  }
  // A new area's pages are already zero. Filling it here, outside its mutex, would wipe a marker that
  // another process wrote after the area was made.
  logMessage(YString("shmem: ") + name + ": OK, isFirst=" + (area.isFirst ? "1" : "0"));
  return area.view;
}

void openMarkerSections() {
  MarkerState& markers = state();
  std::lock_guard<std::mutex> opening(markers.opening);
  for (Section& section : markers.sections) {
    if (section.slots == nullptr) {
      section.slots = static_cast<MarkerSlot*>(
          openSharedMemoryArea(section.area.data, markers.slotCount * int32_t(sizeof(MarkerSlot))));
    }
    if (section.mutex == nullptr) section.mutex = new InterProcessMutex(section.mutexName.data);
  }
}

MarkerSlot* findMarkerByPid(int32_t section, int32_t pid, bool create) {
  MarkerSlot* slots = requireOpenSection(section).slots;
  const int32_t count = state().slotCount;
  for (int32_t i = 0; i < count; i++) {
    if (slots[i].pid == uint32_t(pid)) return &slots[i];
  }
  if (!create) return nullptr;
  const int32_t home = (pid & 0x7fffffff) % count;
  for (int32_t probe = 0; probe < count; probe++) {
    MarkerSlot& slot = slots[(home + probe) % count];
    if (slot.pid == 0) {
      clearSlot(slot);
      slot.pid = uint32_t(pid);
      return &slot;
    }
  }
  logMessage(YString("warning: findMarkerByPid: no free slots in ") + YString(int64_t(section)));
  return nullptr;
}

void purgeDeadMarkers() {
  YVector<uint32_t> pids;
  if (!getAllPids(pids) || pids.size == 0) return;
  YSet<int64_t> running(pids.size * 2);
  for (int32_t i = 0; i < pids.size; i++) running.add(int64_t(pids.get(i)) + 1);  // the key 0 is reserved
  forEachClaimedSlot([&](MarkerSlot& slot) {
    if (!running.contains(int64_t(slot.pid) + 1)) clearSlot(slot);
  });
}

void createMarker(int32_t port, int32_t type, const YString& name) {
  openMarkerSections();
  purgeDeadMarkers();
  const YString shortName = shortenedName(name);
  const int32_t pid = int32_t(getOwnPid());
  for (int32_t index = 0; index < sectionCount; index++) {
    Section& section = state().sections[index];
    if (section.slots == nullptr) continue;
    InterProcessMutexLock held(section.mutex);
    MarkerSlot* slot = findMarkerByPid(index, pid, true);
    if (slot == nullptr) continue;
    slot->port = uint32_t(port);
    std::memcpy(slot->name, shortName.data, size_t(shortName.length) + 1);
    slot->type = uint32_t(type);
  }
  if (state().sections[globalMarkerSection].slots == nullptr) writeOwnMarkerFile(port, type, shortName);
}

void getFreePorts(YVector<int32_t>* ports, int32_t from, int32_t to) {
  if (ports == nullptr) assertionFailed("assertion failed: value is NULL", "Markers", __LINE__);
  ports->size = 0;
  if (from > to) return;
  if (globalOptions().skipAdvancedPortCheck) {
    for (int64_t port = from; port <= to; port++) ports->add(int32_t(port));
    return;
  }
  openMarkerSections();
  purgeDeadMarkers();
  PortRange range(from, to);
  forEachClaimedSlot([&](const MarkerSlot& slot) {
    if (int32_t(slot.pid) > 0 && int32_t(slot.port) > 0) range.take(int32_t(slot.port));
  });
  YVector<int32_t> filePids;
  listMarkerFilePids(&filePids);
  for (int32_t i = 0; i < filePids.size; i++) {
    int32_t port = 0;
    readMarkerFile(filePids.get(i), &port, nullptr, nullptr);
    range.take(port);
  }
  bool anyLeft = false;
  for (int64_t port = from; port <= to && !anyLeft; port++) anyLeft = !range.isTaken(int32_t(port));
  if (!anyLeft) return;
  const InstalledIpProtocols stacks = detectInstalledIpProtocols();
  for (int64_t port = from; port <= to; port++) {
    if (!range.isTaken(int32_t(port)) && describeBindableIpStacks(stacks.ipv4, stacks.ipv6, int32_t(port)).length == 0) {
      ports->add(int32_t(port));
    }
  }
}

bool fillMarkedPids(int32_t mask, YVector<int32_t>* out) {
  if (out == nullptr) assertionFailed("assertion failed: value is NULL", "Markers", __LINE__);
  openMarkerSections();
  purgeDeadMarkers();
  YSet<int64_t> seen(64);
  auto list = [&](int32_t pid, int32_t port, int32_t type) {
    seen.add(int64_t(uint32_t(pid)) + 1);
    out->add(pid);
    out->add(port);
    out->add(type);
  };
  auto isSeen = [&](int32_t pid) { return seen.contains(int64_t(uint32_t(pid)) + 1); };
  forEachClaimedSlot([&](const MarkerSlot& slot) {
    if ((slot.type & uint32_t(mask)) != 0 && !isSeen(int32_t(slot.pid))) {
      list(int32_t(slot.pid), int32_t(slot.port), int32_t(slot.type));
    }
  });
  YVector<int32_t> filePids;
  listMarkerFilePids(&filePids);
  for (int32_t i = 0; i < filePids.size; i++) {
    const int32_t pid = filePids.get(i);
    if (isSeen(pid)) continue;
    int32_t port = 0;
    int32_t type = 0;
    readMarkerFile(pid, &port, &type, nullptr);
    if ((type & mask) != 0 && port != 0) list(pid, port, type);
  }
  return true;
}

YString getSessionNameFromMarker(int32_t pid) {
  openMarkerSections();
  for (int32_t index = 0; index < sectionCount; index++) {
    Section& section = state().sections[index];
    if (section.slots == nullptr) continue;
    InterProcessMutexLock held(section.mutex);
    // A pid of 0 would find a free slot.
    const MarkerSlot* slot = pid == 0 ? nullptr : findMarkerByPid(index, pid, false);
    if (slot != nullptr) return nameOf(*slot);
  }
  YString name;
  readMarkerFile(pid, nullptr, nullptr, &name);
  return name;
}

void useMarkerSectionsForTest(MarkerSectionNames global, MarkerSectionNames local, int32_t slotCount) {
  MarkerState& markers = state();
  std::lock_guard<std::mutex> opening(markers.opening);
  for (Section& section : markers.sections) delete section.mutex;
  markers.sections[globalMarkerSection] = Section(global.area, global.mutex);
  markers.sections[localMarkerSection] = Section(local.area, local.mutex);
  markers.slotCount = slotCount;
  for (YVector<YString>& reported : markers.reportedFailures) reported.size = 0;
  resetMarkerFilesForTest();
}

MarkerSlot* markerSectionForTest(int32_t section) { return state().sections[section].slots; }
