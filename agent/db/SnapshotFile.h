#pragma once

#include <jni.h>

#include <cstdint>

#include "agent/db/Progress.h"
#include "agent/db/SnapshotWriter.h"
#include "agent/platform/YCriticalSection.h"
#include "agent/support/YString.h"
#include "agent/support/YVector.h"

class DB;
class InstanceCounts;

// The snapshot file: a fixed head, then HPROF-like top-level records. Agent records (tag 37) carry the
// header values, the event-table descriptions and the database tables; memory snapshots add the heap.

constexpr int32_t agentRecordTag = 37;
constexpr int32_t snapshotFileKind = 4;
constexpr int64_t snapshotMemory = 0x1;
constexpr int64_t snapshotNoProgress = 0x800;
// Every table: bit i selects table i.
constexpr int32_t allTablesMask = 0xFFFFF;
// A "snapshot" row of the JVM's own heap dump.
constexpr int64_t snapshotKindJvmHeapDump = 0x1011;

// The flags word stored in the header: the caller's flags with 0x4200 for an agent attached to a running
// JVM, else 0x8200.
int64_t snapshotFlagsWord(int64_t callerFlags);

// The fixed head ("BRANTEL_FILE_60000", a zero byte, kind, creation time) and the header record: the
// named values, the "oid_count" value (its position kept in the writer for the heap writer to patch)
// and every event table's description. A missing database is fatal.
void writeSnapshotHeader(DB* database, SnapshotWriter& writer, int64_t flags, int32_t kind);

// Work that must reach the tables before any of them is written, installed from above the database by
// whoever keeps such work waiting (the Class Loading probe queues its unloads); null for none. It runs
// under "ourLock" (`held`) at the start of every table write.
using TableWritePreparation = void (*)(const YCriticalSectionLock& held, DB& database);
void setTableWritePreparation(TableWritePreparation prepare);

// Runs the table-write preparation, stores the recording-mode times and the current thread names as
// properties, then writes each table that `tableMask` selects, in index order: with `withKindBytes` a
// kind byte 2 first, then its index and its rows changed since its entry of `since` (0 without an array
// or beyond its end). The tables share the progress range from `percentFrom` to `percentTo`. A mask
// that selects no table writes none. A count of the live instances, when given, goes into the
// "instance_count" rows first. The caller holds "ourLock" (`held`).
void writeDatabaseTables(const YCriticalSectionLock& held, JNIEnv* env, DB* database, AbstractWriter& writer,
                         int32_t tableMask, int32_t percentFrom, int32_t percentTo, Progress* progress,
                         const YVector<int32_t>* since, bool withKindBytes,
                         InstanceCounts* instanceCounts = nullptr);

// Adds a "snapshot" row for the file at `path`. Takes "ourLock".
void addSnapshotRecord(const YString& path, int64_t kind);
// Whether a live "snapshot" row names `path`. Takes "ourLock".
bool findSnapshotRecord(const YString& path);
