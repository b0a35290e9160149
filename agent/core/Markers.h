#pragma once

#include <cstdint>

#include "agent/support/YString.h"
#include "agent/support/YVector.h"

// Markers: how the host and other agents find running agents. Each agent publishes its port, a word of
// type bits and its session name in a slot keyed by its pid, in a machine-wide ("Global") and a per-user
// ("Local") shared section, each guarded by a named mutex. Slots of ended processes are cleared by any
// process that publishes or reads markers.

// One slot. Other processes map the same sections, so this layout is shared between processes.
struct MarkerSlot {
  uint32_t port;   // 0 while claimed but not yet filled
  uint32_t type;
  char name[48];   // UTF-8, NUL-terminated, at most 47 bytes of text
  uint32_t pid;    // 0 marks a free slot
};
static_assert(sizeof(MarkerSlot) == 60, "the slot layout is shared with other processes");

constexpr int32_t markerSlotCount = 17929;
constexpr int32_t globalMarkerSection = 0;
constexpr int32_t localMarkerSection = 1;

// Publishes this process's marker in every section it can open; while the Global one cannot be opened,
// also as a marker file.
void createMarker(int32_t port, int32_t type, const YString& name);
// Fills `ports` with the ports from `from` to `to`, ascending, that no marker holds and every installed
// IP stack can bind. A null vector is a broken invariant.
void getFreePorts(YVector<int32_t>* ports, int32_t from, int32_t to);
// Appends pid, port and type of each process with a live marker whose type shares a bit with `mask`,
// each process once. Always true.
bool fillMarkedPids(int32_t mask, YVector<int32_t>* out);
// The session name that the process published; empty when it has no marker.
YString getSessionNameFromMarker(int32_t pid);

// The slot of `pid` in an open section; with `create` a free one is claimed when the pid has none. Null
// when absent, or when the section is full. Call with the section's mutex held.
MarkerSlot* findMarkerByPid(int32_t section, int32_t pid, bool create);
// Opens the sections and their mutexes that are not open yet; a section that fails is tried again next
// time.
void openMarkerSections();
// Clears, under each section's mutex, the slots of processes that no longer run.
void purgeDeadMarkers();
// The view of the area, or null after logging the failure (once per name and kind).
void* openSharedMemoryArea(const char* name, int32_t size);

// Points the markers at sections and mutexes of a test's own naming and size, and forgets every section,
// mutex, failure report and the marker folder found so far.
struct MarkerSectionNames {
  const char* area;
  const char* mutex;
};
void useMarkerSectionsForTest(MarkerSectionNames global, MarkerSectionNames local, int32_t slotCount);
// The first slot of a section, null while it is not open.
MarkerSlot* markerSectionForTest(int32_t section);
