#include "agent/db/RowStreams.h"

#include "agent/support/FatalError.h"

namespace {

// The counters wrap rather than overflow.
int64_t countSinceBase(int64_t count, int64_t base) { return int64_t(uint64_t(count) - uint64_t(base)); }

void writeKey(AbstractWriter& writer, int32_t a, int32_t b, int32_t c, int32_t d) {
  writer.writeInt(a);
  writer.writeInt(b);
  writer.writeInt(c);
  writer.writeInt(d);
}

}  // namespace

void writeRowFields(AbstractWriter& writer, const StringRecord& row) { writer.writeString(row.body); }

void writeRowFields(AbstractWriter& writer, const ThreadRecord& row) {
  writer.writeInt(row.nameId);
  writer.writeInt(row.groupNameId);
  writer.writeInt(row.threadNumber);
  writer.writeInt(row.sequenceNumber);
  writer.writeLong(row.osThreadId);
  writer.writeInt(row.daemon);
  writer.writeLong(row.startTime);
  writer.writeLong(row.endTime);
}

void writeRowFields(AbstractWriter& writer, const MethodRecord& row) {
  writer.writeInt(row.nameId);
  writer.writeInt(row.parametersId);
  writer.writeInt(row.classNameId);
  writer.writeInt(row.returnTypeId);
  writer.writeInt(row.sourceFileId);
  writer.writeInt(row.flags);
}

void writeRowFields(AbstractWriter& writer, const ThreadFrameRecord& row) {
  writer.writeInt(row.threadNumber);
  writer.writeInt(row.frameId);
}

void writeRowFields(AbstractWriter& writer, const MonitorRecord& row) {
  writeKey(writer, row.key.thread, row.key.frame, row.key.owner, row.key.classTag);
  writer.writeLong(row.totalTime);
  writer.writeLong(row.count);
}

void writeRowFields(AbstractWriter& writer, const CpuProfilingRecord& row) {
  writer.writeLong(row.time);
  writer.writeLong(row.invocationCount);
}

void writeRowFields(AbstractWriter& writer, const InstanceCountRecord& row) {
  writer.writeInt(row.classNameId);
  writer.writeInt(row.instanceCount);
  writer.writeLong(row.totalSize);
}

void writeRowFields(AbstractWriter& writer, const FrameRecord& row) {
  writeKey(writer, row.parent, row.codePointKey, row.firstChild, row.nextSibling);
}

void writeRowFields(AbstractWriter&, const TableGenerationRecord&) {}

void writeRowFields(AbstractWriter& writer, const SnapshotRecord& row) {
  writer.writeInt(row.pathId);
  writer.writeLong(row.kind);
}

void writeRowFields(AbstractWriter& writer, const AllocInfoRecord& row) {
  writer.writeLong(row.objectCount);
  writer.writeLong(row.totalSize);
  writer.writeLong(row.collectedObjectAges);
}

void writeRowFields(AbstractWriter& writer, const GenerationRecord& row) {
  writer.writeInt(row.nameId);
  writer.writeLong(row.time);
}

void writeRowFields(AbstractWriter& writer, const PropertyRecord& row) {
  writer.writeInt(row.keyId);
  writer.writeInt(row.value);
}

void writeRowFields(AbstractWriter& writer, const TelemetryRecord& row) {
  if (row.values.size < TelemetryRecord::fixedValues) assertionFailed("assertion failed", "DB", 861);
  const int32_t pairs = (row.values.size - TelemetryRecord::fixedValues) / 2;
  writer.writeInt(pairs);
  writer.writeInt(row.itemsPresent ? row.items.size : -1);
  for (int32_t i = 0; i < TelemetryRecord::fixedValues + 2 * pairs; i++) writer.writeInt(row.values.data[i]);
  if (!row.itemsPresent) return;
  for (int32_t i = 0; i < row.items.size; i++) {
    const ThreadState& item = row.items.data[i];
    writer.writeInt(item.sequenceNumber);
    writer.writeInt(item.frameId);
    writer.writeInt(item.jvmtiState);
    writer.writeLong(item.cpuTime);
  }
}

void writeRowFields(AbstractWriter& writer, const ExceptionRecord& row) {
  writeKey(writer, row.key.thread, row.key.throwFrame, row.key.catchFrame, row.key.className);
  writer.writeLong(row.count);
}

void writeRowFields(AbstractWriter& writer, const EventRecord& row) {
  writer.writeInt(row.tableId);
  writer.writeInt(row.rowKey);
  writer.writeInt(row.slots.size);
  for (int32_t i = 0; i < row.slots.size; i++) writer.writeInt(row.slots.data[i]);
}

void writeRowFields(AbstractWriter& writer, const CodePointRecord& row) {
  writer.writeInt(row.methodId);
  writer.writeInt(row.line);
}

void writeRowFields(AbstractWriter& writer, const CallCountRecord& row) { writer.writeLong(countSinceBase(row.count, row.base)); }

void writeRowFields(AbstractWriter& writer, const AllocPointRecord& row) {
  writer.writeInt(row.codePointKey);
  writer.writeInt(row.classId);
}

void writeRowFields(AbstractWriter& writer, const AllocObjectCountRecord& row) {
  writer.writeLong(countSinceBase(row.count, row.base));
}
