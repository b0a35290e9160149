#include "agent/core/AgentFlags.h"

// Constant-initialised: valid before any static constructor runs.
std::atomic<uint64_t> agentFlags{AGENT_FLAGS_INITIAL};
std::atomic<uint64_t> profilingFlags{PROFILING_FLAGS_INITIAL};
