// Arbitrary bytes as a whole class file, taken as a class transformation takes it: parsed into the model,
// then written. Every failure must come through the fatal-error path, which the transformation catches,
// and must leave nothing behind (the leak checker runs at exit). A class that parses and writes goes
// through the model once more: the second write must give the very bytes of the first, so that nothing
// the model writes is read back differently. The queries that users of a parsed class make then follow
// its pool.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "agent/classfile/ClassFile.h"
#include "agent/classfile/CodeAttribute.h"
#include "agent/support/Log.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

void discard(const YString&) {}

template <class Call>
void tolerate(Call call) {
  try {
    call();
  } catch (const BZPRuntimeException&) {
  }
}

// Parses and writes; false (with `written` empty) when the parse failed softly or either step was refused.
bool throughModel(const YVector<uint8_t>& input, YVector<uint8_t>& written, std::unique_ptr<ClassFile>& model) {
  try {
    DataInput in(input);
    model = std::make_unique<ClassFile>(in);
    if (model->isParseFailed()) return false;
    DataOutput out(written);
    model->write(out);
    return true;
  } catch (const BZPRuntimeException&) {
    require(written.size == 0);  // a refused write appends nothing
    return false;
  }
}

void query(const ClassFile& classFile) {
  YVector<YString> texts;
  tolerate([&] { classFile.getThisClassName(); });
  tolerate([&] { classFile.getSuperClassName(); });
  tolerate([&] { classFile.implementsInterface(YString("java/lang/Runnable")); });
  tolerate([&] { classFile.getSourceFileName(); });
  tolerate([&] { classFile.getInnerClassNames(&texts); });
  tolerate([&] { classFile.hasAnnotationMatching(YString("Ljavax/ejb/*")); });
  const YVector<MethodInfo*>& methods = classFile.getMethods();
  for (int32_t i = 0; i < methods.size; i++) {
    const MethodInfo& method = *methods[i];
    tolerate([&] { method.getName(); });
    tolerate([&] { method.getReturnType(); });
    tolerate([&] { method.getArgumentTypes(texts); });
    tolerate([&] { method.getExceptionClassNames(&texts); });
    YVector<CallbackParameter> parameters;
    tolerate([&] { method.getParameters(parameters); });
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  static const LogSink previous = setLogSink(&discard);  // fatal errors are expected here, by the thousand
  (void)previous;
  YVector<uint8_t> input;
  for (size_t i = 0; i < size; i++) input.add(bytes[i]);

  YVector<uint8_t> written;
  std::unique_ptr<ClassFile> model;
  if (!throughModel(input, written, model)) return 0;

  YVector<uint8_t> again;
  std::unique_ptr<ClassFile> reread;
  require(throughModel(written, again, reread));
  require(again.size == written.size && std::memcmp(again.data, written.data, size_t(written.size)) == 0);
  query(*model);
  return 0;
}
