#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "tests/tools/ProfileModel.h"

// Where threads waited for monitors: per monitor class, kind and site (the waiting method at its line,
// and a caller, as the profile model's site names them), how often and how long, all threads merged, with the threads that waited and those
// that held the monitor meanwhile. A "monitor" row counts the contended enters or the Object.wait calls of
// one waiting thread at one stack while one owner held the monitor; a thread that waits in Object.wait
// is itself the owner when its wait begins.

namespace monitorsites {

constexpr int32_t monitorTable = 4;

struct Site {
  std::string className;
  bool waited = false;  // Object.wait; else blocked on a contended enter
  std::vector<std::string> where;
  int64_t count = 0;
  int64_t ns = 0;
  std::set<std::string> waiters;
  std::set<std::string> owners;  // of the contended enters
};

struct Monitors {
  int64_t count = 0;
  int64_t ns = 0;
  std::vector<Site> sites;  // by decreasing time
};

inline Monitors readMonitors(const profilemodel::ProfileModel& model) {
  std::map<std::tuple<std::string, bool, std::vector<std::string>>, Site> byKey;
  Monitors monitors;
  for (const auto& [index, row] : model.rows(monitorTable)) {
    // Values: waiting thread, frame, owning thread (sequence numbers), class signature, time, count.
    const int32_t waiter = int32_t(row.values[0]);
    const int32_t owner = int32_t(row.values[2]);
    const std::string className = profilemodel::classNameOfSignature(model.text(row.values[3]));
    if (row.values[5] == 0) continue;  // a wait still going on
    const std::vector<std::string> path = model.site(int32_t(row.values[1]));
    const bool waited = owner == waiter;
    Site& site = byKey[{className, waited, path}];
    site.className = className;
    site.waited = waited;
    site.where = path;
    site.count += row.values[5];
    site.ns += row.values[4];
    site.waiters.insert(model.threadNameBySequence(waiter));
    if (!waited) site.owners.insert(model.threadNameBySequence(owner));
    monitors.count += row.values[5];
    monitors.ns += row.values[4];
  }
  for (auto& [key, site] : byKey) monitors.sites.push_back(std::move(site));
  std::sort(monitors.sites.begin(), monitors.sites.end(), [](const Site& a, const Site& b) {
    return std::tie(b.ns, b.count, a.className, a.where) < std::tie(a.ns, a.count, b.className, b.where);
  });
  return monitors;
}

}  // namespace monitorsites
