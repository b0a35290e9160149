// Arbitrary bytes as a Code attribute body of a method of a small fixed class: the first byte picks the
// method (static, instance, constructor) and whether its class has frames, the rest is the body. A body
// that reads must write back to exactly its bytes; its frames, once expanded, must encode and expand
// again to the same frames. The editors then run over what was read with offsets taken from the input,
// as the patchers later do; every failure must come through the fatal-error path.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "agent/classfile/ClassFile.h"
#include "agent/classfile/CodeAttribute.h"
#include "agent/classfile/ConstantReferences.h"
#include "agent/classfile/ConstantValues.h"
#include "agent/classfile/MethodInfo.h"
#include "agent/support/Log.h"
#include "tests/classfile/PoolClass.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

void discard(const YString&) {}

enum : int32_t { kCode = 1, kStackMapTable, kLineNumberTable, kLocalVariableTable, kThisClass = 10, kStringClass = 12 };

// Attribute names first, so that the low indices a fuzzer tries most often name them.
ClassFile& fixedClassFile(bool frames) {
  const auto make = [](int32_t version) {
    ConstantPool pool;
    pool.add(nullptr);
    for (const char* text : {"Code", "StackMapTable", "LineNumberTable", "LocalVariableTable", "LocalVariableTypeTable",
                             "run", "<init>", "(IJLjava/lang/String;[D)V", "Test"}) {
      pool.add(new ConstantUtf8Info(YString(text)));
    }
    pool.add(new ConstantClassInfo(9));
    pool.add(new ConstantUtf8Info(YString("java/lang/String")));
    pool.add(new ConstantClassInfo(11));
    return classFileOver(pool, version, kThisClass).release();
  };
  static ClassFile* withFrames = make(52);
  static ClassFile* withoutFrames = make(49);
  return frames ? *withFrames : *withoutFrames;
}

YVector<uint8_t> writtenBody(const CodeAttribute& code) {
  YVector<uint8_t> bytes;
  DataOutput out(bytes);
  code.writeBody(out);
  return bytes;
}

bool sameFrames(const YVector<StackMapFrame*>& a, const YVector<StackMapFrame*>& b) {
  if (a.size != b.size) return false;
  for (int32_t i = 0; i < a.size; i++) {
    const StackMapFrame& x = *a[i];
    const StackMapFrame& y = *b[i];
    if (x.offset != y.offset || x.locals.size != y.locals.size || x.stack.size != y.stack.size) return false;
    for (int32_t k = 0; k < x.locals.size; k++) {
      if (x.locals[k].tag != y.locals[k].tag || x.locals[k].index != y.locals[k].index) return false;
    }
    for (int32_t k = 0; k < x.stack.size; k++) {
      if (x.stack[k].tag != y.stack[k].tag || x.stack[k].index != y.stack[k].index) return false;
    }
  }
  return true;
}

std::unique_ptr<CodeAttribute> parse(const YVector<uint8_t>& body, ClassFile& classFile, const MethodInfo& method,
                                     bool& consumed) {
  DataInput in(body);
  auto code = std::make_unique<CodeAttribute>(in, &classFile, kCode, body.size);
  consumed = in.getPosition() == body.size;
  if (consumed) {
    const YVector<uint8_t> written = writtenBody(*code);
    require(written.size == body.size && std::memcmp(written.data, body.data, size_t(body.size)) == 0);
  }
  code->initStackMapFrames(&classFile, &method);
  return code;
}

template <class Call>
void tolerate(Call call) {
  try {
    call();
  } catch (const BZPRuntimeException&) {
  }
}

// The editors, each with its own offsets from the input; any may refuse.
void edit(CodeAttribute& code, uint32_t seed) {
  const int32_t length = code.getCodeLength();
  const int32_t offset = int32_t(seed % uint32_t(length + 2));
  const int32_t count = int32_t((seed >> 8) % 9);
  tolerate([&] { code.getFrameLocals(offset); });
  tolerate([&] { code.addLocal(VerificationType(ITEM_Long, -1), (seed & 1) != 0); });
  tolerate([&] { code.addLocalsToFrames(offset, int32_t(seed >> 16) % 5 - 1); });
  code.getPreservedLocals().add(int32_t(seed >> 4) % 4);
  tolerate([&] { code.fillFrameLocals(offset); });
  tolerate([&] { code.patchFrames(offset); });
  tolerate([&] {
    YVector<int32_t> offsets;
    offsets.add(0);
    offsets.add(count);
    code.insertFramesForCode(offsets, offset, VerificationType(ITEM_Integer, -1), -1, (seed & 2) != 0, nullptr);
  });
  tolerate([&] { code.extendHandlers(offset, count); });
  tolerate([&] { code.addExceptionHandler(offset, offset + 1 + count, length, VerificationType(ITEM_Object, kStringClass)); });
  code.getCoveringHandlerEnd(offset);
  code.findHandlerPc(offset);
  tolerate([&] {
    std::unique_ptr<uint8_t[]> longer(new uint8_t[size_t(length + count)]());
    code.setCode(longer.get(), length + count);
    code.shiftOffsets(count, offset);
  });
  tolerate([&] {
    const int32_t oldLength = code.getCodeLength();
    std::unique_ptr<int32_t[]> map(new int32_t[size_t(oldLength)]);
    for (int32_t i = 0; i < oldLength; i++) map[i] = 2 * i;
    std::unique_ptr<uint8_t[]> doubled(new uint8_t[size_t(2 * oldLength)]());
    code.setCode(doubled.get(), 2 * oldLength);
    code.relocateOffsets(map.get(), oldLength);
  });
  tolerate([&] {
    code.buildStackMapTable();
    writtenBody(code);
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  static const LogSink previous = setLogSink(&discard);  // fatal errors are expected here, by the thousand
  (void)previous;
  if (size < 1) return 0;
  const uint8_t selector = bytes[0];
  ClassFile& classFile = fixedClassFile((selector & 4) == 0);
  const int32_t flags = (selector & 3) == 0 ? ACC_STATIC : 0;
  const MethodInfo method(flags, (selector & 3) == 2 ? 7 : 6, 8, &classFile);
  YVector<uint8_t> body;
  for (size_t i = 1; i < size; i++) body.add(bytes[i]);

  std::unique_ptr<CodeAttribute> code;
  bool consumed = false;
  try {
    code = parse(body, classFile, method, consumed);
  } catch (const BZPRuntimeException&) {
    return 0;
  }
  if (consumed && code->tracksFrames()) {
    // Encoding the frames and expanding them again gives the same frames.
    code->buildStackMapTable();
    const YVector<uint8_t> encoded = writtenBody(*code);
    bool again = false;
    const std::unique_ptr<CodeAttribute> reread = parse(encoded, classFile, method, again);
    require(again && sameFrames(code->getFrames(), reread->getFrames()));
    code->removeAttribute(YString("StackMapTable"));
  }
  uint32_t seed = 0;
  for (size_t i = 0; i < size && i < 4; i++) seed = seed << 8 | bytes[size - 1 - i];
  edit(*code, seed);
  return 0;
}
