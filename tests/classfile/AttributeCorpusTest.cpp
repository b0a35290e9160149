#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "agent/classfile/AnnotationReaders.h"
#include "agent/classfile/AttributeInfoReader.h"
#include "agent/classfile/ClassFile.h"
#include "agent/classfile/CodeAttribute.h"
#include "agent/classfile/MethodInfo.h"
#include "agent/classfile/SimpleAttributes.h"
#include "tests/classfile/ClassStructure.h"
#include "tests/classfile/CorpusFiles.h"
#include "tests/classfile/PoolClass.h"

namespace {

std::string nameOf(const AttributeInfo& attribute, const ConstantPool& pool) {
  const YString& name = constantAt<ConstantUtf8Info>(pool, attribute.getNameIndex(), "test", 0).getString();
  return std::string(name.data, size_t(name.length));
}

struct Counts {
  int32_t classes = 0;
  int32_t skipped = 0;  // pools holding an entry the agent does not read
  std::map<std::string, int64_t> byName;
  std::map<std::string, int64_t> nestedInCode;
  int64_t annotationLists = 0;
  int64_t parameterLists = 0;
};

// Reads, writes and compares every attribute of one class; the readers of annotations walk every list of
// attributes that holds some, with a pattern that matches none so that every annotation is skipped. Gives
// an empty text, or what went wrong first.
std::string checkClass(const YVector<uint8_t>& bytes, Counts& counts) {
  ClassStructure structure;
  readClassStructure(bytes, structure);
  if (!structure.complete) {
    counts.skipped++;
    return std::string();
  }
  counts.classes++;
  // The model that Code attributes keep, over a pool of its own.
  const std::unique_ptr<ClassFile> model = classFileOver(structure.pool, structure.majorVersion, structure.thisClassIndex);
  ClassFile& classFile = *model;
  const ConstantPool& pool = classFile.getConstantPool();

  const auto checkList = [&](const std::vector<AttributeSpan>& spans, const MemberSpans* method) -> std::string {
    YVector<AttributeInfo*> attributes;
    struct Owner {
      YVector<AttributeInfo*>& list;
      ~Owner() { list.deleteElements(); }
    } owner{attributes};
    bool annotated = false;
    for (const AttributeSpan& span : spans) {
      const YVector<uint8_t> original(bytes.data + span.start, span.length);
      DataInput in(original);
      AttributeInfo* attribute = AttributeInfoReader::read(in, pool, &classFile);
      attributes.add(attribute);
      YVector<uint8_t> copy;
      DataOutput out(copy);
      attribute->write(out);
      if (in.getPosition() != span.length || copy.size != span.length ||
          std::memcmp(copy.data, original.data, size_t(span.length)) != 0) {
        return span.name + " written differently";
      }
      counts.byName[span.name]++;
      annotated = annotated || dynamic_cast<const AnnotationsAttribute*>(attribute) != nullptr;
      if (const auto* code = dynamic_cast<const CodeAttribute*>(attribute)) {
        for (int32_t i = 0; i < code->getAttributes().size; i++) {
          counts.nestedInCode[nameOf(*code->getAttributes()[i], pool)]++;
        }
      }
      const auto* parameters = dynamic_cast<const ParameterAnnotationsAttribute*>(attribute);
      if (parameters != nullptr && method != nullptr) {
        YVector<YString> types;
        parseArgumentTypes(YString(method->descriptor.c_str()), types);
        YVector<CallbackParameter> result;
        readProbeParameterAnnotations(*parameters, pool, types, &result);
        counts.parameterLists++;
      }
    }
    if (annotated) {
      if (hasAnnotationMatching(YString("Lno/such/Annotation;"), attributes, pool)) return "a match of nothing";
      counts.annotationLists++;
    }
    return std::string();
  };

  std::string difference = checkList(structure.attributes, nullptr);
  for (const MemberSpans& field : structure.fields) {
    if (difference.empty()) difference = checkList(field.attributes, nullptr);
  }
  for (const MemberSpans& method : structure.methods) {
    if (difference.empty()) difference = checkList(method.attributes, &method);
  }
  return difference;
}

// Every attribute of every class of the JDK, at class, field and method level and (through the Code
// attribute) nested in code, is read by the agent's reader and written back byte for byte; the line
// and local-variable tables pass the Code attribute's offset checks, and the annotation readers walk
// every annotation without losing their place.
TEST(AttributeCorpus, EveryAttributeWritesBackByteForByte) {
  const std::string dump = asmDumpDirectory();
  ASSERT_FALSE(dump.empty()) << "TALLYSCOPE_ASM_DUMP is not set";
  const std::string corpus = corpusDirectory(dump);
  ASSERT_FALSE(corpus.empty()) << "the ASM dump names no corpus";
  const std::vector<std::string> files = classFilesUnder(corpus);
  ASSERT_GT(files.size(), 20000u) << "too few classes: is the corpus complete?";

  Counts counts;
  int32_t failures = 0;
  for (const std::string& file : files) {
    std::string difference;
    try {
      difference = checkClass(readClassFile(corpus + "/" + file), counts);
    } catch (const BZPRuntimeException&) {
      difference = "fatal error";
    }
    if (!difference.empty() && ++failures <= 20) ADD_FAILURE() << file << ": " << difference;
  }
  EXPECT_EQ(failures, 0);

  std::cout << counts.classes << " classes (" << counts.skipped << " skipped for their pools);";
  int64_t total = 0;
  for (const auto& [name, count] : counts.byName) {
    std::cout << " " << name << ": " << count;
    total += count;
  }
  std::cout << "; nested in Code:";
  for (const auto& [name, count] : counts.nestedInCode) {
    std::cout << " " << name << ": " << count;
    total += count;
  }
  std::cout << "; " << counts.annotationLists << " annotated lists, " << counts.parameterLists
            << " parameter-annotation lists" << std::endl;
  EXPECT_GT(counts.nestedInCode["LineNumberTable"], 0);
  EXPECT_GT(counts.nestedInCode["StackMapTable"], 0);
  EXPECT_GT(counts.annotationLists, 0);
  RecordProperty("classes", counts.classes);
  RecordProperty("attributes", std::to_string(total));
}

}  // namespace
