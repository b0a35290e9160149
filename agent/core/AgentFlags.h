#pragma once

#include <atomic>
#include <cstdint>

// The agent's process-wide mode words. Both are read without a lock from JVM and agent threads while
// other threads change them (a second attach sets the attach bit of a running agent; the mode natives
// start and stop recordings), so every access is atomic.

// What the agent may do in this JVM; the options and the JVM's capabilities shape it at start-up.
extern std::atomic<uint64_t> agentFlags;
// The recording modes that run.
extern std::atomic<uint64_t> profilingFlags;

constexpr uint64_t AGENT_FLAGS_INITIAL = 0x140;
constexpr uint64_t AGENT_TRACING_INSTRUMENTATION = 0x40;
constexpr uint64_t AGENT_ALLOCATION_INSTRUMENTATION = 0x100;
constexpr uint64_t AGENT_ATTACH_MODE = 0x400;
constexpr uint64_t AGENT_NO_EXCEPTION_EVENTS = 0x4000;      // unavailable, or off
constexpr uint64_t AGENT_NO_SUSPEND = 0x8000;               // threads are never suspended
constexpr uint64_t AGENT_EXCEPTIONS_OFF_BY_OPTION = 0x20000;
constexpr uint64_t AGENT_HEAP_SAMPLING = 0x40000;
constexpr uint64_t AGENT_COMPILED_METHOD_EVENTS = 0x80000;

constexpr uint64_t PROFILING_FLAGS_INITIAL = 0x10600;
// The CPU mode bits, and their values for the three kinds of CPU profiling; bit 0x4 is set in each.
constexpr uint64_t PROFILING_CPU_MODE_MASK = 0x100c;
constexpr uint64_t PROFILING_CPU_SAMPLING = 0x4;
constexpr uint64_t PROFILING_CPU_TRACING = 0xc;
constexpr uint64_t PROFILING_CALL_COUNTING = 0x1004;
// The allocation mode bits, and their values for recording with exact stacks, recording charged to the
// last sampled stack, and counting; bit 0x2 is set in each.
constexpr uint64_t PROFILING_ALLOCATION_MODE_MASK = 0x6002;
constexpr uint64_t PROFILING_ALLOCATIONS_EXACT_STACKS = 0x2;
constexpr uint64_t PROFILING_ALLOCATIONS_SAMPLED_STACKS = 0x2002;
constexpr uint64_t PROFILING_ALLOCATION_COUNTING = 0x4002;
// The sampling mode bits: none synchronous, one of them asynchronous.
constexpr uint64_t PROFILING_SAMPLING_MODE_MASK = 0x60000;
constexpr uint64_t PROFILING_SAMPLING_SYNCHRONOUS = 0;
constexpr uint64_t PROFILING_SAMPLING_ASYNC_CPU = 0x20000;
constexpr uint64_t PROFILING_SAMPLING_ASYNC_PERIODIC = 0x40000;

constexpr uint64_t PROFILING_MONITORS = 0x80;
constexpr uint64_t PROFILING_STACK_TELEMETRY = 0x200;
constexpr uint64_t PROFILING_EXCEPTION_TELEMETRY = 0x400;

// Whether CPU tracing runs.
inline bool cpuTracingRuns() { return (profilingFlags.load() & PROFILING_CPU_MODE_MASK) == PROFILING_CPU_TRACING; }
// Whether CPU sampling or tracing runs; call counting does not count.
inline bool isTracingModeOn() {
  const uint64_t flags = profilingFlags.load();
  return (flags & PROFILING_CPU_SAMPLING) != 0 && (flags & PROFILING_CPU_MODE_MASK) != PROFILING_CALL_COUNTING;
}
