#include "agent/instrumentation/InstructionEmitters.h"

#include <cstring>

#include "agent/classfile/ClassFile.h"
#include "agent/classfile/Opcodes.h"
#include "agent/classfile/SignatureUtil.h"
#include "agent/recording/MethodStore.h"
#include "agent/support/FatalError.h"
#include "agent/support/YString.h"

namespace {

constexpr int32_t MAX_LINE = 0xFFFF;  // a u2 of the line table
constexpr int32_t FIRST_SIPUSH_OVERFLOW = 32768;
constexpr int32_t ALIGNED_CALL_PADDING = 2;
constexpr int32_t BLOCK_TAIL_PADDING = 3;

[[noreturn]] void fail(int32_t line) { assertionFailed("assertion failed", "Patchers", line); }

[[noreturn]] void failWithNumber(const char* message, int32_t number, int32_t line) {
  YString text(message);
  text.appendLong(number);
  fatalError(text.data, "Patchers", line);
}

// One block's bytes, made on the stack and copied into the code once their length is checked.
class Block {
 public:
  void append(uint8_t byte) {
    if (length == capacity) fail(__LINE__);
    bytes[length++] = byte;
  }
  // A two-byte operand, big-endian.
  void appendShort(int32_t value) {
    append(uint8_t(value >> 8));
    append(uint8_t(value));
  }
  void appendNops(int32_t count) {
    for (int32_t i = 0; i < count; i++) append(OP_NOP);
  }
  int32_t getLength() const { return length; }
  void copyCode(uint8_t* destination) const {
    if (destination == nullptr) assertionFailed("assertion failed: value is NULL", "Patchers", __LINE__);
    std::memcpy(destination, bytes, size_t(length));
  }

 private:
  static constexpr int32_t capacity = 32;  // more than the longest block
  uint8_t bytes[capacity];
  int32_t length = 0;
};

// Local operands always in the WIDE form and pool operands in two bytes, so that a block's length never
// depends on its operands.
void appendWide(Block& code, uint8_t opcode, int32_t slot) {
  code.append(OP_WIDE);
  code.append(opcode);
  code.appendShort(slot);
}

void appendWithIndex(Block& code, uint8_t opcode, int32_t index) {
  code.append(opcode);
  code.appendShort(index);
}

void appendLinePush(Block& code, LinePush line) { appendWithIndex(code, line.opcode, line.operand); }

// Checked before the copy, so that a wrong block never writes past the room patching reserved for it.
int32_t copyBlock(const Block& code, uint8_t* buffer, int32_t position, int32_t expectedLength,
                  int32_t line) {
  if (code.getLength() != expectedLength) fail(line);
  code.copyCode(buffer + position);
  return expectedLength;
}

// The allocation block after its first instruction (DUP, or NOP where a copy already waits on the stack).
int32_t emitAllocationBlock(uint8_t first, int32_t initRef, uint8_t* buffer, int32_t position, int32_t allocLocal,
                            int32_t classIdConst, int32_t counterConst, LinePush line) {
  if (initRef < 0 || classIdConst < 1) fail(__LINE__);
  Block code;
  code.append(first);
  appendWide(code, OP_ILOAD, allocLocal);
  appendWithIndex(code, OP_LDC_W, classIdConst);
  appendLinePush(code, line);
  appendWithIndex(code, OP_LDC2_W, counterConst);
  appendWithIndex(code, OP_INVOKESTATIC, initRef);
  appendWide(code, OP_ISTORE, allocLocal);
  code.appendNops(BLOCK_TAIL_PADDING);
  return copyBlock(code, buffer, position, allocationCallLength, __LINE__);
}

// The allocation pseudo-method of the class whose descriptor is `descriptor`; `className` is room for its
// Java name.
int32_t allocationMethodOf(const YString& descriptor, YString& className) {
  descriptorToJavaTypeName(descriptor.data, className);
  return getOrCreateAllocationMethod(className.data);
}

// The descriptor of the class whose internal name is `prefix` followed by the name of the Class entry at
// `classIndex`, into `descriptor`. A Class entry holds an array descriptor or a bare internal name; the
// bare name is made a descriptor, else a class named like a type letter ("I") would come out as a
// primitive type.
void classEntryDescriptor(const ClassFile& classFile, int32_t classIndex, const char* prefix, YString& descriptor) {
  const YString& name = classFile.getClassNameAt(classIndex);
  descriptor.clear();
  descriptor.append(prefix);
  if (name.length > 0 && name.data[0] == '[') {
    descriptor.append(name);
  } else {
    descriptor.append('L');
    descriptor.append(name);
    descriptor.append(';');
  }
}

}  // namespace

LinePush linePushFor(ClassFile& classFile, int32_t line) {
  if (line < 0 || line > MAX_LINE) fail(__LINE__);
  if (line < FIRST_SIPUSH_OVERFLOW) return LinePush{OP_SIPUSH, line};
  return LinePush{OP_LDC_W, classFile.getOrAddInteger(line)};
}

LinePush allocationLinePush(int32_t line) {
  if (line < 0 || line > MAX_LINE) fail(__LINE__);
  return LinePush{OP_SIPUSH, line};
}

int32_t emitEntryCall(int32_t entryRef, int32_t methodIdConst, int32_t counterConst, int32_t resultLocal,
                      uint8_t* buffer, int32_t position, int32_t allocLocal, bool aligned) {
  if (resultLocal < 0) fail(__LINE__);
  const bool withAllocLocal = allocLocal != -1;
  Block code;
  if (withAllocLocal) {
    code.append(OP_ICONST_M1);
    appendWide(code, OP_ISTORE, allocLocal);
  }
  appendWithIndex(code, OP_LDC_W, methodIdConst);
  appendWithIndex(code, OP_LDC2_W, counterConst);
  appendWithIndex(code, OP_INVOKESTATIC, entryRef);
  appendWide(code, OP_LSTORE, resultLocal);
  if (aligned) code.appendNops(withAllocLocal ? 2 : 3);
  return copyBlock(code, buffer, position, entryCallLength(aligned, withAllocLocal), __LINE__);
}

int32_t emitLocalInit(uint8_t* buffer, int32_t position, int32_t allocLocal) {
  const bool withAllocLocal = allocLocal != -1;
  Block code;
  if (withAllocLocal) {
    code.append(OP_ICONST_M1);
    appendWide(code, OP_ISTORE, allocLocal);
    code.appendNops(BLOCK_TAIL_PADDING);
  }
  return copyBlock(code, buffer, position, localInitLength(withAllocLocal), __LINE__);
}

int32_t emitExitCall(int32_t exitRef, int32_t methodIdConst, int32_t resultLocal, uint8_t* buffer,
                     int32_t position, bool aligned) {
  if (resultLocal < 0) fail(__LINE__);
  Block code;
  appendWithIndex(code, OP_LDC_W, methodIdConst);
  appendWide(code, OP_LLOAD, resultLocal);
  appendWithIndex(code, OP_INVOKESTATIC, exitRef);
  if (aligned) code.appendNops(ALIGNED_CALL_PADDING);
  return copyBlock(code, buffer, position, exitCallLength(aligned), __LINE__);
}

int32_t emitLineCall(int32_t lineRef, LinePush line, int32_t resultLocal, uint8_t* buffer, int32_t position,
                     bool aligned) {
  if (resultLocal < 0) fail(__LINE__);
  Block code;
  appendLinePush(code, line);
  appendWide(code, OP_LLOAD, resultLocal);
  appendWithIndex(code, OP_INVOKESTATIC, lineRef);
  if (aligned) code.appendNops(ALIGNED_CALL_PADDING);
  return copyBlock(code, buffer, position, lineCallLength(aligned), __LINE__);
}

int32_t emitStackCopy(uint8_t* buffer, int32_t position, int32_t type) {
  Block code;
  switch (type) {
    case INSTRUCTION_NEW_COPY:
      code.append(OP_DUP);
      break;
    case INSTRUCTION_NEW_SWAP:
      code.append(OP_DUP_X1);
      break;
    case INSTRUCTION_NEW_COPY_CANCELLED:
      code.append(OP_NOP);
      break;
    default:
      failWithNumber("unexpected type ", type, __LINE__);
  }
  code.appendNops(BLOCK_TAIL_PADDING);
  return copyBlock(code, buffer, position, stackCopyLength, __LINE__);
}

int32_t emitAllocationCallAfterDup(int32_t initRef, uint8_t* buffer, int32_t position, int32_t allocLocal,
                                   int32_t classIdConst, int32_t counterConst, LinePush line) {
  return emitAllocationBlock(OP_DUP, initRef, buffer, position, allocLocal, classIdConst, counterConst, line);
}

int32_t emitAllocationCall(int32_t initRef, uint8_t* buffer, int32_t position, int32_t type, int32_t allocLocal,
                           int32_t classIdConst, int32_t counterConst, LinePush line) {
  if (type != INSTRUCTION_CONSTRUCTOR_AFTER_DUP && type != INSTRUCTION_CONSTRUCTOR_AFTER_COPY) {
    failWithNumber("unexpected type ", type, __LINE__);
  }
  const uint8_t first = type == INSTRUCTION_CONSTRUCTOR_AFTER_DUP ? OP_DUP : OP_NOP;
  return emitAllocationBlock(first, initRef, buffer, position, allocLocal, classIdConst, counterConst, line);
}

int32_t emitCodeBefore(int32_t type, int32_t exitRef, int32_t lineRef, int32_t methodIdConst, int32_t resultLocal,
                       uint8_t* buffer, int32_t position, LinePush line, bool aligned) {
  switch (type) {
    case INSTRUCTION_RETURN:
      return emitExitCall(exitRef, methodIdConst, resultLocal, buffer, position, aligned);
    case INSTRUCTION_INVOKE:
      return emitLineCall(lineRef, line, resultLocal, buffer, position, aligned);
    case INSTRUCTION_NEW_COPY:
    case INSTRUCTION_NEW_COPY_CANCELLED:
    case INSTRUCTION_ARRAY:
    case INSTRUCTION_CONSTRUCTOR_AFTER_DUP:
    case INSTRUCTION_CONSTRUCTOR_AFTER_COPY:
    case INSTRUCTION_NEW_SWAP:
      return 0;
    default:
      failWithNumber("Illegal instruction type: ", type, __LINE__);
  }
}

void emitCodeAfter(int32_t type, int32_t initRef, uint8_t* buffer, int32_t position, int32_t allocLocal,
                   int32_t classIdConst, int32_t counterConst, LinePush line) {
  switch (type) {
    case INSTRUCTION_NEW_COPY:
    case INSTRUCTION_NEW_COPY_CANCELLED:
    case INSTRUCTION_NEW_SWAP:
      emitStackCopy(buffer, position, type);
      return;
    case INSTRUCTION_ARRAY:
      emitAllocationCallAfterDup(initRef, buffer, position, allocLocal, classIdConst, counterConst, line);
      return;
    case INSTRUCTION_CONSTRUCTOR_AFTER_DUP:
    case INSTRUCTION_CONSTRUCTOR_AFTER_COPY:
      emitAllocationCall(initRef, buffer, position, type, allocLocal, classIdConst, counterConst, line);
      return;
    case INSTRUCTION_RETURN:
    case INSTRUCTION_INVOKE:
      return;
    default:
      failWithNumber("Illegal instruction type: ", type, __LINE__);
  }
}

int32_t getArrayAllocationMethodId(int32_t typeCode) {
  // NEWARRAY's codes from T_BOOLEAN (4) to T_LONG (11).
  static const char* const descriptors[] = {"[Z", "[C", "[F", "[D", "[B", "[S", "[I", "[J"};
  constexpr int32_t FIRST_CODE = 4;
  constexpr int32_t LAST_CODE = 11;
  if (typeCode < FIRST_CODE || typeCode > LAST_CODE) failWithNumber("unexpected primitive type: ", typeCode, __LINE__);
  YString className;
  return allocationMethodOf(YString(descriptors[typeCode - FIRST_CODE]), className);
}

int32_t getClassAllocationMethodId(const ClassFile& classFile, int32_t classIndex, const char* prefix) {
  YString descriptor;
  YString className;
  classEntryDescriptor(classFile, classIndex, prefix, descriptor);
  return allocationMethodOf(descriptor, className);
}

int32_t AllocationMethodIds::ofArray(int32_t typeCode) {
  if (typeCode < 4 || typeCode > 11) return getArrayAllocationMethodId(typeCode);
  int32_t& id = byTypeCode[typeCode - 4];
  if (id == 0) id = getArrayAllocationMethodId(typeCode);
  return id;
}

int32_t AllocationMethodIds::ofClass(const ClassFile& classFile, int32_t classIndex, bool arrayOf) {
  const int32_t slot = 2 * classIndex + (arrayOf ? 1 : 0);
  if (classIndex < 1 || slot < 0) return getClassAllocationMethodId(classFile, classIndex, arrayOf ? "[" : "");
  byClassEntry.growTo(slot);
  if (byClassEntry.data[slot] == 0) {
    classEntryDescriptor(classFile, classIndex, arrayOf ? "[" : "", descriptor);
    byClassEntry.data[slot] = allocationMethodOf(descriptor, className);
  }
  return byClassEntry.data[slot];
}
