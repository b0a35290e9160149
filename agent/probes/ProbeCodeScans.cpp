#include "agent/probes/ProbeCodeScans.h"

#include <memory>

#include "agent/classfile/ClassFile.h"
#include "agent/classfile/CodeAttribute.h"
#include "agent/classfile/CodeBytes.h"
#include "agent/classfile/ConstantReferences.h"
#include "agent/classfile/InstructionLengths.h"
#include "agent/classfile/LocalVariableTableAttribute.h"
#include "agent/classfile/MethodInfo.h"
#include "agent/classfile/OffsetTable.h"
#include "agent/classfile/Opcodes.h"
#include "agent/classfile/VerificationType.h"
#include "agent/instrumentation/ByteCodeGenerator.h"
#include "agent/probes/ProbeRegistry.h"
#include "agent/support/FatalError.h"

namespace {

constexpr int64_t CODE_LENGTH_LIMIT = 0x10000;

// The internal name of the Class entry at `index`, or null when the index names none.
const YString* classNameAt(const ConstantPool& pool, int32_t index) {
  if (index < 1 || index >= pool.size || pool[index] == nullptr || pool[index]->tag != CONSTANT_Class) return nullptr;
  return &static_cast<const ConstantClassInfo*>(pool[index])->getName(pool);
}

const ConstantMemberRefInfo* methodRefAt(const ConstantPool& pool, int32_t index) {
  if (index < 1 || index >= pool.size || pool[index] == nullptr) return nullptr;
  const uint32_t tag = pool[index]->tag;
  if (tag != CONSTANT_Methodref && tag != CONSTANT_InterfaceMethodref) return nullptr;
  return static_cast<const ConstantMemberRefInfo*>(pool[index]);
}

bool endsWith(const YString& text, const char* suffix) {
  const YString end(suffix);
  return text.length >= end.length && YString(text.data + text.length - end.length).equals(end);
}

bool isReturn(uint8_t opcode) { return opcode >= OP_IRETURN && opcode <= OP_RETURN; }

// Every branch and switch operand of well-formed code, as the relocation needs them.
void collectBranches(const uint8_t* code, int32_t length, OffsetTable& branches) {
  int32_t position = 0;
  while (position < length) {
    const int32_t size = instructionLengthAt(code, length, position);
    if (size < 1) return;
    addBranchOperands(branches, code, position);
    position += size;
  }
}

void addSlot(YVector<int32_t>& stored, int32_t slot) {
  if (!isStoredSlot(stored, slot)) stored.add(slot);
}

// The slot that the store or IINC at `position` writes, with the number of slots it writes in `slots`
// (0 for any other instruction). The instruction lies inside the code, operands included.
int32_t storedSlotAt(const uint8_t* code, int32_t position, int32_t& slots) {
  slots = 0;
  const uint8_t opcode = code[position];
  if (opcode >= OP_ISTORE_0 && opcode <= OP_ASTORE_3) {
    const int32_t group = (opcode - OP_ISTORE_0) / 4;  // I, L, F, D, A
    slots = group == 1 || group == 3 ? 2 : 1;
    return (opcode - OP_ISTORE_0) % 4;
  }
  const bool wide = opcode == OP_WIDE;
  const uint8_t stored = wide ? code[position + 1] : opcode;
  switch (stored) {
    case OP_LSTORE: case OP_DSTORE:
      slots = 2;
      break;
    case OP_ISTORE: case OP_FSTORE: case OP_ASTORE: case OP_IINC:
      slots = 1;
      break;
    default:
      return 0;
  }
  return wide ? codeU2(code + position + 2) : code[position + 1];
}

// Whether a callback reads argument `argument`.
bool callbacksRead(const ProbeDescriptor& probe, int32_t argument) {
  const CallbackParameterList* lists[] = {probe.enterParameters.get(), probe.returnParameters.get(),
                                          probe.exceptionParameters.get()};
  for (const CallbackParameterList* list : lists) {
    if (list == nullptr) continue;
    for (int32_t i = 0; i < list->size; i++) {
      const CallbackParameter& parameter = (*list)[i];
      if (parameter.kind == CallbackParameter::KIND_PARAMS) return true;
      if (parameter.kind == CallbackParameter::KIND_PARAM && parameter.index - 1 == argument) return true;
    }
  }
  return false;
}

bool callbacksTakeThis(const ProbeDescriptor& probe) {
  const CallbackParameterList* lists[] = {probe.enterParameters.get(), probe.returnParameters.get(),
                                          probe.exceptionParameters.get()};
  for (const CallbackParameterList* list : lists) {
    if (list == nullptr) continue;
    for (int32_t i = 0; i < list->size; i++) {
      if ((*list)[i].kind == CallbackParameter::KIND_THIS) return true;
    }
  }
  return false;
}

void remapLocals(LocalVariableEntries* table, const int32_t* map, int32_t oldLength, int32_t newLength) {
  if (table != nullptr) remapLocalVariables(table->getEntries(), map, oldLength, newLength);
}

}  // namespace

bool isWalkableCode(const uint8_t* code, int32_t length) {
  if (code == nullptr || length < 1) return false;
  int32_t position = 0;
  while (position < length) {
    const int32_t size = instructionLengthAt(code, length, position);
    if (size < 1) return false;
    position += size;
  }
  return true;
}

int32_t findConstructorCallEnd(const ClassFile& classFile, const CodeAttribute& code, int32_t* methodRefIndex) {
  const uint8_t* bytes = code.getCode();
  const int32_t length = code.getCodeLength();
  const ConstantPool& pool = classFile.getConstantPool();
  const YString& thisName = classFile.getThisClassName();
  const YString* superName = classFile.getSuperClassName();
  int32_t pendingOwn = 0;
  int32_t pendingSuper = 0;
  int32_t position = 0;
  while (position < length) {
    const int32_t size = instructionLengthAt(bytes, length, position);
    if (size < 1) return -1;
    const uint8_t opcode = bytes[position];
    if (opcode == OP_TABLESWITCH || opcode == OP_LOOKUPSWITCH) return -1;
    if (opcode == OP_NEW) {
      const YString* name = classNameAt(pool, codeU2(bytes + position + 1));
      if (name != nullptr && name->equals(thisName)) pendingOwn++;
      if (name != nullptr && superName != nullptr && name->equals(*superName)) pendingSuper++;
    } else if (opcode == OP_INVOKESPECIAL) {
      const int32_t index = codeU2(bytes + position + 1);
      const ConstantMemberRefInfo* ref = methodRefAt(pool, index);
      if (ref != nullptr && ref->getName(pool).equals("<init>")) {
        const YString& owner = ref->getClassName(pool);
        const bool ofSuper = superName != nullptr && owner.equals(*superName);
        const bool ofOwn = owner.equals(thisName);
        // A pending object of the same kind is what the call initialises; otherwise it is `this`.
        if (ofSuper && pendingSuper > 0) {
          pendingSuper--;
        } else if (ofOwn && pendingOwn > 0) {
          pendingOwn--;
        } else if (ofSuper || ofOwn) {
          if (methodRefIndex != nullptr) *methodRefIndex = index;
          return position + 3;
        }
      }
    } else if (opcode == OP_INVOKESTATIC) {
      const ConstantMemberRefInfo* ref = methodRefAt(pool, codeU2(bytes + position + 1));
      if (ref != nullptr && endsWith(ref->getName(pool), "getCallSiteArray")) return -1;
    }
    position += size;
  }
  return -1;
}

bool isStoredSlot(const YVector<int32_t>& stored, int32_t slot) {
  for (int32_t i = 0; i < stored.size; i++) {
    if (stored[i] == slot) return true;
  }
  return false;
}

bool isArgumentStored(const YVector<int32_t>& stored, int32_t slot, const YString& type) {
  return isStoredSlot(stored, slot) || (slotsOfType(type) == 2 && isStoredSlot(stored, slot + 1));
}

void collectStoredLocals(const CodeAttribute& code, YVector<int32_t>& stored) {
  const uint8_t* bytes = code.getCode();
  const int32_t length = code.getCodeLength();
  int32_t position = 0;
  while (position < length) {
    const int32_t size = instructionLengthAt(bytes, length, position);
    if (size < 1) return;
    int32_t slots = 0;
    const int32_t slot = storedSlotAt(bytes, position, slots);
    for (int32_t i = 0; i < slots; i++) addSlot(stored, slot + i);
    position += size;
  }
}

void emitParameterCopies(CallbackBlockContext& context, ByteCodeGenerator& prologue, const YVector<int32_t>& stored,
                         bool isConstructor) {
  CodeAttribute& code = *context.code;
  ClassFile& classFile = *context.classFile;
  context.thisLocal = context.isStatic ? -1 : 0;
  const bool needsThis = callbacksTakeThis(*context.probe) || context.instanceOfClass >= 0;
  if (!context.isStatic && needsThis && isStoredSlot(stored, 0)) {
    // Before the super() call `this` is uninitialised, and only there; the copy becomes this class's type
    // once the call has run.
    const VerificationType type = isConstructor ? VerificationType(ITEM_UninitializedThis, classFile.getThisClassIndex())
                                                : VerificationType(ITEM_Object, classFile.getThisClassIndex());
    context.thisLocal = code.addLocal(type, true);
    prologue.emitLoadLocal(0);
    prologue.emitStoreLocal(context.thisLocal);
  }
  context.argumentLocals = context.argumentSlots;
  for (int32_t i = 0; i < context.argumentTypes.size; i++) {
    const YString& type = context.argumentTypes[i];
    if (!callbacksRead(*context.probe, i) || !isArgumentStored(stored, context.argumentSlots[i], type)) continue;
    const int32_t copy = code.addLocal(VerificationType::fromDescriptor(type, classFile), true);
    emitLoadOfType(prologue, type, context.argumentSlots[i]);
    emitStoreOfType(prologue, type, copy);
    context.argumentLocals[i] = copy;
  }
}

int32_t countArgumentSlots(const YString& descriptor) {
  YVector<YString> types;
  parseArgumentTypes(descriptor, types);
  int32_t slots = 0;
  for (int32_t i = 0; i < types.size; i++) slots += slotsOfType(types[i]);
  return slots;
}

bool branchCrosses(const uint8_t* code, int32_t length, int32_t position) {
  OffsetTable branches;
  collectBranches(code, length, branches);
  for (int32_t i = 0; i < branches.size(); i++) {
    const int32_t source = branches.getOffset(i);
    const uint8_t* operand = code + branches.getOperandPosition(i);
    const int64_t target = source + int64_t(branches.getFlag(i) == 1 ? codeS2(operand) : codeS4(operand));
    if ((source < position) != (target < position)) return true;
  }
  return false;
}

bool relocateBranches(uint8_t* code, int32_t length, const int32_t* map) {
  OffsetTable branches;
  collectBranches(code, length, branches);
  return relocateBranchOffsets(branches, code, length, map);
}

bool insertReturnBlocks(ClassFile& classFile, CodeAttribute& code, const ByteCodeGenerator& block,
                        int32_t constructorCallEnd, int32_t otherBlocksLength, const YString& returnType) {
  const int32_t oldLength = code.getCodeLength();
  YVector<uint8_t> oldCode;
  oldCode.addRange(code.getCode(), oldLength);
  const int32_t blockLength = block.getLength();

  // The map: every position after a return moves by one more block; a return keeps its block's start.
  YVector<int32_t> map(oldLength + 1);
  YVector<int32_t> returns;
  int32_t inserted = 0;
  int32_t position = 0;
  while (position < oldLength) {
    const int32_t size = instructionLengthAt(oldCode.data, oldLength, position);
    if (size < 1) return false;
    for (int32_t i = 0; i < size; i++) map.add(position + i + inserted);
    if (isReturn(oldCode[position])) {
      returns.add(position);
      inserted += blockLength;
      for (int32_t i = 1; i < size; i++) map[position + i] += blockLength;
    }
    position += size;
  }
  const int32_t newLength = oldLength + inserted;
  if (int64_t(newLength) + otherBlocksLength >= CODE_LENGTH_LIMIT) return false;
  OffsetTable branches;
  collectBranches(oldCode.data, oldLength, branches);
  if (!relocateBranchOffsets(branches, oldCode.data, oldLength, map.data)) return false;

  std::unique_ptr<uint8_t[]> newCode(new uint8_t[size_t(newLength > 0 ? newLength : 1)]);
  for (int32_t i = 0; i < oldLength; i++) newCode[map[i]] = oldCode[i];
  for (int32_t i = 0; i < returns.size; i++) {
    const int32_t start = map[returns[i]];
    block.copyCode(newCode.get() + start);
    newCode[start + blockLength] = oldCode[returns[i]];
  }
  code.setCode(newCode.get(), newLength);
  code.relocateOffsets(map.data, oldLength);
  // Where a block's guard lands only the return remains: the value on the stack, no local needed beyond
  // those that hold everywhere.
  const VerificationType valueType = VerificationType::fromDescriptor(returnType, classFile);
  const int32_t initOffset = constructorCallEnd > 0 ? map[constructorCallEnd] - 1 : -1;
  for (int32_t i = 0; i < returns.size; i++) {
    code.insertFramesForCode(block.getBranchTargets(), map[returns[i]], valueType, initOffset, true, nullptr);
  }
  code.increaseMaxStack(4);
  remapLocals(code.getLocalVariableTable(), map.data, oldLength, newLength);
  remapLocals(code.getLocalVariableTypeTable(), map.data, oldLength, newLength);
  return true;
}
