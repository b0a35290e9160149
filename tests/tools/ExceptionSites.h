#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "tests/tools/ProfileModel.h"

// Where exceptions were thrown and caught: per exception class, throw site and catch site (each the
// method at its line and a caller, as the profile model's site names them), how many, all threads merged. An "exception" row counts one
// thread's exceptions of one class from one throw frame to one catch frame (0: not caught); a rethrown
// exception counts once, from its first throw to its last catch.

namespace exceptionsites {

constexpr int32_t exceptionTable = 14;

struct Site {
  std::string className;
  std::vector<std::string> thrownAt;
  std::vector<std::string> caughtAt;  // empty when it was not caught
  int64_t count = 0;
};

struct Exceptions {
  int64_t count = 0;
  std::vector<Site> sites;  // by decreasing count
};

inline Exceptions readExceptions(const profilemodel::ProfileModel& model) {
  const auto site = [&](int32_t frame) { return frame > 0 ? model.site(frame) : std::vector<std::string>(); };
  std::map<std::tuple<std::string, std::vector<std::string>, std::vector<std::string>>, Site> byKey;
  Exceptions exceptions;
  for (const auto& [index, row] : model.rows(exceptionTable)) {
    // Values: thread, throw frame, catch frame, class signature, count.
    if (row.values[4] == 0) continue;  // the first catch of a rethrown exception
    const std::string className = profilemodel::classNameOfSignature(model.text(row.values[3]));
    const std::vector<std::string> thrownAt = site(int32_t(row.values[1]));
    const std::vector<std::string> caughtAt = site(int32_t(row.values[2]));
    Site& entry = byKey[{className, thrownAt, caughtAt}];
    entry.className = className;
    entry.thrownAt = thrownAt;
    entry.caughtAt = caughtAt;
    entry.count += row.values[4];
    exceptions.count += row.values[4];
  }
  for (auto& [key, entry] : byKey) exceptions.sites.push_back(std::move(entry));
  std::sort(exceptions.sites.begin(), exceptions.sites.end(), [](const Site& a, const Site& b) {
    return std::tie(b.count, a.className, a.thrownAt, a.caughtAt) < std::tie(a.count, b.className, b.thrownAt, b.caughtAt);
  });
  return exceptions;
}

}  // namespace exceptionsites
