#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "agent/classfile/ConstantPoolInfo.h"
#include "agent/classfile/ConstantReferences.h"
#include "tests/classfile/CorpusFiles.h"
#include "tests/support/LogCapture.h"

namespace {

// One class of the ASM dump: its path, name, the offset of its access flags, and per pool index from 1
// on the tag and byte length of the entry, tag -1 for the empty slot after a Long or Double.
struct AsmClass {
  std::string path;
  std::string name;
  int32_t header = 0;
  std::vector<std::pair<int32_t, int32_t>> entries;
};

AsmClass parseAsmLine(const std::string& line) {
  const std::vector<std::string> fields = splitFields(line, '\t');
  AsmClass asmClass;
  asmClass.path = fields[0];
  if (fields.size() < 3) return asmClass;
  asmClass.name = fields[1];
  asmClass.header = std::stoi(fields[2]);
  for (size_t i = 3; i < fields.size(); i++) {
    if (fields[i] == "-") {
      asmClass.entries.emplace_back(-1, 0);
    } else {
      const size_t colon = fields[i].find(':');
      asmClass.entries.emplace_back(std::stoi(fields[i].substr(0, colon)), std::stoi(fields[i].substr(colon + 1)));
    }
  }
  return asmClass;
}

bool understood(int32_t tag) {
  return tag == 1 || (tag >= 3 && tag <= 12) || tag == 15 || tag == 16 || tag == 18;
}

struct PoolOwner {
  ConstantPool pool;
  ~PoolOwner() { pool.deleteElements(); }
};

// Reads the class's pool with our reader and compares it with ASM's view; gives an empty text when they
// agree, else what differs. `softFailureTag` is set to the tag our reader refused, if any.
std::string compareClass(const AsmClass& asmClass, const YVector<uint8_t>& bytes, int32_t& softFailureTag) {
  DataInput in(bytes);
  in.readInt();  // magic
  in.readInt();  // minor and major version
  const int32_t count = in.readUnsignedShort();
  if (count - 1 != int32_t(asmClass.entries.size())) return "pool count " + std::to_string(count);

  PoolOwner owner;
  owner.pool.add(nullptr);
  int32_t start = in.getPosition();
  for (int32_t index = 1; index < count; index++) {
    const auto [tag, length] = asmClass.entries[size_t(index - 1)];
    if (tag < 0) {
      const ConstantPoolInfo* previous = owner.pool[index - 1];
      if (previous == nullptr || (previous->tag != CONSTANT_Long && previous->tag != CONSTANT_Double)) {
        return "empty slot " + std::to_string(index) + " not after a Long or Double";
      }
      owner.pool.add(nullptr);
      continue;
    }
    ConstantPoolInfo* entry = ConstantPoolInfo::read(in);
    if (entry == nullptr) {
      softFailureTag = tag;
      return understood(tag) ? "entry " + std::to_string(index) + " refused, tag " + std::to_string(tag) : "";
    }
    owner.pool.add(entry);
    if (!understood(tag)) return "entry " + std::to_string(index) + " of tag " + std::to_string(tag) + " accepted";
    if (int32_t(entry->tag) != tag) return "entry " + std::to_string(index) + " tag " + std::to_string(entry->tag);
    YVector<uint8_t> written;
    DataOutput out(written);
    entry->write(out);
    if (written.size != length || in.getPosition() != start + length ||
        std::memcmp(written.data, bytes.data + start, size_t(length)) != 0) {
      return "entry " + std::to_string(index) + " written differently";
    }
    start += length;
  }
  if (in.getPosition() != asmClass.header) return "pool ends at " + std::to_string(in.getPosition());

  in.readUnsignedShort();  // access flags
  const auto& thisClass = constantAt<ConstantClassInfo>(owner.pool, in.readUnsignedShort(), "test", 0);
  const YString& name = thisClass.getName(owner.pool);
  if (std::string(name.data, size_t(name.length)) != asmClass.name) return "class name " + std::string(name.data);
  return std::string();
}

}  // namespace

// Every class of the JDK: every constant-pool entry re-serialises to its bytes in the file, with the
// entry boundaries and tags as ASM reads them, and the classes whose pools hold a tag we do not
// understand (17 Dynamic, 19 Module, 20 Package) are exactly the soft failures.
TEST(ConstantPoolCorpus, EntriesReserialiseAndUnknownTagsAreSoftFailures) {
  const std::string dump = asmDumpDirectory();
  ASSERT_FALSE(dump.empty()) << "TALLYSCOPE_ASM_DUMP is not set";
  const std::string corpus = corpusDirectory(dump);
  ASSERT_FALSE(corpus.empty()) << "the ASM dump names no corpus";

  std::vector<AsmClass> classes;
  for (const std::string& line : readLines(dump + "/constant-pools.txt")) classes.push_back(parseAsmLine(line));
  std::vector<std::string> dumped;
  for (const AsmClass& asmClass : classes) dumped.push_back(asmClass.path);
  std::vector<std::string> files = classFilesUnder(corpus);
  std::sort(dumped.begin(), dumped.end());
  std::sort(files.begin(), files.end());
  ASSERT_GT(files.size(), 20000u) << "too few classes: is the corpus complete?";
  ASSERT_EQ(dumped, files) << "ASM's dump does not cover the corpus";

  LogCapture log;
  int64_t entries = 0;
  int32_t failures = 0;
  std::map<int32_t, int32_t> softFailuresByTag;
  std::map<int32_t, int32_t> classesHoldingTag;
  std::vector<std::string> expectedLog;
  for (const AsmClass& asmClass : classes) {
    int32_t softFailureTag = 0;
    std::string difference;
    if (asmClass.name.empty()) {
      difference = "ASM could not read it: " + asmClass.path;
    } else {
      try {
        difference = compareClass(asmClass, readClassFile(corpus + "/" + asmClass.path), softFailureTag);
      } catch (const BZPRuntimeException&) {
        difference = "fatal error while reading";
      }
    }
    std::set<int32_t> unknownTags;
    for (const auto& entry : asmClass.entries) {
      if (entry.first > 0 && !understood(entry.first)) unknownTags.insert(entry.first);
    }
    for (int32_t tag : unknownTags) classesHoldingTag[tag]++;
    if (difference.empty() && unknownTags.empty() != (softFailureTag == 0)) difference = "soft failure expected";
    if (softFailureTag != 0) {
      softFailuresByTag[softFailureTag]++;
      expectedLog.push_back("Unknown Constant Pool Info tag: " + std::to_string(softFailureTag));
    }
    entries += int64_t(asmClass.entries.size());
    if (!difference.empty() && ++failures <= 20) ADD_FAILURE() << asmClass.path << ": " << difference;
  }
  EXPECT_EQ(failures, 0);
  std::vector<std::string> logged;
  for (const std::string& entry : log.entries()) {
    if (entry.rfind("Unknown Constant Pool Info tag: ", 0) == 0) logged.push_back(entry);
  }
  EXPECT_EQ(logged, expectedLog);

  int32_t softFailures = 0;
  std::cout << classes.size() << " classes, " << entries << " pool slots; soft failures by first unknown tag:";
  for (const auto& [tag, count] : softFailuresByTag) {
    std::cout << " " << tag << ": " << count;
    softFailures += count;
  }
  std::cout << "; classes holding tag:";
  for (const auto& [tag, count] : classesHoldingTag) std::cout << " " << tag << ": " << count;
  std::cout << std::endl;
  RecordProperty("classes", int(classes.size()));
  RecordProperty("softFailures", softFailures);
}
