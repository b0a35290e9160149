#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "tests/jvm/AgentRun.h"
#include "tests/jvm/ProfileTables.h"
#include "tests/support/SnapshotReader.h"

// The CPU profiling natives driven step by step in one JVM (SamplingCalls "control"): what each step
// answers, the mode word after it and the profiler messages in the log and in the "Message" table.

namespace cpucontrol {

using profiletables::ProfileTables;

using Message = std::tuple<std::string, std::string, std::string>;  // category, message, detail

// The rows of the snapshot's "Message" event table in the order they were made.
inline std::vector<Message> messageRows(const snapshotfile::Snapshot& snapshot) {
  if (snapshot.tableRecords.empty()) return {};
  int64_t table = -1;
  for (const auto& [id, description] : snapshot.header.eventTables) {
    if (description.rfind("Message\n", 0) == 0) table = id;
  }
  std::vector<const rowstream::Row*> tableRows;
  for (const auto& record : snapshot.tableRecords) {
    const auto events = record.tables.find(rowstream::eventTable);
    if (events == record.tables.end()) continue;
    for (const rowstream::Row& row : events->second) {
      if (row.stamp > 0 && row.values[0] == table) tableRows.push_back(&row);
    }
  }
  // Values: table id, row key, slot count, then the slots: uptime (two), category, message, detail.
  std::sort(tableRows.begin(), tableRows.end(),
            [](const rowstream::Row* a, const rowstream::Row* b) { return a->values[1] < b->values[1]; });
  const ProfileTables strings({&snapshot.tableRecords.back().tables});
  std::vector<Message> messages;
  for (const rowstream::Row* row : tableRows) {
    messages.emplace_back(strings.text(row->values.at(5)), strings.text(row->values.at(6)),
                          strings.text(row->values.at(7)));
  }
  return messages;
}

// One call of the CPU profiling natives: its answer, the CPU bits of the mode word after it (kind and
// sampling mode) and the profiler message it writes, if any.
struct ControlStep {
  std::string step;
  std::string answer;
  uint64_t cpuBits;
  std::string message;  // empty: none
  std::string detail;
};

constexpr uint64_t cpuModeBits = 0x6100c;

// The mode word of the program's first "status=0x<hex>".
inline uint64_t statusOf(const std::string& output) {
  const size_t at = output.find("status=0x");
  if (at == std::string::npos) throw std::runtime_error("no status in:\n" + output);
  return std::stoull(output.substr(at + 9), nullptr, 16);
}

// Runs the steps in one JVM and checks each answer, the mode word and the messages in the log and in the
// "Message" table.
inline void checkControlSteps(const ProgramRun& run, const std::vector<ControlStep>& steps,
                       const snapshotfile::Snapshot& snapshot, const std::string& log) {
  ASSERT_EQ(0, run.exitCode) << run.output;
  std::istringstream lines(run.output);
  std::string line;
  std::getline(lines, line);
  ASSERT_EQ(0u, line.rfind("status=0x", 0)) << run.output;
  EXPECT_EQ(0u, statusOf(line) & cpuModeBits) << line;
  std::vector<Message> expectedMessages;
  std::vector<std::string> expectedLog;
  for (const ControlStep& step : steps) {
    ASSERT_TRUE(std::getline(lines, line)) << run.output;
    const std::string prefix = step.step + " -> ";
    const size_t status = line.rfind(" status=0x");
    ASSERT_EQ(0u, line.rfind(prefix, 0)) << line;
    ASSERT_NE(std::string::npos, status) << line;
    EXPECT_EQ(step.answer, line.substr(prefix.size(), status - prefix.size())) << step.step;
    EXPECT_EQ(step.cpuBits, statusOf(line.substr(status + 1)) & cpuModeBits) << step.step;
    if (step.message.empty()) continue;
    expectedMessages.emplace_back("Profiler", step.message, step.detail);
    expectedLog.push_back(step.message + (step.detail.empty() ? "" : ": " + step.detail) + "\n");
  }
  EXPECT_EQ(expectedMessages, messageRows(snapshot));
  EXPECT_TRUE(containsInOrder(log, expectedLog));
}

}  // namespace cpucontrol
