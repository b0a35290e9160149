#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "agent/classfile/MethodInfo.h"
#include "tests/classfile/ClassStructure.h"
#include "tests/classfile/CodeModel.h"
#include "tests/classfile/CorpusFiles.h"
#include "tests/support/TempDir.h"

// Methods of a javac-compiled class (tests/jvm/edited/Main.java) are edited with the Code attribute's
// editors and spliced back into the class bytes; a real JVM must load and run the class with every
// method verified. TALLYSCOPE_JAVA names the java executable, TALLYSCOPE_EDIT_FIXTURE the directory
// holding the compiled Main.class.

namespace {

constexpr uint8_t LCONST_0 = 0x09;
constexpr uint8_t ICONST_0 = 0x03;
constexpr uint8_t WIDE = 0xC4;
constexpr uint8_t LSTORE = 0x37;
constexpr uint8_t ISTORE = 0x36;
constexpr uint8_t POP = 0x57;
constexpr uint8_t BIPUSH = 0x10;
constexpr uint8_t IRETURN = 0xAC;

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

std::vector<uint8_t> bytesOf(const YVector<uint8_t>& vector) {
  return std::vector<uint8_t>(vector.data, vector.data + vector.size);
}

// The pool as the class file holds it after the version: u2 count, then the entries.
YVector<uint8_t> writtenPool(const ConstantPool& pool) {
  YVector<uint8_t> bytes;
  DataOutput out(bytes);
  out.writeShort(pool.size);
  for (int32_t i = 1; i < pool.size; i++) {
    if (pool[i] != nullptr) pool[i]->write(out);
  }
  return bytes;
}

// Inserts "store 0 into a new local" at offset 0; `shift` false forgets to move the tables with it.
void insertLocalStoreAtStart(CodeAttribute& code, const VerificationType& type, bool shift) {
  const bool wide = type.isWide();
  const int32_t slot = code.addLocal(type, true);
  std::vector<uint8_t> bytes = {wide ? LCONST_0 : ICONST_0, WIDE, wide ? LSTORE : ISTORE, uint8_t(slot >> 8),
                                uint8_t(slot)};
  const int32_t inserted = int32_t(bytes.size());
  bytes.insert(bytes.end(), code.getCode(), code.getCode() + code.getCodeLength());
  code.setCode(bytes.data(), int32_t(bytes.size()));
  if (shift) code.shiftOffsets(inserted, 0);
  code.addLocalsToFrames(0, -1);
  code.ensureMaxStack(wide ? 2 : 1);
}

// Appends a handler over all of the code that makes the method return 42 for anything thrown.
void catchEverythingAndReturn42(CodeAttribute& code, ClassFile& classFile) {
  const int32_t end = code.getCodeLength();
  std::vector<uint8_t> bytes(code.getCode(), code.getCode() + end);
  for (uint8_t b : {POP, BIPUSH, uint8_t(42), IRETURN}) bytes.push_back(b);
  code.setCode(bytes.data(), int32_t(bytes.size()));
  const int32_t throwable = classFile.getOrAddClass(classFile.getOrAddUtf8(YString("java/lang/Throwable")));
  code.addExceptionHandler(5, end, end, VerificationType(ITEM_Object, throwable));
}

// Main.class with work(ILjava/lang/String;)I given a long local stored at its start and a catch-all
// handler, and the constructor Main(I) (whose frames hold an uninitialised this) an int local stored at
// its start. The pool, which gains java/lang/Throwable, is written back as well. With `shift` false only
// the constructor is edited, and its tables are left where they were.
std::vector<uint8_t> editedMain(const YVector<uint8_t>& bytes, bool shift) {
  ClassStructure structure;
  readClassStructure(bytes, structure);
  // Every entry writes back to the bytes it came from, so the pool ends where its rewrite ends.
  const int32_t poolStart = 8;
  const int32_t poolEnd = poolStart + writtenPool(structure.pool).size;
  std::unique_ptr<ClassFile> classFile = adoptPool(structure);

  struct Splice {
    int32_t start;
    int32_t length;
    YVector<uint8_t> bytes;
  };
  std::vector<Splice> splices;
  for (const MemberSpans& method : structure.methods) {
    const bool work = method.name == "work";
    if (!work && !(method.name == "<init>" && method.descriptor == "(I)V")) continue;
    // Without the shift only the constructor is edited: an unshifted exception table in work() would
    // be refused for its own sake, before (or instead of) the frames.
    if (work && !shift) continue;
    for (const AttributeSpan& span : method.attributes) {
      if (span.name != "Code") continue;
      std::unique_ptr<CodeAttribute> code = readCodeAttribute(bytes, span, *classFile);
      const MethodInfo info(method.accessFlags, classFile->getOrAddUtf8(YString(method.name.c_str())),
                            classFile->getOrAddUtf8(YString(method.descriptor.c_str())), classFile.get());
      code->initStackMapFrames(classFile.get(), &info);
      EXPECT_GT(code->getFrames().size, 1) << method.name;
      if (work) {
        insertLocalStoreAtStart(*code, VerificationType(ITEM_Long, -1), shift);
        catchEverythingAndReturn42(*code, *classFile);
      } else {
        insertLocalStoreAtStart(*code, VerificationType(ITEM_Integer, -1), shift);
      }
      code->buildStackMapTable();
      splices.push_back({span.start, span.length, written(*code)});
    }
  }
  EXPECT_EQ(splices.size(), shift ? 2u : 1u);

  std::vector<uint8_t> edited(bytes.data, bytes.data + poolStart);  // magic and version
  const std::vector<uint8_t> pool = bytesOf(writtenPool(classFile->getConstantPool()));
  edited.insert(edited.end(), pool.begin(), pool.end());
  int32_t position = poolEnd;
  for (const Splice& splice : splices) {
    edited.insert(edited.end(), bytes.data + position, bytes.data + splice.start);
    edited.insert(edited.end(), splice.bytes.data, splice.bytes.data + splice.bytes.size);
    position = splice.start + splice.length;
  }
  edited.insert(edited.end(), bytes.data + position, bytes.data + bytes.size);
  return edited;
}

// Runs Main from `classes` with every class verified; what it printed, errors included.
std::string runMain(const std::string& java, const TempDir& classes) {
  const std::string output = classes.pathOf("output.txt");
  const std::string command =
      "\"" + java + "\" -Xverify:all -cp \"" + classes.path() + "\" Main > \"" + output + "\" 2>&1";
  std::system(command.c_str());
  std::ifstream in(output);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string runWith(const std::string& java, const std::vector<uint8_t>& classBytes) {
  TempDir classes;
  classes.write("Main.class", std::string(classBytes.begin(), classBytes.end()));
  return runMain(java, classes);
}

class EditedMethodJvm : public testing::Test {
 protected:
  void SetUp() override {
    java = environment("TALLYSCOPE_JAVA");
    const std::string fixture = environment("TALLYSCOPE_EDIT_FIXTURE");
    ASSERT_FALSE(java.empty()) << "TALLYSCOPE_JAVA is not set";
    ASSERT_FALSE(fixture.empty()) << "TALLYSCOPE_EDIT_FIXTURE is not set";
    original = readClassFile(fixture + "/Main.class");
    ASSERT_GT(original.size, 0) << fixture;
  }

  std::string java;
  YVector<uint8_t> original;
};

}  // namespace

TEST_F(EditedMethodJvm, EditedMethodsPassTheVerifierAndRun) {
  EXPECT_EQ(runWith(java, bytesOf(original)), "26\n7\nthrown\n6 24\n");
  // The added handler turns the exception of work(-1, "boom") into 42; all else is unchanged.
  EXPECT_EQ(runWith(java, editedMain(original, true)), "26\n7\n42\n6 24\n");
}

// The harness notices broken frames: code inserted without moving the frames is refused.
TEST_F(EditedMethodJvm, FramesLeftBehindTheInsertedCodeFailVerification) {
  const std::string output = runWith(java, editedMain(original, false));
  EXPECT_NE(output.find("java.lang.VerifyError"), std::string::npos) << output;
}
