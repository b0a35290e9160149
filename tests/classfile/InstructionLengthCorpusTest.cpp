#include <gtest/gtest.h>

#include <bitset>
#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include "agent/classfile/InstructionLengths.h"
#include "agent/support/BZPRuntimeException.h"
#include "tests/classfile/ClassStructure.h"
#include "tests/classfile/CorpusFiles.h"

namespace {

// What ASM visited in one method's code: "<name><descriptor>", the number of instructions and the FNV-1a
// hash of their opcodes as ASM reports them (tests/classfile/AsmDump.java, "instructions.txt").
struct AsmMethod {
  std::string nameAndDescriptor;
  int32_t count;
  uint64_t hash;
};

struct AsmClass {
  std::string path;
  std::vector<AsmMethod> methods;
};

std::vector<AsmClass> readAsmInstructions(const std::string& path) {
  std::vector<AsmClass> classes;
  for (const std::string& line : readLines(path)) {
    const std::vector<std::string> fields = splitFields(line, '\t');
    if (fields[0] == "C") {
      classes.push_back({fields[1], {}});
    } else if (fields[0] == "M") {
      classes.back().methods.push_back({fields[1], std::stoi(fields[2]), std::stoull(fields[3], nullptr, 16)});
    }
  }
  return classes;
}

constexpr uint64_t kFnvOffset = 0xcbf29ce484222325ULL;
constexpr uint64_t kFnvPrime = 0x100000001b3ULL;

// The opcode under which ASM visits the instruction at `position`: the short forms of loads and stores
// as the general ones, LDC_W and LDC2_W as LDC, GOTO_W and JSR_W as GOTO and JSR, WIDE as the opcode
// it modifies.
int32_t asmOpcode(const uint8_t* code, int32_t position) {
  const int32_t opcode = code[position];
  if (opcode == OPCODE_WIDE) return code[position + 1];
  if (opcode >= 26 && opcode <= 45) return 21 + (opcode - 26) / 4;  // ILOAD_0 .. ALOAD_3
  if (opcode >= 59 && opcode <= 78) return 54 + (opcode - 59) / 4;  // ISTORE_0 .. ASTORE_3
  if (opcode == 19 || opcode == 20) return 18;
  if (opcode == 200 || opcode == 201) return opcode - 33;
  return opcode;
}

struct Walk {
  int32_t count = 0;
  uint64_t hash = kFnvOffset;
  int32_t stoppedAt = -1;  // where an instruction did not fit, or -1
};

Walk walkCode(const uint8_t* code, int32_t length, std::bitset<256>& seen) {
  Walk walk;
  for (int32_t position = 0; position < length;) {
    const int32_t instructionLength = instructionLengthAt(code, length, position);
    if (instructionLength < 0) {
      walk.stoppedAt = position;
      return walk;
    }
    seen.set(code[position]);
    walk.count++;
    walk.hash = (walk.hash ^ uint64_t(asmOpcode(code, position))) * kFnvPrime;
    position += instructionLength;
  }
  return walk;
}

int32_t u4At(const YVector<uint8_t>& bytes, int32_t at) {
  return int32_t(uint32_t(bytes[at]) << 24 | uint32_t(bytes[at + 1]) << 16 | uint32_t(bytes[at + 2]) << 8 |
                 uint32_t(bytes[at + 3]));
}

}  // namespace

// Every method's code of the JDK walked with the instruction-length table, WIDE and switches measured
// from their operands: the walk ends exactly at the code's end and meets the instructions that ASM visits,
// as many and with the same opcodes. A length off by one byte puts the walk out of step with ASM's.
TEST(InstructionLengthCorpus, WalksEveryMethodInStepWithAsm) {
  const std::string dump = asmDumpDirectory();
  ASSERT_FALSE(dump.empty()) << "TALLYSCOPE_ASM_DUMP is not set";
  const std::string corpus = corpusDirectory(dump);
  const std::vector<AsmClass> classes = readAsmInstructions(dump + "/instructions.txt");
  ASSERT_GT(classes.size(), 20000u) << "too few classes: is the ASM dump complete?";

  int32_t failures = 0;
  const auto fail = [&failures](const std::string& text) {
    if (++failures <= 20) ADD_FAILURE() << text;
  };
  int32_t unreadable = 0;
  int32_t methods = 0;
  int64_t instructions = 0;
  std::bitset<256> seen;
  for (const AsmClass& asmClass : classes) {
    const YVector<uint8_t> bytes = readClassFile(corpus + "/" + asmClass.path);
    ClassStructure structure;
    try {
      readClassStructure(bytes, structure);
    } catch (const BZPRuntimeException&) {
      fail(asmClass.path + ": not readable");
      continue;
    }
    if (!structure.complete) {  // a pool entry the model does not read (module-info, condy)
      unreadable++;
      continue;
    }
    size_t next = 0;
    for (const MemberSpans& method : structure.methods) {
      for (const AttributeSpan& span : method.attributes) {
        if (span.name != "Code") continue;
        const std::string where = asmClass.path + " " + method.name + method.descriptor;
        if (next >= asmClass.methods.size() || asmClass.methods[next].nameAndDescriptor != method.name + method.descriptor) {
          fail(where + ": not in ASM's dump");
          break;
        }
        const AsmMethod& asmMethod = asmClass.methods[next++];
        // u2 name, u4 length, u2 max stack, u2 max locals, u4 code length, the code.
        const int32_t codeLength = u4At(bytes, span.start + 10);
        const Walk walk = walkCode(bytes.data + span.start + 14, codeLength, seen);
        methods++;
        instructions += walk.count;
        if (walk.stoppedAt >= 0) {
          fail(where + ": the instruction at " + std::to_string(walk.stoppedAt) + " runs past the code's end");
        } else if (walk.count != asmMethod.count || walk.hash != asmMethod.hash) {
          fail(where + ": " + std::to_string(walk.count) + " instructions, ASM visited " +
               std::to_string(asmMethod.count) + (walk.count == asmMethod.count ? " with other opcodes" : ""));
        }
      }
    }
    if (next != asmClass.methods.size()) fail(asmClass.path + ": ASM saw more methods with code");
  }
  EXPECT_EQ(failures, 0);
  EXPECT_GT(methods, 100000);

  std::string unseen;
  for (int32_t opcode = 0; opcode <= 201; opcode++) {
    if (!seen[size_t(opcode)]) unseen += " " + std::to_string(opcode);
  }
  std::cout << methods << " methods, " << instructions << " instructions; " << unreadable
            << " classes hold pool entries the model does not read; defined opcodes not in the corpus:"
            << (unseen.empty() ? " none" : unseen) << std::endl;
  RecordProperty("methods", methods);
}
