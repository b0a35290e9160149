#include "agent/recording/MethodStore.h"

#include <cstring>

#include "agent/db/DB.h"
#include "agent/support/FatalError.h"
#include "agent/support/YMap.h"

namespace {

// The five string ids of a method's name parts, in the order of its record.
struct MethodKey {
  int32_t ids[5];
};

// The sum of the five ids.
int32_t keyHash(const MethodKey& key) {
  uint32_t sum = 0;
  for (int32_t id : key.ids) sum += static_cast<uint32_t>(id);
  return static_cast<int32_t>(sum & 0x7fffffff);
}

bool keysEqual(const MethodKey& a, const MethodKey& b) { return std::memcmp(a.ids, b.ids, sizeof a.ids) == 0; }

constexpr int32_t blockSize = 4096;

// Hands out ids block by block; a full block is followed by the next free block number.
struct BlockAllocator {
  int32_t block;
  int32_t index;

  int32_t allocate(int32_t& nextFreeBlock) {
    if (index == blockSize) {
      block = nextFreeBlock++;
      index = 0;
    }
    return block * blockSize + index++;
  }
};

struct MethodStore {
  YMap<MethodKey, int32_t> methods{1000};
  BlockAllocator ordinary{0, 1};
  BlockAllocator allocationPseudoMethods{1, 0};
  int32_t nextFreeBlock = 2;
};

MethodStore& methodStore() {
  static MethodStore* const store = new MethodStore;
  return *store;
}

bool startsWith(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

int32_t methodFlags(const char* className, const char* methodName, bool isNative) {
  int32_t flags = 0;
  if (std::strcmp(className, "com.brantel.runtime.Callback") == 0 || startsWith(methodName, "$$BZP$$")) flags |= 0x1;
  if (isNative) flags |= 0x800;
  for (const char* callback : {"onEnter", "onEnterImpl", "onExit", "onReturn", "onReturnImpl", "onUncaughtException"}) {
    if (std::strcmp(methodName, callback) == 0) flags |= 0x40;
  }
  if (startsWith(methodName, "invoke") || startsWith(methodName, "dispatch")) flags |= 0x1000;
  return flags;
}

}  // namespace

int32_t getOrCreateMethod(const char* className, const char* methodName, const char* parameters,
                          const char* returnType, const char* sourceFile, bool isNative) {
  if (db == nullptr) fatalError("db is NULL", "YMethod", 60);
  const MethodKey key{{getStringId(methodName), getStringId(parameters), getStringId(className),
                       getStringId(returnType), getStringId(sourceFile)}};
  MethodStore& store = methodStore();
  const int32_t slot = store.methods.indexOf(key);
  if (slot >= 0) return store.methods.values[slot];

  BlockAllocator& allocator =
      std::strcmp(methodName, "<<init>>") == 0 ? store.allocationPseudoMethods : store.ordinary;
  const int32_t id = allocator.allocate(store.nextFreeBlock);
  MethodRecord& row = *db->methods.getRow(id, true);
  row.nameId = key.ids[0];
  row.parametersId = key.ids[1];
  row.classNameId = key.ids[2];
  row.returnTypeId = key.ids[3];
  row.sourceFileId = key.ids[4];
  row.flags = methodFlags(className, methodName, isNative);
  row.stamp = db->currentStamp;
  store.methods.put(key, id);
  return id;
}

void resetMethodStore() {
  MethodStore& store = methodStore();
  store.methods.init();
  store.ordinary = {0, 1};
  store.allocationPseudoMethods = {1, 0};
  store.nextFreeBlock = 2;
}
