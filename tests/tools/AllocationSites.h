#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "tests/tools/ProfileModel.h"

// Where recorded allocations were made: per allocated class and site (the allocating method at its line,
// and its caller as the profile model's site names it), the objects and bytes, all threads merged. An "alloc_info" row
// belongs to a (thread, frame) pair whose frame is the class's pseudo-method "<class>.<<init>>", below
// the allocating stack.

namespace allocationsites {

constexpr int32_t allocInfoTable = 10;

struct Site {
  std::string className;
  std::vector<std::string> where;  // the allocating method at its line, then a caller
  int64_t objects = 0;
  int64_t bytes = 0;
};

struct Allocations {
  int64_t objects = 0;
  int64_t bytes = 0;
  std::vector<Site> sites;  // by decreasing bytes
};

inline Allocations readAllocations(const profilemodel::ProfileModel& model) {
  std::map<std::pair<std::string, std::vector<std::string>>, Site> byKey;
  Allocations allocations;
  for (const auto& [index, row] : model.rows(allocInfoTable)) {
    const rowstream::Row* pair = model.row(profilemodel::threadFrameTable, index);
    if (pair == nullptr) throw rowstream::FormatError("alloc_info " + std::to_string(index) + " has no thread_frame");
    const int32_t frame = int32_t(pair->values[1]);
    const profilemodel::Frame* record = model.frame(frame);
    if (record == nullptr) throw rowstream::FormatError("alloc_info " + std::to_string(index) + " names a missing frame");
    const std::string className = profilemodel::classNameOfSignature(model.methodName(record->method).first);
    // The class's frame carries the line of the allocation, unless a line frame before it does.
    const std::vector<std::string> path = model.site(frame, true);
    Site& site = byKey[{className, path}];
    site.className = className;
    site.where = path;
    site.objects += row.values[0];
    site.bytes += row.values[1];
    allocations.objects += row.values[0];
    allocations.bytes += row.values[1];
  }
  for (auto& [key, site] : byKey) allocations.sites.push_back(std::move(site));
  std::sort(allocations.sites.begin(), allocations.sites.end(), [](const Site& a, const Site& b) {
    return std::tie(b.bytes, b.objects, a.className, a.where) < std::tie(a.bytes, a.objects, b.className, b.where);
  });
  return allocations;
}

}  // namespace allocationsites
