// Arbitrary bytes as a run of attributes read against a small fixed pool that names every attribute the
// reader knows, some it does not, the probe annotation types and a few classes and constants. Every
// attribute read must write back to exactly the bytes it came from; a malformed one fails through the
// fatal-error path and ends the run. The accessors, the offset checks and the annotation readers then
// go over whatever was read, as the class model later does.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "agent/classfile/AnnotationReaders.h"
#include "agent/classfile/AttributeInfoReader.h"
#include "agent/classfile/ClassFile.h"
#include "agent/classfile/ConstantReferences.h"
#include "agent/classfile/ConstantValues.h"
#include "agent/classfile/LineNumberTableAttribute.h"
#include "agent/classfile/LocalVariableTableAttribute.h"
#include "agent/classfile/SimpleAttributes.h"
#include "agent/support/Log.h"
#include "tests/classfile/PoolClass.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

void discard(const YString&) {}

// The pool: the names first, so that the low indices a fuzzer tries most often name attributes.
ClassFile& fixedClassFile() {
  static ClassFile* classFile = [] {
    const char* const texts[] = {
        "Code", "ConstantValue", "Deprecated", "Exceptions", "InnerClasses", "LineNumberTable",
        "LocalVariableTable", "LocalVariableTypeTable", "SourceFile", "StackMapTable", "Synthetic",
        "RuntimeVisibleAnnotations", "RuntimeInvisibleAnnotations", "RuntimeInvisibleParameterAnnotations",
        "RuntimeVisibleParameterAnnotations", "Signature", "value", "Ljavax/ejb/Stateless;",
        "Lcom/brantel/probes/MethodPattern;", "Lcom/brantel/probes/InstanceOf;",
        "Lcom/brantel/probes/RetransformIfInstanceOf;", "Lcom/brantel/probes/DiscardThrownException;",
        "Lcom/brantel/probes/Param;", "Lcom/brantel/probes/This;", "Lcom/brantel/probes/ReturnValue;",
        "Lcom/brantel/probes/Out;", "java.util.Map", "p/Outer", "p/Outer$Inner"};
    ConstantPool pool;
    pool.add(nullptr);
    for (const char* text : texts) pool.add(new ConstantUtf8Info(YString(text)));
    pool.add(new ConstantClassInfo(28));  // p/Outer, the this class
    pool.add(new ConstantClassInfo(29));
    pool.add(new ConstantIntInfo(2));
    pool.add(new ConstantLongInfo(int64_t(1)));
    pool.add(nullptr);
    return classFileOver(pool, 52, 30).release();
  }();
  return *classFile;
}

template <class Call>
void tolerate(Call call) {
  try {
    call();
  } catch (const BZPRuntimeException&) {
  }
}

void useAttributes(const YVector<AttributeInfo*>& attributes, ClassFile& classFile) {
  const ConstantPool& pool = classFile.getConstantPool();
  YVector<YString> texts;
  YString text;
  bool flag = false;
  YVector<YString> types;
  types.add(YString("I"));
  types.add(YString("Ljava/lang/Object;"));
  for (int32_t i = 0; i < attributes.size; i++) {
    AttributeInfo* attribute = attributes[i];
    tolerate([&] { attribute->validate(1 + int32_t(attribute->getLength() % 70000)); });
    if (auto* lines = dynamic_cast<LineNumberTableAttribute*>(attribute)) {
      for (int32_t offset = 0; offset < 70000; offset += 997) require(lines->getLineNumber(offset) >= 0);
      lines->shift(3, 100);
    } else if (const auto* locals = dynamic_cast<const LocalVariableEntries*>(attribute)) {
      for (int32_t k = 0; k < locals->getEntries().size; k++) {
        tolerate([&] { locals->getEntries()[k]->getName(pool); });
      }
    } else if (const auto* source = dynamic_cast<const SourceFileAttribute*>(attribute)) {
      tolerate([&] { source->getSourceFile(pool); });
    } else if (const auto* exceptions = dynamic_cast<const ExceptionsAttribute*>(attribute)) {
      tolerate([&] { exceptions->getClassNames(&pool, &texts); });
    } else if (const auto* inner = dynamic_cast<const InnerClassesAttribute*>(attribute)) {
      tolerate([&] { inner->getInnerClassNames(pool, classFile.getThisClassIndex(), texts); });
    } else if (const auto* annotations = dynamic_cast<const AnnotationsAttribute*>(attribute)) {
      tolerate([&] { readProbeAnnotations(*annotations, pool, texts, text, texts, flag); });
    } else if (const auto* parameters = dynamic_cast<const ParameterAnnotationsAttribute*>(attribute)) {
      YVector<CallbackParameter> result;
      tolerate([&] { readProbeParameterAnnotations(*parameters, pool, types, &result); });
    }
  }
  tolerate([&] { hasAnnotationMatching(YString("Ljavax/ejb/*"), attributes, pool); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  static const LogSink previous = setLogSink(&discard);  // fatal errors are expected here, by the thousand
  (void)previous;
  ClassFile& classFile = fixedClassFile();
  YVector<uint8_t> input;
  for (size_t i = 0; i < size; i++) input.add(bytes[i]);

  YVector<AttributeInfo*> attributes;
  DataInput in(input);
  try {
    while (in.getPosition() < input.size) {
      const int32_t start = in.getPosition();
      AttributeInfo* attribute = AttributeInfoReader::read(in, classFile.getConstantPool(), &classFile);
      attributes.add(attribute);
      YVector<uint8_t> output;
      DataOutput out(output);
      attribute->write(out);
      const int32_t length = in.getPosition() - start;
      require(output.size == length && std::memcmp(output.data, input.data + start, size_t(length)) == 0);
    }
  } catch (const BZPRuntimeException&) {
  }
  useAttributes(attributes, classFile);
  attributes.deleteElements();
  return 0;
}
