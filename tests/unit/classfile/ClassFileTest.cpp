#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/unit/classfile/CodeTestSupport.h"
#include "tests/unit/classfile/FailureWithoutLine.h"

using namespace codetest;

namespace {

std::vector<std::string> argumentTypes(const char* descriptor) {
  YVector<YString> types;
  parseArgumentTypes(YString(descriptor), types);
  std::vector<std::string> texts;
  for (int32_t i = 0; i < types.size; i++) texts.emplace_back(types[i].data, size_t(types[i].length));
  return texts;
}

}  // namespace

TEST(ClassFile, GetOrAddUtf8FindsTheFirstEqualTextAndAppendsOnlyWhenMissing) {
  const std::unique_ptr<ClassFile> classFile = testClass();
  ConstantPool& pool = classFile->getConstantPool();
  pool.add(new ConstantUtf8Info(YString("Code")));  // a second "Code"
  EXPECT_EQ(classFile->getOrAddUtf8(YString("Code")), kCodeName);
  EXPECT_EQ(classFile->getOrAddUtf8(YString("Code")), kCodeName);  // from the cache
  EXPECT_EQ(classFile->getOrAddUtf8(YString("Cod")), kPoolSize + 1);
  EXPECT_EQ(classFile->getOrAddUtf8(YString("Cod")), kPoolSize + 1);
  EXPECT_EQ(pool.size, kPoolSize + 2);
  EXPECT_TRUE(constantAt<ConstantUtf8Info>(pool, kPoolSize + 1, "test", 0).equals(YString("Cod")));
}

TEST(ClassFile, GetOrAddClassIsKeyedByTheNameIndex) {
  const std::unique_ptr<ClassFile> classFile = testClass();
  ConstantPool& pool = classFile->getConstantPool();
  EXPECT_EQ(classFile->getOrAddClass(kStringName), kStringClass);
  EXPECT_EQ(classFile->getOrAddClass(kCodeName), kPoolSize);
  EXPECT_EQ(classFile->getOrAddClass(kCodeName), kPoolSize);
  EXPECT_EQ(pool.size, kPoolSize + 1);
  EXPECT_EQ(failureOf([&] { classFile->getOrAddClass(0); }), "error at ClassFile: assertion failed");
}

TEST(ClassFile, TheThisClassNameMustBeAClassEntry) {
  EXPECT_TRUE(testClass(52, "p/Thing")->getThisClassName().equals(YString("p/Thing")));
  ConstantPool pool;
  pool.add(nullptr);
  pool.add(new ConstantUtf8Info(YString("p/Thing")));
  const std::unique_ptr<ClassFile> utf8 = classFileOver(pool, 52, 1);
  EXPECT_EQ(failureOf([&] { utf8->getThisClassName(); }), "error at ClassFile: assertion failed");
  ConstantPool none;
  none.add(nullptr);
  EXPECT_EQ(failureOf([&] { classFileOver(none, 52, 0); }), "error at ClassFile: assertion failed");
}

TEST(MethodInfo, NamesAndDescriptorsMustBeUtf8Entries) {
  const std::unique_ptr<ClassFile> classFile = testClass();
  ClassFile* pool = classFile.get();
  const MethodInfo method(ACC_STATIC | 1, kRunName, kRunDescriptor, pool);
  EXPECT_TRUE(method.getName().equals(YString("run")));
  EXPECT_TRUE(method.getDescriptor().equals(YString("(IJLjava/lang/String;)V")));
  EXPECT_TRUE(method.isStatic());
  EXPECT_FALSE(MethodInfo(1, kRunName, kRunDescriptor, pool).isStatic());
  // An index naming a Class entry is a malformed class, never read as text.
  EXPECT_EQ(failureOf([&] { MethodInfo(0, kThisClass, kRunDescriptor, pool).getName(); }),
            "error at MethodInfo: assertion failed");
  EXPECT_EQ(failureOf([&] { MethodInfo(0, kRunName, kStringClass, pool).getDescriptor(); }),
            "error at MethodInfo: assertion failed");
  EXPECT_EQ(failureOf([&] { StackMapFrame(*classFile, MethodInfo(0, kThisClass, kRunDescriptor, pool)); }),
            "error at MethodInfo: assertion failed");
  EXPECT_EQ(failureOf([&] { MethodInfo(-1, kRunName, kRunDescriptor, pool); }), "error at MethodInfo: assertion failed");
  EXPECT_EQ(failureOf([&] { MethodInfo(0, 0, kRunDescriptor, pool); }), "error at MethodInfo: assertion failed");
  EXPECT_EQ(failureOf([&] { MethodInfo(0, kRunName, 0, pool); }), "error at MethodInfo: assertion failed");
}

TEST(MethodInfo, ArgumentTypesAreSplitOffTheDescriptor) {
  EXPECT_EQ(argumentTypes("()V"), std::vector<std::string>{});
  EXPECT_EQ(argumentTypes("(J)V"), std::vector<std::string>{"J"});
  EXPECT_EQ(argumentTypes("([[I)V"), std::vector<std::string>{"[[I"});
  EXPECT_EQ(argumentTypes("(I[JLjava/lang/String;[[Ljava/lang/Object;)V"),
            (std::vector<std::string>{"I", "[J", "Ljava/lang/String;", "[[Ljava/lang/Object;"}));
  EXPECT_EQ(argumentTypes("(II"), std::vector<std::string>{});  // no ")"
  EXPECT_EQ(failureOf([] { argumentTypes("(Ljava/lang/String)V"); }), "error at MethodInfo: assertion failed");
  EXPECT_EQ(argumentTypes("([[)V"), std::vector<std::string>{"[[)"});  // taken as it stands, never past the ")"
}
