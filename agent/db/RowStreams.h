#pragma once

#include "agent/db/AbstractWriter.h"
#include "agent/db/Records.h"

// The fields that a live row puts on a table's stream after its index and stamp, in the writer's byte
// order. Readers of snapshot files and table replies depend on them field by field.
void writeRowFields(AbstractWriter& writer, const StringRecord& row);
void writeRowFields(AbstractWriter& writer, const ThreadRecord& row);
void writeRowFields(AbstractWriter& writer, const MethodRecord& row);
void writeRowFields(AbstractWriter& writer, const ThreadFrameRecord& row);
void writeRowFields(AbstractWriter& writer, const MonitorRecord& row);
void writeRowFields(AbstractWriter& writer, const CpuProfilingRecord& row);
void writeRowFields(AbstractWriter& writer, const InstanceCountRecord& row);
void writeRowFields(AbstractWriter& writer, const FrameRecord& row);
void writeRowFields(AbstractWriter& writer, const TableGenerationRecord& row);
void writeRowFields(AbstractWriter& writer, const SnapshotRecord& row);
void writeRowFields(AbstractWriter& writer, const AllocInfoRecord& row);
void writeRowFields(AbstractWriter& writer, const GenerationRecord& row);
void writeRowFields(AbstractWriter& writer, const PropertyRecord& row);
// The pair count, the item count (-1 when items are not present), the 12 fixed values, every whole
// pair, then the items. A row with fewer than 12 values is a broken invariant.
void writeRowFields(AbstractWriter& writer, const TelemetryRecord& row);
void writeRowFields(AbstractWriter& writer, const ExceptionRecord& row);
void writeRowFields(AbstractWriter& writer, const EventRecord& row);
void writeRowFields(AbstractWriter& writer, const CodePointRecord& row);
// count - base.
void writeRowFields(AbstractWriter& writer, const CallCountRecord& row);
void writeRowFields(AbstractWriter& writer, const AllocPointRecord& row);
void writeRowFields(AbstractWriter& writer, const AllocObjectCountRecord& row);
