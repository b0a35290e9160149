#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tests/support/SnapshotReader.h"
#include "tests/tools/ProfileModel.h"

// Where a snapshot's CPU time went: the call paths, methods and threads that used most of it. A
// "cpu_profiling" row holds the inclusive time of one (thread, frame) pair, so a frame's own time is its
// time less its children's. A path ends at the line its leaf was sampled at.

namespace cpuhotpaths {

constexpr int32_t cpuProfilingTable = 5;

struct HotPath {
  std::vector<std::string> frames;  // "class.method:line", outermost first
  int64_t ownNs = 0;
};

struct NamedTime {
  std::string name;
  int64_t ns = 0;
};

struct Limits {
  size_t paths = 10;
  size_t methods = 10;
  size_t threads = 5;
};

// Each list is sorted by decreasing time, holds only entries with time, and is cut at its limit.
struct CpuProfile {
  int64_t totalNs = 0;           // every sampled thread's time
  size_t sampledThreadCount = 0;  // threads with time, also those past the limit
  std::vector<HotPath> paths;
  std::vector<NamedTime> methods;  // by own time
  std::vector<NamedTime> threads;  // by sampled time
};

namespace detail {

// Each frame's inclusive time, summed over threads, and each thread's time: that of its outermost frames.
struct Times {
  std::unordered_map<int32_t, int64_t> byFrame;
  std::map<int32_t, int64_t> byThread;  // by thread number
};

inline Times readTimes(const profilemodel::ProfileModel& model) {
  Times times;
  for (const auto& [index, pair] : model.rows(profilemodel::threadFrameTable)) {
    const rowstream::Row* time = model.row(cpuProfilingTable, index);
    if (time == nullptr) continue;
    const int32_t threadNumber = int32_t(pair.values[0]);
    const int32_t frameId = int32_t(pair.values[1]);
    const profilemodel::Frame* frame = model.frame(frameId);
    if (frame == nullptr) throw rowstream::FormatError("thread_frame " + std::to_string(index) + " names a missing frame");
    times.byFrame[frameId] += time->values[0];
    if (frame->parent == 0) times.byThread[threadNumber] += time->values[0];
  }
  return times;
}

// Each frame's time less its children's, by frame id.
inline std::unordered_map<int32_t, int64_t> ownTimes(const profilemodel::ProfileModel& model, const Times& times) {
  std::unordered_map<int32_t, int64_t> own;
  for (const auto& [id, ns] : times.byFrame) own[id] += ns;
  for (const auto& [id, ns] : times.byFrame) {
    const profilemodel::Frame& frame = model.frames.at(id);
    if (frame.method >= 0 && model.frame(frame.parent) != nullptr) own[frame.parent] -= ns;
  }
  for (auto& [id, ns] : own) ns = std::max<int64_t>(ns, 0);
  return own;
}

template <class Key>
std::vector<std::pair<Key, int64_t>> topByTime(const std::unordered_map<Key, int64_t>& times, size_t limit) {
  std::vector<std::pair<Key, int64_t>> ranked;
  for (const auto& entry : times) {
    if (entry.second > 0) ranked.push_back(entry);
  }
  std::sort(ranked.begin(), ranked.end(),
            [](const auto& a, const auto& b) { return std::tie(b.second, a.first) < std::tie(a.second, b.first); });
  if (ranked.size() > limit) ranked.resize(limit);
  return ranked;
}

}  // namespace detail

inline CpuProfile readCpuProfile(const profilemodel::ProfileModel& model, const Limits& limits = {}) {
  CpuProfile profile;
  const detail::Times times = detail::readTimes(model);
  const std::unordered_map<int32_t, int64_t> own = detail::ownTimes(model, times);
  std::unordered_map<int32_t, int64_t> byMethod;
  for (const auto& [id, ns] : own) {
    profile.totalNs += ns;
    const profilemodel::Frame& frame = model.frames.at(id);
    if (frame.method >= 0) byMethod[model.ownerMethod(frame)] += ns;
  }
  for (const auto& [id, ns] : detail::topByTime(own, limits.paths)) profile.paths.push_back({model.path(id), ns});
  for (const auto& [method, ns] : detail::topByTime(byMethod, limits.methods)) {
    profile.methods.push_back({model.methodLabel(method), ns});
  }

  const std::unordered_map<int32_t, int64_t> threads(times.byThread.begin(), times.byThread.end());
  for (const auto& [number, ns] : threads) profile.sampledThreadCount += ns > 0 ? 1 : 0;
  for (const auto& [number, ns] : detail::topByTime(threads, limits.threads)) {
    profile.threads.push_back({model.threadName(number), ns});
  }
  return profile;
}

inline CpuProfile readCpuProfile(const snapshotfile::TablesRecord& tables, const Limits& limits = {}) {
  return readCpuProfile(profilemodel::ProfileModel({&tables}), limits);
}

}  // namespace cpuhotpaths
