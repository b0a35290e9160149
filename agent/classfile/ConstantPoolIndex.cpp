#include "agent/classfile/ConstantPoolIndex.h"

#include <cstring>

#include "agent/classfile/ConstantReferences.h"
#include "agent/classfile/ConstantValues.h"

namespace {

constexpr int32_t firstBucketCount = 256;

uint32_t mixed(uint64_t key) {
  key ^= key >> 33;
  key *= 0xff51afd7ed558ccdull;
  key ^= key >> 33;
  return uint32_t(key);
}

// Up to eight bytes from `at`, as one word.
uint64_t word(const char* at, int32_t count) {
  uint64_t value = 0;
  std::memcpy(&value, at, size_t(count < 8 ? count : 8));
  return value;
}

// The length and the first, middle and last eight bytes.
uint32_t textHash(const char* text, int32_t length) {
  uint64_t key = word(text, length) * 0x9e3779b97f4a7c15ull + uint64_t(length);
  if (length > 8) {
    key = (key ^ word(text + length - 8, 8)) * 0xc2b2ae3d27d4eb4full;
    if (length > 16) key = (key ^ word(text + length / 2 - 4, 8)) * 0x9e3779b97f4a7c15ull;
  }
  return mixed(key);
}

uint32_t numberHash(uint32_t tag, int64_t value) { return mixed(uint64_t(value) * 0x9e3779b97f4a7c15ull ^ tag); }

// Whether the entry is an Integer or Long of that value.
bool isNumber(const ConstantPoolInfo& entry, uint32_t tag, int64_t value) {
  if (entry.tag != tag) return false;
  if (tag == CONSTANT_Integer) return static_cast<const ConstantIntInfo&>(entry).value == value;
  return tag == CONSTANT_Long && static_cast<const ConstantLongInfo&>(entry).value == value;
}

uint32_t referenceHash(uint32_t tag, int32_t first, int32_t second) {
  return mixed(uint64_t(tag) << 48 ^ uint64_t(uint32_t(first)) << 24 ^ uint64_t(uint32_t(second)));
}

// Whether the entry is a reference of that tag with those indices.
bool isReference(const ConstantPoolInfo& entry, uint32_t tag, int32_t first, int32_t second) {
  if (entry.tag != tag) return false;
  switch (tag) {
    case CONSTANT_Class:
      return static_cast<const ConstantClassInfo&>(entry).nameIndex == first && second == 0;
    case CONSTANT_String:
      return static_cast<const ConstantStringInfo&>(entry).stringIndex == first && second == 0;
    case CONSTANT_NameAndType: {
      const auto& nameAndType = static_cast<const ConstantNameAndTypeInfo&>(entry);
      return nameAndType.nameIndex == first && nameAndType.descriptorIndex == second;
    }
    case CONSTANT_Methodref: {
      const auto& method = static_cast<const ConstantMemberRefInfo&>(entry);
      return method.classIndex == first && method.nameAndTypeIndex == second;
    }
    default:
      return false;
  }
}

}  // namespace

int32_t ConstantPoolIndex::findUtf8(const ConstantPool& pool, const char* text, int32_t length) {
  update(pool);
  int32_t found = 0;
  for (int32_t i = heads[textHash(text, length) & uint32_t(mask)]; i != 0; i = next[i]) {
    const ConstantPoolInfo* entry = pool[i];
    if (entry->tag == CONSTANT_Utf8 && static_cast<const ConstantUtf8Info*>(entry)->equals(text, length)) found = i;
  }
  return found;
}

int32_t ConstantPoolIndex::findReference(const ConstantPool& pool, uint32_t tag, int32_t first, int32_t second) {
  update(pool);
  int32_t found = 0;
  for (int32_t i = heads[referenceHash(tag, first, second) & uint32_t(mask)]; i != 0; i = next[i]) {
    if (isReference(*pool[i], tag, first, second)) found = i;
  }
  return found;
}

int32_t ConstantPoolIndex::findNumber(const ConstantPool& pool, uint32_t tag, int64_t value) {
  update(pool);
  int32_t found = 0;
  for (int32_t i = heads[numberHash(tag, value) & uint32_t(mask)]; i != 0; i = next[i]) {
    if (isNumber(*pool[i], tag, value)) found = i;
  }
  return found;
}

// Chains run from the newest entry to the oldest, so that the last match of a walk is the first entry.
void ConstantPoolIndex::update(const ConstantPool& pool) {
  if (heads == nullptr || textChanges != utf8TextChanges()) {
    rebuild(pool, firstBucketCount);
    return;
  }
  if (covered == pool.size) return;
  if (pool.size > nextCapacity) {
    const int32_t capacity = pool.size * 2;
    auto* grown = static_cast<int32_t*>(arena.allocate(sizeof(int32_t) * size_t(capacity)));
    std::memcpy(grown, next, sizeof(int32_t) * size_t(covered));
    next = grown;
    nextCapacity = capacity;
  }
  for (int32_t i = covered; i < pool.size; i++) insert(pool, i);
  covered = pool.size;
  if (chained * 2 > mask + 1) rebuild(pool, (mask + 1) * 2);
}

void ConstantPoolIndex::rebuild(const ConstantPool& pool, int32_t bucketCount) {
  while (bucketCount < pool.size * 2) bucketCount *= 2;
  textChanges = utf8TextChanges();
  heads = static_cast<int32_t*>(arena.allocate(sizeof(int32_t) * size_t(bucketCount)));
  std::memset(heads, 0, sizeof(int32_t) * size_t(bucketCount));
  mask = bucketCount - 1;
  nextCapacity = pool.size * 2 > 16 ? pool.size * 2 : 16;
  next = static_cast<int32_t*>(arena.allocate(sizeof(int32_t) * size_t(nextCapacity)));
  chained = 0;
  for (int32_t i = 0; i < pool.size; i++) insert(pool, i);
  covered = pool.size;
}

void ConstantPoolIndex::insert(const ConstantPool& pool, int32_t index) {
  const ConstantPoolInfo* entry = pool[index];
  if (entry == nullptr) return;
  uint32_t hash;
  switch (entry->tag) {
    case CONSTANT_Utf8: {
      const auto* utf8 = static_cast<const ConstantUtf8Info*>(entry);
      hash = textHash(utf8->textData(), utf8->textSize());
      break;
    }
    case CONSTANT_Integer:
      hash = numberHash(entry->tag, static_cast<const ConstantIntInfo*>(entry)->value);
      break;
    case CONSTANT_Long:
      hash = numberHash(entry->tag, static_cast<const ConstantLongInfo*>(entry)->value);
      break;
    case CONSTANT_Class:
      hash = referenceHash(entry->tag, static_cast<const ConstantClassInfo*>(entry)->nameIndex, 0);
      break;
    case CONSTANT_String:
      hash = referenceHash(entry->tag, static_cast<const ConstantStringInfo*>(entry)->stringIndex, 0);
      break;
    case CONSTANT_NameAndType: {
      const auto* nameAndType = static_cast<const ConstantNameAndTypeInfo*>(entry);
      hash = referenceHash(entry->tag, nameAndType->nameIndex, nameAndType->descriptorIndex);
      break;
    }
    case CONSTANT_Methodref: {
      const auto* method = static_cast<const ConstantMemberRefInfo*>(entry);
      hash = referenceHash(entry->tag, method->classIndex, method->nameAndTypeIndex);
      break;
    }
    default:
      return;
  }
  int32_t& head = heads[hash & uint32_t(mask)];
  next[index] = head;
  head = index;
  chained++;
}
