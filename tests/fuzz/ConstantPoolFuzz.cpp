// Arbitrary bytes as a run of constant-pool entries, read until the input ends, an unknown tag stops the
// reader or a malformed entry fails it. Every entry read writes back to exactly the bytes it came from,
// except a Utf8 entry whose text a zero byte cut short, which refuses to be written. The look-ups then
// follow every reference through the pool so read, and every text goes through the descriptor and
// pattern functions, as the texts of a class's pool later do.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "agent/classfile/ConstantPoolInfo.h"
#include "agent/classfile/ConstantReferences.h"
#include "agent/classfile/ConstantValues.h"
#include "agent/classfile/SignatureUtil.h"
#include "agent/support/Log.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

void discard(const YString&) {}

struct PoolOwner {
  ConstantPool pool;
  ~PoolOwner() { pool.deleteElements(); }
};

// Runs a look-up through indices inside the pool, where it may meet an empty slot or an entry of another
// tag; its fatal error is the expected refusal. Indices outside the pool are left out: their range error
// is certain, and the fatal path's stack capture would slow the fuzzer tenfold.
template <class Call>
void lookUp(const ConstantPool& pool, int32_t index, Call call) {
  if (index >= pool.size) return;
  try {
    call();
  } catch (const BZPRuntimeException&) {
  }
}

void checkRoundTrip(const ConstantPoolInfo& entry, const YVector<uint8_t>& input, int32_t start, int32_t end) {
  YVector<uint8_t> output;
  DataOutput out(output);
  try {
    entry.write(out);
  } catch (const BZPRuntimeException&) {
    require(entry.tag == CONSTANT_Utf8 && std::memchr(input.data + start + 3, 0, size_t(end - start - 3)) != nullptr);
    return;
  }
  require(output.size == end - start && std::memcmp(output.data, input.data + start, size_t(output.size)) == 0);
}

void followReferences(const ConstantPool& pool) {
  for (int32_t i = 0; i < pool.size; i++) {
    const ConstantPoolInfo* entry = pool[i];
    if (entry == nullptr) continue;
    switch (entry->tag) {
      case CONSTANT_Utf8: {
        const char* text = static_cast<const ConstantUtf8Info*>(entry)->getString().data;
        descriptorToJavaTypeName(text);
        methodDescriptorToReturnTypeName(text);
        methodDescriptorToParameterList(text);
        MethodPatternParts parts;
        parseMethodPattern(YString(text), parts);
        break;
      }
      case CONSTANT_Class:
        lookUp(pool, static_cast<const ConstantClassInfo*>(entry)->nameIndex,
               [&] { static_cast<const ConstantClassInfo*>(entry)->getName(pool); });
        break;
      case CONSTANT_NameAndType: {
        const auto* nameAndType = static_cast<const ConstantNameAndTypeInfo*>(entry);
        lookUp(pool, nameAndType->nameIndex, [&] { nameAndType->getName(pool); });
        lookUp(pool, nameAndType->descriptorIndex, [&] { nameAndType->getDescriptor(pool); });
        break;
      }
      case CONSTANT_Fieldref:
      case CONSTANT_Methodref:
      case CONSTANT_InterfaceMethodref: {
        const auto* ref = static_cast<const ConstantMemberRefInfo*>(entry);
        lookUp(pool, ref->classIndex, [&] { ref->getClassName(pool); });
        lookUp(pool, ref->nameAndTypeIndex, [&] { ref->getName(pool); });
        lookUp(pool, ref->nameAndTypeIndex, [&] { ref->getDescriptor(pool); });
        break;
      }
      default: break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  static const LogSink previous = setLogSink(&discard);  // fatal errors are expected here, by the thousand
  (void)previous;
  YVector<uint8_t> input;
  for (size_t i = 0; i < size; i++) input.add(bytes[i]);

  PoolOwner owner;
  owner.pool.add(nullptr);
  DataInput in(input);
  try {
    while (in.getPosition() < input.size) {
      const int32_t start = in.getPosition();
      ConstantPoolInfo* entry = ConstantPoolInfo::read(in);
      if (entry == nullptr) break;
      owner.pool.add(entry);
      checkRoundTrip(*entry, input, start, in.getPosition());
      if (entry->tag == CONSTANT_Long || entry->tag == CONSTANT_Double) owner.pool.add(nullptr);
    }
  } catch (const BZPRuntimeException&) {
  }
  followReferences(owner.pool);
  return 0;
}
