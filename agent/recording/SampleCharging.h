#pragma once

#include <cstdint>

class ThreadInfo;
struct ThreadState;

// What a CPU sample of a thread's stack adds to its frames, and the checkpoint that tells frozen threads
// apart. Both run under "ourLock".

// Charges the thread's time since its previous sample to its stack `frameId` and every frame above it
// (times are inclusive; the root gets nothing): the CPU delta to each frame up to the first frame of a
// wall-time method, and from there on the larger of the wall and CPU deltas. The new times become the
// previous ones, also when nothing is charged: for frames below 1, and a first sample charges 0 while
// making the rows. A CPU delta that runs backwards or exceeds 100 s counts as 0.
void chargeSampleTime(ThreadInfo* thread, int32_t frameId, int64_t cpuTimeNs, int64_t wallTimeNs);

// Fills a telemetry entry of the thread (sequence number, the frame clamped to 0, CPU time) and keeps
// the thread's checkpoint while it stays in the same frame using at most 1% of a CPU; any other sample
// moves the checkpoint to now.
void recordThreadStackCheckpoint(ThreadInfo* thread, int32_t frameId, ThreadState& entry);
