#include "agent/heap/ObjectStorage.h"

#include "agent/support/FatalError.h"

namespace {

int32_t entryCount(int32_t objectCount) {
  if (!ObjectStorage::isValidCount(objectCount)) assertionFailed("assertion failed", "ObjectStorage", __LINE__);
  return objectCount + 1;
}

}  // namespace

// n comes first, so a bad count fails before any column is made.
ObjectStorage::ObjectStorage(int32_t objectCount)
    : n(entryCount(objectCount)), references("r", n), immediateDominators("i", n), allocatorFrame(0),
      allocatorThread(-1), arrayLengths(n), crc32(0) {}

void ObjectStorage::setGeneration(int32_t i, int32_t generation) {
  if (generation == 0 && generations == nullptr) return;
  if (generations == nullptr) generations.reset(new SmallValueArray<uint16_t>(n));
  if (uint32_t(generation) < uint32_t(SmallValueArray<uint16_t>::escape)) {
    generations->setSmall(i, generation);
  } else {
    generations->setEscaped(i, generation);
  }
}

int32_t ObjectStorage::getGeneration(int32_t i) const {
  if (generations == nullptr) return 0;
  return generations->isEscaped(i) ? generations->escapedValue(i) : generations->values[i];
}

// Stored as length + 1, so that 0 is "not an array" and lengths up to 253 fit a byte.
void ObjectStorage::setArrayLength(int32_t i, int32_t length) {
  if (length >= -1 && length < SmallValueArray<uint8_t>::escape - 1) {
    arrayLengths.setSmall(i, length + 1);
  } else {
    arrayLengths.setEscaped(i, length);
  }
}

int32_t ObjectStorage::getArrayLength(int32_t i) const {
  return arrayLengths.isEscaped(i) ? arrayLengths.escapedValue(i) : arrayLengths.values[i] - 1;
}

YString ObjectStorage::getStatistics() const {
  YString text("AL: ");
  arrayLengths.appendFigures(text);
  text.append("\nGEN: ");
  if (generations == nullptr) {
    text.append("null");
  } else {
    generations->appendFigures(text);
  }
  text.append("\n");
  return text;
}
