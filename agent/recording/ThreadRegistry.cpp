#include "agent/recording/ThreadRegistry.h"

ThreadRegistry& threadRegistry() {
  static ThreadRegistry registry;
  return registry;
}

void resetThreadRegistry() {
  ThreadRegistry& registry = threadRegistry();
  registry.lastSequenceNumber = 0;
  registry.bySequenceNumber.init();
  registry.liveThreads.init();
  registry.threadNumbers.reset();
}
