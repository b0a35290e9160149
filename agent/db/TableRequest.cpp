#include "agent/db/TableRequest.h"

#include "agent/db/DB.h"
#include "agent/db/FileBackedSocketWriter.h"
#include "agent/db/SnapshotFile.h"
#include "agent/db/WriteInProgress.h"
#include "agent/recording/CountingSupport.h"
#include "agent/recording/InstanceCounts.h"
#include "agent/recording/ThreadEvents.h"
#include "agent/recording/TracingReplay.h"
#include "agent/support/NamedLocks.h"

void writeTablesToSocket(JNIEnv* env, SocketHandle socket, int32_t tableMask, const YVector<int32_t>& since) {
  FileBackedSocketWriter writer(socket);
  try {
    // Counted before "ourLock" is taken: the heap pass stops the world for a while.
    InstanceCounts instanceCounts(env, tableMask);
    YCriticalSectionLock held(&ourLock(), "CoreNatives:1030");
    WriteInProgress writing;
    DB& database = requireDatabase();
    if ((tableMask & 1 << tableCallCount) != 0) flushCallCounters(held);
    if ((tableMask & 1 << tableAllocObjectCount) != 0) flushAllocationCounters(held);
    processAllThreadEvents(held);
    // Calls still open appear with their time so far; the rest is charged from now on.
    OpenTracedCallsCharged openCalls((tableMask & 1 << tableCpuProfiling) != 0, held);
    Progress noClient;
    writeDatabaseTables(held, env, &database, writer, tableMask, 0, 0, &noClient, &since, false, &instanceCounts);
    writer.writeInt(-1);
    database.currentStamp++;
  } catch (...) {
    writer.abandon(YString("the reply was cut short by an error"));
    throw;
  }
}
