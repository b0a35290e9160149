#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "agent/db/DBTable.h"
#include "agent/db/EventTable.h"
#include "agent/db/Records.h"
#include "agent/db/StringPool.h"
#include "agent/db/ThreadFrameIndex.h"
#include "agent/support/YString.h"

// The indexes of the twenty tables; bit k of a table mask selects table k.
enum TableIndex : int32_t {
  tableString = 0,
  tableThread = 1,
  tableMethod = 2,
  tableThreadFrame = 3,
  tableMonitor = 4,
  tableCpuProfiling = 5,
  tableInstanceCount = 6,
  tableFrame = 7,
  tableTableGeneration = 8,
  tableSnapshot = 9,
  tableAllocInfo = 10,
  tableGeneration = 11,
  tableProperties = 12,
  tableTele = 13,
  tableException = 14,
  tableEvent = 15,
  tableCodePoint = 16,
  tableCallCount = 17,
  tableAllocPoint = 18,
  tableAllocObjectCount = 19,
  tableCount = 20
};

// Event tables take the identifiers 32 to 127.
constexpr int32_t firstEventTableId = 32;
constexpr int32_t eventTableIdLimit = 128;

// The one in-memory database of everything the agent records. Every operation expects the caller to
// hold "ourLock".
class DB {
 public:
  // A telemetry limit below 1 is fatal: no database is made.
  explicit DB(int32_t telemetryLimit);
  ~DB();
  DB(const DB&) = delete;
  DB& operator=(const DB&) = delete;

  // Sets the value of the key's one property row, made when missing; a row whose value changes is
  // stamped. Returns the key's string id. The value is a string id, or the number itself for a few keys.
  int32_t setProperty(const char* key, int32_t value);
  // The row of the property with that key, or -1.
  int32_t findPropertyRecordIndex(int32_t keyId);
  // One line per table, the event rows' slot vectors, the telemetry limit, the string bodies, the
  // thread-frame index and the total, each figure of memory as "<MB> MB (=<bytes> bytes)".
  YString getDatabaseStatistics();

  // Makes an event table from its description: its identifier (32 to 127), or a negative
  // EventTableCreationError. A refused description changes nothing.
  int32_t createEventTable(const YString& description);
  // Deletes every row of the named tables (names separated by "\n") and of the tables below them; the
  // tables stay. The report has a line "#<id> <name>" per cleared table. Take "ourLock" themselves.
  void clearEventTables(YString& report, const YString& names);
  void clearEventTablesById(YString& report, const YVector<int32_t>& ids);
  // The names of the tables without master whose family holds at least `minimum` rows (every one when
  // it is negative), in identifier order, separated by "\n". Takes "ourLock" itself.
  void getTopEventTableNames(YString& names, int32_t minimum);

  // The "thread_frame" row of (thread number, frame id), made when missing with `create`; -1 when absent.
  int32_t getThreadFrameId(int32_t threadNumber, int32_t frameId, bool create) {
    return threadFrameIndex.getThreadFrameId(threadNumber, frameId, create);
  }

  // The same tables as the typed members below, by table index.
  DBTableBase* tables[tableCount];
  int32_t telemetryLimit;
  // By identifier; slots 0 to 31 stay empty.
  std::unique_ptr<EventTable> eventTables[eventTableIdLimit];
  // The identifier the next event table gets; 128 once every identifier is taken.
  int32_t nextEventTableId = firstEventTableId;
  // Stamped into every row made, changed (or, negated, deleted); grows after each table reply and after
  // the first tables record of each snapshot.
  int32_t currentStamp = 1;
  int64_t sessionId;
  YString sessionName;

  // In creation order, which differs from the index order only in "thread_frame" coming before "method".
  DBTable<StringRecord> strings;
  DBTable<ThreadRecord> threads;
  DBTable<ThreadFrameRecord> threadFrames;
  DBTable<MethodRecord> methods;
  DBTable<MonitorRecord> monitors;
  DBTable<CpuProfilingRecord> cpuProfiling;
  DBTable<InstanceCountRecord> instanceCounts;
  DBTable<FrameRecord> frames;
  DBTable<TableGenerationRecord> tableGenerations;
  DBTable<SnapshotRecord> snapshots;
  DBTable<AllocInfoRecord> allocInfo;
  DBTable<GenerationRecord> generations;
  DBTable<PropertyRecord> properties;
  TelemetryTable telemetry;
  DBTable<ExceptionRecord> exceptions;
  DBTable<EventRecord> events;
  DBTable<CodePointRecord> codePoints;
  DBTable<CallCountRecord> callCounts;
  DBTable<AllocPointRecord> allocPoints;
  DBTable<AllocObjectCountRecord> allocObjectCounts;

  ThreadFrameIndex threadFrameIndex;
  StringPool stringPool;
};

// The database; null until createDatabase has run. It lives until the process ends.
extern DB* db;
// Shortcuts to the "method" and "frame" tables for the recorders.
extern DBTable<MethodRecord>* methodTable;
extern DBTable<FrameRecord>* frameTable;
// The pseudo-method whose frames carry line numbers.
extern int32_t lineMethodId;

// Set while a holder of "ourLock" rewrites or writes out the database (a snapshot, a table reply, a
// CPU or allocation clear, the exception-statistics clear, the CPU profiling start and stop). Recorders
// that run without "ourLock" for speed (method entry and exit, the allocation recorder) read it before
// each record: while it is set they take "ourLock" around their work, so that they wait for the holder
// instead of touching tables that are being emptied or written. It is set and cleared only under
// "ourLock".
extern std::atomic<bool> dbWriteInProgress;

// Creates the database, its special thread entries, its reserved and system properties and the line
// pseudo-method, and publishes it in `db`.
void createDatabase(int32_t telemetryLimit);

// The database; fatal "db is NULL" while there is none.
DB& requireDatabase();

// Tears down the database with the thread records and method ids that refer to it, so that a test can
// make a fresh one. Never called by the agent itself: the database lives as long as the process.
void destroyDatabaseForTest();
