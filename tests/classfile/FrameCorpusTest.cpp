#include <gtest/gtest.h>

#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "agent/classfile/AttributeNames.h"
#include "agent/classfile/MethodInfo.h"
#include "tests/classfile/ClassStructure.h"
#include "tests/classfile/CodeModel.h"
#include "tests/classfile/CorpusFiles.h"
#include "tests/support/LogCapture.h"

namespace {

// What ASM expanded for one method: its name and descriptor, and per frame "<offset>\t<locals>\t<stack>".
struct AsmMethod {
  std::string nameAndDescriptor;
  std::vector<std::string> frames;
};

struct AsmClass {
  std::string path;
  std::vector<AsmMethod> methods;
};

std::vector<AsmClass> readAsmFrames(const std::string& path) {
  std::vector<AsmClass> classes;
  for (const std::string& line : readLines(path)) {
    if (line.rfind("C\t", 0) == 0) {
      classes.push_back({line.substr(2), {}});
    } else if (line.rfind("M\t", 0) == 0) {
      classes.back().methods.push_back({line.substr(2), {}});
    } else if (line.rfind("F\t", 0) == 0) {
      classes.back().methods.back().frames.push_back(line.substr(2));
    }
  }
  return classes;
}

// The kind of each entry of an encoded "StackMapTable" body, walked independently of the agent's reader.
std::vector<std::string> entryKinds(const YVector<uint8_t>& body) {
  std::vector<std::string> kinds;
  int32_t position = 2;
  const auto u2 = [&body, &position]() {
    position += 2;
    return body[position - 2] << 8 | body[position - 1];
  };
  const auto skipTypes = [&body, &position](int32_t count) {
    for (int32_t i = 0; i < count; i++) position += body[position++] >= ITEM_Object ? 2 : 0;
  };
  while (position < body.size) {
    const int32_t type = body[position++];
    if (type < 64) {
      kinds.push_back("same");
    } else if (type < 128) {
      kinds.push_back("same_locals_1_stack_item");
      skipTypes(1);
    } else if (type == 247) {
      kinds.push_back("same_locals_1_stack_item_extended");
      u2();
      skipTypes(1);
    } else if (type >= 248 && type <= 250) {
      kinds.push_back("chop");
      u2();
    } else if (type == 251) {
      kinds.push_back("same_frame_extended");
      u2();
    } else if (type >= 252 && type <= 254) {
      kinds.push_back("append");
      u2();
      skipTypes(type - 251);
    } else {
      kinds.push_back(type == 255 ? "full_frame" : "reserved");
      u2();
      skipTypes(u2());
      skipTypes(u2());
    }
  }
  return kinds;
}

// "javac's kind -> ours" of the first entry that differs.
std::string differenceKind(const YVector<uint8_t>& original, const YVector<uint8_t>& ours) {
  const std::vector<std::string> theirs = entryKinds(original);
  const std::vector<std::string> mine = entryKinds(ours);
  for (size_t i = 0; i < theirs.size() && i < mine.size(); i++) {
    if (theirs[i] != mine[i]) return theirs[i] + " -> " + mine[i];
  }
  return "same kinds, different bytes";
}

// The body of the first nested "StackMapTable", empty when there is none.
YVector<uint8_t> stackMapTableBody(const CodeAttribute& code) {
  const AttributeInfo* table = code.getAttribute(attributeNames().stackMapTable);
  if (table == nullptr) return YVector<uint8_t>();
  const YVector<uint8_t> bytes = written(*table);
  return bytesOf(bytes, 6, bytes.size - 6);
}

bool sameBytes(const YVector<uint8_t>& a, const YVector<uint8_t>& b) {
  return a.size == b.size && (a.size == 0 || std::memcmp(a.data, b.data, size_t(a.size)) == 0);
}

struct Tally {
  int32_t classes = 0;
  int32_t unreadableClasses = 0;
  int32_t unreadMethods = 0;
  int32_t methods = 0;
  int64_t frames = 0;
  int32_t withTable = 0;
  int32_t identical = 0;
  int32_t differing = 0;
  int32_t failures = 0;
  std::map<std::string, std::pair<int32_t, std::string>> differences;  // kind -> count, first method

  void fail(const std::string& text) {
    if (++failures <= 20) ADD_FAILURE() << text;
  }
};

// Compares one method's expanded frames with ASM's and its encoded table with the file's.
void compareMethod(const YVector<uint8_t>& bytes, const MemberSpans& method, const AttributeSpan& span,
                   const AsmMethod& asmMethod, const std::string& where, ClassFile& classFile, Tally& tally) {
  std::unique_ptr<CodeAttribute> code = readCodeAttribute(bytes, span, classFile);
  if (!sameBytes(written(*code), bytesOf(bytes, span.start, span.length))) {
    tally.fail(where + ": the Code attribute does not write back unchanged");
    return;
  }
  const YVector<uint8_t> original = stackMapTableBody(*code);
  if (original.size > 0) tally.withTable++;
  const bool tableLast = code->getAttributes().size > 0 &&
                         code->getAttributes()[code->getAttributes().size - 1]->hasName(classFile.getConstantPool(), attributeNames().stackMapTable);
  const MethodInfo info(method.accessFlags, classFile.getOrAddUtf8(YString(method.name.c_str())),
                        classFile.getOrAddUtf8(YString(method.descriptor.c_str())), &classFile);
  code->initStackMapFrames(&classFile, &info);

  const YVector<StackMapFrame*>& frames = code->getFrames();
  std::vector<std::string> ours;
  for (int32_t i = 1; i < frames.size; i++) ours.push_back(frameText(*frames[i], classFile.getConstantPool()));
  tally.frames += int64_t(ours.size());
  if (ours != asmMethod.frames) {
    size_t i = 0;
    while (i < ours.size() && i < asmMethod.frames.size() && ours[i] == asmMethod.frames[i]) i++;
    tally.fail(where + ": frame " + std::to_string(i + 1) + " is " +
               (i < ours.size() ? ours[i] : "missing") + ", ASM's " +
               (i < asmMethod.frames.size() ? asmMethod.frames[i] : "missing"));
    return;
  }

  code->buildStackMapTable();
  const YVector<uint8_t> rebuilt = stackMapTableBody(*code);
  if (sameBytes(original, rebuilt)) {
    tally.identical++;
    // The rebuilt table goes last, and the attribute's length follows it.
    const YVector<uint8_t> attribute = written(*code);
    if (tableLast ? !sameBytes(attribute, bytesOf(bytes, span.start, span.length)) : attribute.size != span.length) {
      tally.fail(where + ": the Code attribute with its rebuilt table differs");
    }
    return;
  }
  tally.differing++;
  auto& difference = tally.differences[differenceKind(original, rebuilt)];
  if (difference.first++ == 0) difference.second = where;
}

}  // namespace

// Every method with code of every class of the JDK: the frames expanded from its "StackMapTable" equal
// what ASM expands (ClassReader.EXPAND_FRAMES), and encoding them again gives the file's bytes. A method
// whose table comes out otherwise is counted by the kind of its first differing entry (javac's -> ours).
TEST(FrameCorpus, ExpandedFramesMatchAsmAndReencode) {
  const std::string dump = asmDumpDirectory();
  ASSERT_FALSE(dump.empty()) << "TALLYSCOPE_ASM_DUMP is not set";
  const std::string corpus = corpusDirectory(dump);
  const std::vector<AsmClass> classes = readAsmFrames(dump + "/frames.txt");
  ASSERT_GT(classes.size(), 20000u) << "too few classes: is the ASM dump complete?";

  LogCapture log;
  Tally tally;
  for (const AsmClass& asmClass : classes) {
    const YVector<uint8_t> bytes = readClassFile(corpus + "/" + asmClass.path);
    ClassStructure structure;
    readClassStructure(bytes, structure);
    if (!structure.complete) {
      tally.unreadableClasses++;  // a pool entry the model does not read (module-info, condy)
      tally.unreadMethods += int32_t(asmClass.methods.size());
      continue;
    }
    tally.classes++;
    std::unique_ptr<ClassFile> classFile = adoptPool(structure);
    size_t next = 0;
    for (const MemberSpans& method : structure.methods) {
      for (const AttributeSpan& span : method.attributes) {
        if (span.name != "Code") continue;
        const std::string where = asmClass.path + " " + method.name + method.descriptor;
        if (next >= asmClass.methods.size() || asmClass.methods[next].nameAndDescriptor != method.name + method.descriptor) {
          tally.fail(where + ": not in ASM's dump");
          break;
        }
        tally.methods++;
        try {
          compareMethod(bytes, method, span, asmClass.methods[next], where, *classFile, tally);
        } catch (const BZPRuntimeException&) {
          tally.fail(where + ": fatal error " + (log.entries().empty() ? "" : log.entries().back().substr(0, 200)));
        }
        next++;
      }
    }
    if (next != asmClass.methods.size()) tally.fail(asmClass.path + ": ASM saw more methods with code");
  }
  EXPECT_EQ(tally.failures, 0);
  EXPECT_GT(tally.methods, 100000);
  // javac picks the same entry kinds as our encoder, so every difference is a fault of ours.
  EXPECT_EQ(tally.differing, 0);

  std::cout << tally.classes << " classes; " << tally.unreadableClasses
            << " more hold pool entries the model does not read, with " << tally.unreadMethods << " methods with code; "
            << tally.methods << " methods with code, " << tally.withTable << " of them with " << tally.frames
            << " frames; re-encoded tables identical: "
            << tally.identical << ", differing: " << tally.differing << std::endl;
  for (const auto& [kind, difference] : tally.differences) {
    std::cout << "  first differing entry " << kind << ": " << difference.first << " (e.g. " << difference.second << ")"
              << std::endl;
  }
  RecordProperty("methods", tally.methods);
  RecordProperty("identical", tally.identical);
  RecordProperty("differing", tally.differing);
}
