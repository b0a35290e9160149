#include "agent/recording/ThreadRegistry.h"

ThreadRegistry& threadRegistry() {
  // Never destroyed: JVM threads may still end, and agent threads still run, while the process exits.
  static ThreadRegistry* const registry = new ThreadRegistry;
  return *registry;
}

void resetThreadRegistry() {
  ThreadRegistry& registry = threadRegistry();
  registry.lastSequenceNumber = 0;
  registry.bySequenceNumber.init();
  registry.liveThreads.init();
  registry.threadNumbers.reset();
  registry.deadThreads.size = 0;
  registry.deadThreadPurgeFrom = 0;
  registry.threadGcPending = false;
  registry.endedThreadCount = 0;
  registry.threadGcCount = 0;
}
