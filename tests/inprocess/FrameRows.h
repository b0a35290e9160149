#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "agent/db/CodePointKey.h"
#include "agent/db/DB.h"
#include "agent/recording/FrameTree.h"

// Reads the frame tree back from the rows of the "frame", "code_point", "method" and "string" tables,
// the way a snapshot reader sees them, so that tests judge the rows rather than the functions that made
// them.

struct FrameStep {
  int32_t method;
  int32_t line;
};

// The text of a string id, "<none>" when the id names no text.
inline std::string stringText(int32_t stringId) {
  const StringRecord* row = stringId > 0 ? db->strings.findRow(stringId) : nullptr;
  return row == nullptr || row->body == nullptr ? std::string("<none>") : std::string(row->body);
}

// The line a code-point key carries: none for a bare method id, the compact key's own bits, or the
// line of its "code_point" row.
inline int32_t codePointLine(int32_t key) {
  if (key >= 0) return 0;
  if (isCompactCodePointKey(key)) return compactCodePointLine(key);
  const CodePointRecord* pair = db->codePoints.getRow(codePointRow(key), false);
  return pair == nullptr ? -1 : pair->line;
}

// The frames from the root's child down to `frameId`. Every frame must be linked among its parent's
// children, as a reader walking down from the root finds it.
inline std::vector<FrameStep> framePath(int32_t frameId) {
  std::vector<FrameStep> path;
  for (int32_t frame = frameId; frame >= 1;) {
    const FrameRecord* row = db->frames.getRow(frame, false);
    if (row == nullptr || row->stamp < 1) {
      ADD_FAILURE() << "frame " << frame << " has no row";
      break;
    }
    const FrameRecord* parent = db->frames.getRow(row->parent, false);
    bool linked = false;
    for (int32_t child = parent == nullptr ? -1 : parent->firstChild; child >= 1 && !linked;) {
      linked = child == frame;
      const FrameRecord* sibling = db->frames.getRow(child, false);
      child = sibling == nullptr ? -1 : sibling->nextSibling;
    }
    EXPECT_TRUE(linked) << "frame " << frame << " is not among the children of frame " << row->parent;
    path.insert(path.begin(), FrameStep{getCodePointMethod(row->codePointKey), codePointLine(row->codePointKey)});
    frame = row->parent;
  }
  return path;
}

// "<class>.<name><parameters> <return type> [<source file>]", with " flags 0x..." when the method has
// any, from the method's row.
inline std::string describeMethod(int32_t methodId) {
  const MethodRecord* row = db->methods.findRow(methodId);
  if (row == nullptr) return "<no method " + std::to_string(methodId) + ">";
  const auto text = [](int32_t id) { return id == 0 ? std::string() : stringText(id); };
  std::string described = text(row->classNameId) + "." + text(row->nameId) + text(row->parametersId) + " " +
                          text(row->returnTypeId) + " [" + text(row->sourceFileId) + "]";
  if (row->flags != 0) {
    char flags[24];
    std::snprintf(flags, sizeof flags, " flags 0x%x", unsigned(row->flags));
    described += flags;
  }
  return described;
}

// describeMethod and ":<line>" of every frame from the root's child down to `frameId`.
inline std::vector<std::string> describePath(int32_t frameId) {
  std::vector<std::string> described;
  for (const FrameStep& step : framePath(frameId)) {
    described.push_back(describeMethod(step.method) + " :" + std::to_string(step.line));
  }
  return described;
}
