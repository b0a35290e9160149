#include <gtest/gtest.h>

#include <iostream>
#include <string>
#include <vector>

#include "agent/classfile/SignatureUtil.h"
#include "tests/classfile/CorpusFiles.h"

// Every distinct method descriptor of the JDK's classes: our parameter list and return type name against
// ASM's Type.getArgumentTypes() and getReturnType().getClassName().
TEST(MethodDescriptorCorpus, ParameterListsAndReturnTypesMatchAsm) {
  const std::string dump = asmDumpDirectory();
  ASSERT_FALSE(dump.empty()) << "TALLYSCOPE_ASM_DUMP is not set";
  const std::vector<std::string> lines = readLines(dump + "/descriptors.txt");
  ASSERT_GT(lines.size(), 10000u) << "too few descriptors: is the ASM dump complete?";

  int32_t mismatches = 0;
  for (const std::string& line : lines) {
    const std::vector<std::string> fields = splitFields(line, '\t');
    ASSERT_EQ(fields.size(), 3u) << line;
    const std::string& descriptor = fields[0];
    const YString parameters = methodDescriptorToParameterList(descriptor.c_str());
    const YString returnType = methodDescriptorToReturnTypeName(descriptor.c_str());
    const std::string ours(parameters.data, size_t(parameters.length));
    const std::string oursReturn(returnType.data, size_t(returnType.length));
    if (ours != "(" + fields[1] + ")" || oursReturn != fields[2]) {
      if (++mismatches <= 20) {
        ADD_FAILURE() << descriptor << ": ours " << ours << " " << oursReturn << ", ASM's (" << fields[1] << ") "
                      << fields[2];
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
  std::cout << lines.size() << " method descriptors compared" << std::endl;
  RecordProperty("descriptors", int(lines.size()));
}
