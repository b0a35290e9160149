#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "agent/classfile/ClassFile.h"
#include "agent/classfile/DataInput.h"
#include "agent/classfile/MethodInfo.h"
#include "agent/natives/CallbackNatives.h"
#include "tests/support/CallbackArchive.h"

namespace {

using Signature = std::pair<std::string, std::string>;

// The natives that Callback.class of the embedded archive declares, in declaration order.
std::vector<Signature> declaredNatives() {
  const std::vector<uint8_t> bytes = callbackArchiveEntry("com/brantel/runtime/Callback.class");
  YVector<uint8_t> input;
  for (uint8_t byte : bytes) input.add(byte);
  DataInput in(input);
  ClassFile classFile(in);
  std::vector<Signature> natives;
  const YVector<MethodInfo*>& methods = classFile.getMethods();
  for (int32_t i = 0; i < methods.size; i++) {
    if (methods[i]->isNative()) natives.emplace_back(methods[i]->getName().data, methods[i]->getDescriptor().data);
  }
  return natives;
}

}  // namespace

TEST(CallbackNativesTable, RowsAreTheNativesOfTheCallbackClassInItsOrder) {
  const std::vector<Signature> declared = declaredNatives();
  ASSERT_EQ(declared.size(), size_t(callbackNativesCount));
  for (int32_t i = 0; i < callbackNativesCount; i++) {
    const JNINativeMethod& row = callbackNativesTable[i];
    EXPECT_EQ(Signature(row.name, row.signature), declared[size_t(i)]) << "row " << i;
  }
}

TEST(CallbackNativesTable, EveryRowHasAFunctionOfItsOwn) {
  std::set<void*> functions;
  for (const JNINativeMethod& row : callbackNativesTable) {
    EXPECT_NE(row.fnPtr, nullptr) << row.name;
    EXPECT_TRUE(functions.insert(row.fnPtr).second) << row.name << " shares its function";
  }
}
