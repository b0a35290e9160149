#pragma once

#include <cstdint>

#include "agent/recording/ExceptionKey.h"
#include "agent/recording/MonitorKey.h"
#include "agent/support/YVector.h"

// The rows of the twenty database tables. Every record begins with its generation stamp: 0 absent,
// positive live and last changed in that generation, negative deleted in minus that generation. A
// value-initialised record is the empty record of its table. Times are nanoseconds unless said
// otherwise; string ids are rows of the "string" table, 0 for no text.

struct StringRecord {
  int32_t stamp;
  char* body;  // owned by the string pool
};

struct ThreadRecord {
  int32_t stamp;
  int32_t nameId;        // the thread's current name, written by the name update
  int32_t groupNameId;   // the second name: the thread group's
  int32_t threadNumber;  // the reused small index; 0 once the ended thread is purged
  int32_t sequenceNumber;
  int64_t osThreadId;    // the thread key
  int32_t daemon;        // the flag, 0 or 1
  int64_t startTime;     // agent uptime
  int64_t endTime;       // agent uptime; 0 while the thread lives
};

struct MethodRecord {
  int32_t stamp;
  int32_t nameId;
  int32_t parametersId;  // "(int, java.lang.String)"
  int32_t classNameId;
  int32_t returnTypeId;
  int32_t sourceFileId;
  int32_t flags;
};

// Its row id is also the row id of the pair's "cpu_profiling" and "alloc_info" rows.
struct ThreadFrameRecord {
  int32_t stamp;
  int32_t threadNumber;
  int32_t frameId;
};

struct MonitorRecord {
  int32_t stamp;
  MonitorKey key;
  int64_t totalTime;
  int64_t count;
};

struct CpuProfilingRecord {
  int32_t stamp;
  int64_t time;
  int64_t invocationCount;
};

struct InstanceCountRecord {
  int32_t stamp;
  int32_t classNameId;
  int32_t instanceCount;
  int64_t totalSize;  // bytes
};

// A node of the one call tree; frame 0 is the root. A row never written reads {0, -1, 0, -1, -1}.
struct FrameRecord {
  int32_t stamp = 0;
  int32_t parent = -1;
  int32_t codePointKey = 0;
  int32_t firstChild = -1;   // children in creation order, linked through nextSibling
  int32_t nextSibling = -1;  // -1 at the end
};

// The stamp is the record: row k holds the stamp at which table k was last cleared.
struct TableGenerationRecord {
  int32_t stamp;
};

struct SnapshotRecord {
  int32_t stamp;
  int32_t pathId;
  int64_t kind;
};

struct AllocInfoRecord {
  int32_t stamp;
  int64_t objectCount;
  int64_t totalSize;          // bytes
  int64_t collectedObjectAges;
};

struct GenerationRecord {
  int32_t stamp;
  int32_t nameId;
  int64_t time;  // milliseconds of agent uptime
};

struct PropertyRecord {
  int32_t stamp;
  int32_t keyId;
  int32_t value;  // a string id, or the number itself for a few keys
};

// One sampled thread of a telemetry point.
struct ThreadState {
  int32_t sequenceNumber;
  int32_t frameId;  // the thread's stack, 0 when none
  int32_t jvmtiState;
  int64_t cpuTime;
};

// A telemetry point: 12 fixed values, then pairs; the database gives them no meaning.
struct TelemetryRecord {
  int32_t stamp = 0;
  YVector<int32_t> values;
  YVector<ThreadState> items;
  bool itemsPresent = false;

  static constexpr int32_t fixedValues = 12;

  // The state of a row that no point has filled: the fixed values 0, no items.
  void reset() {
    values.size = 0;
    for (int32_t i = 0; i < fixedValues; i++) values.add(0);
    items.size = 0;
    itemsPresent = false;
  }

  TelemetryRecord() { reset(); }
};

struct ExceptionRecord {
  int32_t stamp;
  ExceptionKey key;
  int64_t count;
};

// A row of an event table: one or two slots per column.
struct EventRecord {
  int32_t stamp = 0;
  int32_t tableId = 0;  // 32 to 127
  int32_t rowKey = 0;
  YVector<int32_t> slots;
};

struct CodePointRecord {
  int32_t stamp;
  int32_t methodId;
  int32_t line;
};

// The row's value is count - base, base being the count at the last reset.
struct CallCountRecord {
  int32_t stamp;
  int64_t count;
  int64_t base;
};

struct AllocPointRecord {
  int32_t stamp;
  int32_t codePointKey;
  int32_t classId;
};

struct AllocObjectCountRecord {
  int32_t stamp;
  int64_t count;
  int64_t base;
};
