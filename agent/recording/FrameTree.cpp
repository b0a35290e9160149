#include "agent/recording/FrameTree.h"

#include <algorithm>

#include "agent/db/DB.h"

namespace {

// Methods whose frames an event row passes over, such as the callbacks of probes.
constexpr int32_t passedOverMethodFlag = 0x40;

int32_t parentOf(int32_t frameId) {
  const FrameRecord* frame = frameTable->getRow(frameId, false);
  return frame == nullptr ? 0 : frame->parent;
}

bool runsPassedOverMethod(int32_t frameId) {
  const MethodRecord* method = methodTable->getRow(getFrameMethod(frameId), false);
  return method != nullptr && (method->flags & passedOverMethodFlag) != 0;
}

}  // namespace

int32_t getCodePointMethod(int32_t key) {
  if (key >= 0) return key;
  const uint32_t bits = uint32_t(key);
  if ((bits & 0xC0000000u) == 0xC0000000u) return int32_t(bits & 0x7FFFFu);
  const CodePointRecord* pair = requireDatabase().codePoints.getRow(int32_t(bits & 0x7FFFFFFFu), false);
  return pair == nullptr ? 0 : pair->methodId;
}

int32_t getFrameMethod(int32_t frameId) {
  requireDatabase();
  const FrameRecord* frame = frameTable->getRow(frameId, false);
  return frame == nullptr ? 0 : getCodePointMethod(frame->codePointKey);
}

int32_t getOuterFrameOfMarkedRun(int32_t frameId) {
  if (frameId < 1) return 0;
  requireDatabase();
  int32_t current = frameId;
  while (current >= 1 && !runsPassedOverMethod(current)) current = parentOf(current);
  if (current < 1) return frameId;
  while (current >= 1 && runsPassedOverMethod(current)) current = parentOf(current);
  return std::max(current, 0);
}
