#include "agent/recording/MethodStore.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include <jvmti.h>

#include "agent/classfile/LineLookup.h"
#include "agent/classfile/SignatureUtil.h"
#include "agent/core/JvmtiEnvironments.h"
#include "agent/db/DB.h"
#include "agent/recording/ClassSignature.h"
#include "agent/recording/MethodFilterFlags.h"
#include "agent/support/FatalError.h"
#include "agent/support/JvmtiUtils.h"
#include "agent/support/YMap.h"
#include "agent/support/YString.h"

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
  YMap<int64_t, int32_t> byJMethod{1000};
  // The line of each location asked for; -1 for a location without one.
  YMap<MethodLocation, int32_t> lines{1000};
  BlockAllocator ordinary{0, 1};
  BlockAllocator allocationPseudoMethods{1, 0};
  int32_t nextFreeBlock = 2;
  // The string ids of "<<init>>", "()", "void" and "", the texts every allocation pseudo-method shares;
  // 0 until the first is made. Its row keeps them from the string pool's collections.
  int32_t allocationTexts[4] = {};
};

MethodStore& methodStore() {
  static MethodStore* const store = new MethodStore;
  return *store;
}

bool startsWith(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

// A lambda class's name ends in "." and digits that differ from run to run on older JVMs; they go, so
// that its methods keep one record. Other tails (a hidden class's ".0x..." address) stay.
void trimLambdaSuffix(YString& className) {
  if (!className.contains("$$Lambda$")) return;
  int32_t digits = className.length;
  while (digits > 0 && className.data[digits - 1] >= '0' && className.data[digits - 1] <= '9') digits--;
  if (digits == className.length || digits == 0 || className.data[digits - 1] != '.') return;
  className = className.substring(0, digits - 1);
}

int32_t methodFlags(const char* className, const char* methodName, bool isNative) {
  int32_t flags = 0;
  if (std::strcmp(className, "com.brantel.runtime.Callback") == 0 || startsWith(methodName, "$$BZP$$")) {
    flags |= methodLeftOutOfStacks;
  }
  if (isNative) flags |= methodNative;
  for (const char* callback : {"onEnter", "onEnterImpl", "onExit", "onReturn", "onReturnImpl", "onUncaughtException"}) {
    if (std::strcmp(methodName, callback) == 0) flags |= methodProbeCallback;
  }
  if (startsWith(methodName, "invoke") || startsWith(methodName, "dispatch")) flags |= methodNeverExcluded;
  return flags;
}

// The record of the key, made when missing; the texts decide a new record's flags.
int32_t methodOfKey(const MethodKey& key, const char* className, const char* methodName, bool isNative) {
  MethodStore& store = methodStore();
  const int32_t slot = store.methods.findInsertSlot(key);
  if (slot < 0) return store.methods.values[~slot];

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
  updateMethodFilterFlags(db, row);
  store.methods.insertAt(slot, key, id);
  return id;
}

}  // namespace

int32_t getOrCreateMethod(const char* className, const char* methodName, const char* parameters,
                          const char* returnType, const char* sourceFile, bool isNative) {
  if (db == nullptr) fatalError("db is NULL", "YMethod", 60);
  const MethodKey key{{getStringId(methodName), getStringId(parameters), getStringId(className),
                       getStringId(returnType), getStringId(sourceFile)}};
  return methodOfKey(key, className, methodName, isNative);
}

int32_t getOrCreateAllocationMethod(const char* className) {
  if (db == nullptr) fatalError("db is NULL", "YMethod", 60);
  int32_t* texts = methodStore().allocationTexts;
  if (texts[0] == 0) {
    const char* const shared[] = {"<<init>>", "()", "void", ""};
    for (int32_t i = 0; i < 4; i++) texts[i] = getStringId(shared[i]);
  }
  const MethodKey key{{texts[0], texts[1], getStringId(className), texts[2], texts[3]}};
  return methodOfKey(key, className, "<<init>>", false);
}

MethodOwner getMethodOwner(const char* className, const char* sourceFile) {
  if (db == nullptr) fatalError("db is NULL", "YMethod", 60);
  return MethodOwner{className, getStringId(className), getStringId(sourceFile)};
}

int32_t getOrCreateMethod(const MethodOwner& owner, const char* methodName, const char* parameters,
                          const char* returnType, bool isNative) {
  if (db == nullptr) fatalError("db is NULL", "YMethod", 60);
  const MethodKey key{{getStringId(methodName), getStringId(parameters), owner.classNameId, getStringId(returnType),
                       owner.sourceFileId}};
  return methodOfKey(key, owner.className, methodName, isNative);
}

int32_t getMethodFlags(int32_t methodId) {
  // The row's stamp is not read: a row not made holds flags 0, and rows are never deleted.
  const MethodRecord* method = methodTable->rows.existing(methodId);
  return method == nullptr ? 0 : __atomic_load_n(&method->flags, __ATOMIC_RELAXED);
}

void setMethodFlags(int32_t methodId, int32_t flags) {
  MethodRecord* method = methodTable->getRow(methodId, false);
  if (method == nullptr || (method->flags & flags) == flags) return;
  __atomic_store_n(&method->flags, method->flags | flags, __ATOMIC_RELAXED);
  method->stamp = requireDatabase().currentStamp;
}

void clearMethodFlags(int32_t methodId, int32_t flags) {
  MethodRecord* method = methodTable->getRow(methodId, false);
  if (method == nullptr || (method->flags & flags) == 0) return;
  __atomic_store_n(&method->flags, method->flags & ~flags, __ATOMIC_RELAXED);
  method->stamp = requireDatabase().currentStamp;
}

int32_t getMethodIdOfJMethod(JNIEnv* env, jmethodID method) {
  if (method == nullptr) assertionFailed("assertion failed: value is NULL", "YFrameStorageJava", 70);
  MethodStore& store = methodStore();
  const int64_t key = reinterpret_cast<int64_t>(method);
  if (const int32_t slot = store.byJMethod.indexOf(key); slot >= 0) return store.byJMethod.values[slot];

  YString name("<unknown>");
  YString parameters("()");
  YString returnType;
  JvmtiText methodName;
  JvmtiText signature;
  if (mainJvmti->GetMethodName(method, methodName.out(), signature.out(), nullptr) == JVMTI_ERROR_NONE) {
    if (methodName.text == nullptr) assertionFailed("assertion failed: value is NULL", "YFrameStorageJava", 85);
    if (signature.text == nullptr) assertionFailed("assertion failed: value is NULL", "YFrameStorageJava", 86);
    name = YString(methodName.text);
    parameters = methodDescriptorToParameterList(signature.text);
    returnType = methodDescriptorToReturnTypeName(signature.text);
  }

  YString className("<unknown>");
  YString sourceFile;
  jclass declaringClass = nullptr;
  if (mainJvmti->GetMethodDeclaringClass(method, &declaringClass) == JVMTI_ERROR_NONE) {
    if (declaringClass == nullptr) assertionFailed("assertion failed: value is NULL", "YFrameStorageJava", 110);
    // The local reference goes whatever happens below.
    struct LocalClass {
      JNIEnv* env;
      jclass klass;
      ~LocalClass() { env->DeleteLocalRef(klass); }
    } held{env, declaringClass};
    className = getClassSignature(declaringClass, "<unknown>");
    trimLambdaSuffix(className);
    JvmtiText source;
    if (mainJvmti->GetSourceFileName(declaringClass, source.out()) == JVMTI_ERROR_NONE) {
      if (source.text == nullptr) assertionFailed("assertion failed: value is NULL", "YFrameStorageJava", 143);
      sourceFile = YString(source.text);
    }
  }

  jboolean isNative = JNI_FALSE;
  if (mainJvmti->IsMethodNative(method, &isNative) != JVMTI_ERROR_NONE) isNative = JNI_FALSE;
  const int32_t id = getOrCreateMethod(className.data, name.data, parameters.data, returnType.data, sourceFile.data,
                                       isNative == JNI_TRUE);
  if (id == 0) assertionFailed("assertion failed", "YFrameStorageJava", 160);
  store.byJMethod.put(key, id);
  return id;
}

int32_t getLineOfLocation(jmethodID method, int32_t methodId, int64_t location) {
  if (location < 0) return 0;
  MethodStore& store = methodStore();
  const MethodLocation key{methodId, location};
  if (const int32_t slot = store.lines.indexOf(key); slot >= 0) return std::max(store.lines.values[slot], 0);

  int32_t line = 0;
  jint count = 0;
  jvmtiLineNumberEntry* table = nullptr;
  if (mainJvmti->GetLineNumberTable(method, &count, &table) == JVMTI_ERROR_NONE) {
    line = lineAtLocation(table, count, location, [](const jvmtiLineNumberEntry& entry) { return entry.start_location; },
                          [](const jvmtiLineNumberEntry& entry) { return entry.line_number; });
    mainJvmti->Deallocate(reinterpret_cast<unsigned char*>(table));
  }
  if (line < 0) assertionFailed("assertion failed", "YFrameStorageJava", 64);
  store.lines.put(key, line == 0 ? -1 : line);
  return line;
}

void resetMethodStore() {
  MethodStore& store = methodStore();
  store.methods.init();
  store.byJMethod.init();
  store.lines.init();
  store.ordinary = {0, 1};
  store.allocationPseudoMethods = {1, 0};
  store.nextFreeBlock = 2;
  std::fill(std::begin(store.allocationTexts), std::end(store.allocationTexts), 0);
}
