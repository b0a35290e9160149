#include "agent/instrumentation/PatchPoints.h"

#include <algorithm>

#include "agent/classfile/ClassFile.h"
#include "agent/classfile/CodeBytes.h"
#include "agent/classfile/CodeAttribute.h"
#include "agent/classfile/ConstantReferences.h"
#include "agent/classfile/InstructionLengths.h"
#include "agent/classfile/InstructionWalk.h"
#include "agent/classfile/LineNumberTableAttribute.h"
#include "agent/classfile/LocalVariableTableAttribute.h"
#include "agent/classfile/MethodInfo.h"
#include "agent/classfile/Opcodes.h"
#include "agent/instrumentation/InstructionEmitters.h"
#include "agent/support/FatalError.h"
#include "agent/support/Log.h"
#include "agent/support/YString.h"

namespace {

[[noreturn]] void fail(int32_t line) { assertionFailed("assertion failed", "Patchers", line); }

[[noreturn]] void failWithNumber(const char* message, int32_t number, int32_t line) {
  YString text(message);
  text.appendLong(number);
  fatalError(text.data, "Patchers", line);
}

// What happens to the reference of a NEW whose constructor call is still to come.
enum NewInstructionKind : int32_t {
  NEW_KEEPS_OWN_COPY = 0,    // DUP, DUP_X1 or DUP_X2 follows: the program keeps a copy of its own
  NEW_GETS_COPY = 1,         // a copy is inserted after the NEW for the allocation call
  NEW_WITHOUT_CALLBACK = 2,  // the inserted copy was dropped again: no callback
};

class Scanner {
 public:
  Scanner(const ClassFile& classFile, const MethodInfo& method, const uint8_t* code, int32_t codeLength,
          const PatchScope& scope, PatchPlan& plan)
      : classFile(classFile), method(method), code(code), codeLength(codeLength), scope(scope), plan(plan),
        exitBlockLength(exitCallLength(scope.aligned)), lineBlockLength(lineCallLength(scope.aligned)),
        allocationIds(scope.allocationIds != nullptr ? *scope.allocationIds : ownAllocationIds) {}

  void run(const InstructionWalk& walk) {
    if (plan.points.size != 0 || plan.positionMap.size != 0 || plan.branches.size() != 0) fail(__LINE__);
    plan.instructionStarts.growTo(codeLength - 1);

    for (int32_t i = 0; i < walk.count(); i++) {
      const int32_t position = walk.start(i);
      plan.instructionStarts.data[position] = 1;
      visit(position, walk.length(i));
    }
    if (const int32_t stop = walk.getStop(); stop >= 0) {
      if (isUndefinedOpcode(code[stop])) wrongOpcodeFound(code[stop], "Patchers", 1142);
      fail(__LINE__);  // cut off by the end of the code
    }

    mapPositions();
  }

 private:
  // The map of old positions to new ones: each point's block shifts everything after its instruction
  // by its length (its successor's newPos - oldPos tells the blocks recorded so far), so the map is a
  // run of equal shifts between the ends of the points' instructions. The same map as shifting the rest
  // of it at every point, without the quadratic cost.
  void mapPositions() {
    plan.positionMap.reserveForWriting(codeLength);  // every entry is written below
    plan.positionMap.size = codeLength;
    int32_t* map = plan.positionMap.data;
    int32_t from = 0;
    int32_t shift = 0;
    for (int32_t k = 0; k < plan.points.size; k++) {
      const PatchPoint& point = plan.points.data[k];
      const int32_t end = std::min(point.oldPos + point.length, codeLength);
      for (int32_t i = from; i < end; i++) map[i] = i + shift;
      from = std::max(from, end);
      shift = k + 1 < plan.points.size ? plan.points.data[k + 1].newPos - plan.points.data[k + 1].oldPos
                                       : plan.inserted;
    }
    for (int32_t i = from; i < codeLength; i++) map[i] = i + shift;
  }

  void visit(int32_t position, int32_t length) {
    const uint8_t opcode = code[position];
    switch (opcode) {
      case OP_IRETURN: case OP_LRETURN: case OP_FRETURN: case OP_DRETURN: case OP_ARETURN: case OP_RETURN:
        if (scope.tracing) record(INSTRUCTION_RETURN, position, length, 0, exitBlockLength);
        break;
      case OP_INVOKEVIRTUAL: case OP_INVOKESTATIC: case OP_INVOKEINTERFACE: case OP_INVOKEDYNAMIC:
        recordLine(position, length);
        break;
      case OP_INVOKESPECIAL:
        recordLine(position, length);
        if (scope.allocations && kinds.size > 0) onConstructorCall(position);
        break;
      case OP_NEW:
        if (scope.allocations) onNew(position);
        break;
      case OP_NEWARRAY: case OP_ANEWARRAY: case OP_MULTIANEWARRAY:
        if (scope.allocations) onArray(position, length, opcode);
        break;
      case OP_DUP_X1: case OP_DUP_X2: case OP_DUP2_X1: case OP_DUP2_X2:
        cancelNewestCopy();
        break;
      case OP_IFEQ: case OP_IFNE: case OP_IFLT: case OP_IFGE: case OP_IFGT: case OP_IFLE: case OP_IF_ICMPEQ:
      case OP_IF_ICMPNE: case OP_IF_ICMPLT: case OP_IF_ICMPGE: case OP_IF_ICMPGT: case OP_IF_ICMPLE:
      case OP_IF_ACMPEQ: case OP_IF_ACMPNE: case OP_GOTO: case OP_JSR: case OP_TABLESWITCH: case OP_LOOKUPSWITCH:
      case OP_IFNULL: case OP_IFNONNULL: case OP_GOTO_W: case OP_JSR_W:
        // The walk has checked that the whole instruction, a switch's table too, lies inside the code.
        addBranchOperands(plan.branches, code, position);
        break;
      default:
        break;
    }
  }

  void record(int32_t type, int32_t position, int32_t length, int32_t classMethodId, int32_t blockLength) {
    plan.points.add(PatchPoint{type, position, position + plan.inserted, length, classMethodId});
    plan.inserted += blockLength;
  }

  void recordLine(int32_t position, int32_t length) {
    if (scope.tracing && scope.withLines) record(INSTRUCTION_INVOKE, position, length, 0, lineBlockLength);
  }

  // The opcode at `position`, -1 past the end of the code.
  int32_t opcodeAt(int32_t position) const { return position < codeLength ? code[position] : -1; }

  void push(int32_t kind, int32_t classMethodId, int32_t pointIndex) {
    kinds.add(kind);
    classIds.add(classMethodId);
    copyPoints.add(pointIndex);
  }

  void onNew(int32_t position) {
    const int32_t classMethodId = allocationIds.ofClass(classFile, codeU2(code + position + 1), false);
    const int32_t next = opcodeAt(position + 3);
    if (next == OP_DUP && opcodeAt(position + 4) == OP_POP) {
      logMessage(YString("warning: cannot inject object allocation callback due to a bad bytecode pattern (scala?): ") +
                 classFile.getThisClassName() + " " + method.getName());
    } else if (next == OP_DUP || next == OP_DUP_X1 || next == OP_DUP_X2) {
      push(NEW_KEEPS_OWN_COPY, classMethodId, -1);
    } else if (next == OP_SWAP) {
      push(NEW_GETS_COPY, classMethodId, plan.points.size);
      push(NEW_GETS_COPY, classMethodId, plan.points.size);
      record(INSTRUCTION_NEW_SWAP, position, 3, classMethodId, stackCopyLength);
    } else {
      push(NEW_GETS_COPY, classMethodId, plan.points.size);
      record(INSTRUCTION_NEW_COPY, position, 3, classMethodId, stackCopyLength);
    }
  }

  // The scan follows no data flow: the next call of a method named "<init>" closes the newest NEW.
  void onConstructorCall(int32_t position) {
    const ConstantPool& pool = classFile.getConstantPool();
    const ConstantPoolInfo* entry = pool[codeU2(code + position + 1)];
    if (entry == nullptr) fail(__LINE__);
    if (entry->tag != CONSTANT_Methodref && entry->tag != CONSTANT_InterfaceMethodref) {
      YString warning = YString("warning: INVOKESPECIAL in ") + classFile.getThisClassName() + ": unexpected tag ";
      warning.appendLong(entry->tag);
      logMessage(warning);
      return;
    }
    if (!static_cast<const ConstantMemberRefInfo*>(entry)->getName(pool).equals("<init>")) return;
    const int32_t kind = kinds.pop();
    const int32_t classMethodId = classIds.pop();
    copyPoints.pop();
    switch (kind) {
      case NEW_KEEPS_OWN_COPY:
        record(INSTRUCTION_CONSTRUCTOR_AFTER_DUP, position, 3, classMethodId, allocationCallLength);
        break;
      case NEW_GETS_COPY:
        record(INSTRUCTION_CONSTRUCTOR_AFTER_COPY, position, 3, classMethodId, allocationCallLength);
        break;
      case NEW_WITHOUT_CALLBACK:
        break;
      default:
        failWithNumber("unexpected instruction kind ", kind, 982);
    }
  }

  void onArray(int32_t position, int32_t length, uint8_t opcode) {
    int32_t classMethodId;
    if (opcode == OP_NEWARRAY) {
      classMethodId = allocationIds.ofArray(code[position + 1]);
    } else {
      classMethodId = allocationIds.ofClass(classFile, codeU2(code + position + 1), opcode == OP_ANEWARRAY);
    }
    record(INSTRUCTION_ARRAY, position, length, classMethodId, allocationCallLength);
  }

  // A DUP_X1, DUP_X2, DUP2_X1 or DUP2_X2 while the newest pending NEW has an inserted copy: the program
  // now shuffles the uninitialised reference itself, where the copy would be in its way, so the copy
  // becomes NOPs and that NEW gets no callback. The copy is the one recorded for that very NEW, never a
  // later NEW's whose constructor has run already (that one's allocation call consumes its copy).
  void cancelNewestCopy() {
    if (kinds.size == 0 || kinds.peek() != NEW_GETS_COPY) return;
    const int32_t pointIndex = copyPoints.peek();
    if (pointIndex < 0 || pointIndex >= plan.points.size) fail(797);
    PatchPoint& point = plan.points[pointIndex];
    if (point.type != INSTRUCTION_NEW_COPY && point.type != INSTRUCTION_NEW_SWAP) fail(__LINE__);
    // A NEW before SWAP pushed two entries; both lose their callback.
    for (int32_t i = kinds.size - 1; i >= 0 && copyPoints[i] == pointIndex; i--) kinds[i] = NEW_WITHOUT_CALLBACK;
    point.type = INSTRUCTION_NEW_COPY_CANCELLED;
  }

  const ClassFile& classFile;
  const MethodInfo& method;
  const uint8_t* const code;
  const int32_t codeLength;
  const PatchScope& scope;
  PatchPlan& plan;
  const int32_t exitBlockLength;
  const int32_t lineBlockLength;
  AllocationMethodIds ownAllocationIds;  // for a scope without the class's
  AllocationMethodIds& allocationIds;
  // The pending NEWs, newest last: their kind, their class's pseudo-method and the point of their
  // inserted copy (-1 for none).
  YVector<int32_t, 32> kinds;
  YVector<int32_t, 32> classIds;
  YVector<int32_t, 32> copyPoints;
};

bool isInstructionStart(const PatchPlan& plan, int32_t position) {
  return position >= 0 && position < plan.instructionStarts.size && plan.instructionStarts[position] != 0;
}

void checkBranches(const uint8_t* oldCode, const PatchPlan& plan) {
  for (int32_t i = 0; i < plan.branches.size(); i++) {
    const uint8_t* operand = oldCode + plan.branches.getOperandPosition(i);
    const int32_t offset = plan.branches.getFlag(i) == 1 ? codeS2(operand) : codeS4(operand);
    if (!isInstructionStart(plan, int32_t(int64_t(plan.branches.getOffset(i)) + offset))) fail(__LINE__);
  }
}

void checkHandlers(const CodeAttribute& code, const PatchPlan& plan) {
  const int32_t codeLength = plan.instructionStarts.size;
  const YVector<CodeAttribute::ExceptionTableElement*>& handlers = code.getExceptionTable();
  for (int32_t i = 0; i < handlers.size; i++) {
    const CodeAttribute::ExceptionTableElement& entry = *handlers[i];
    if (!isInstructionStart(plan, entry.startPc) || !isInstructionStart(plan, entry.handlerPc) ||
        entry.endPc <= entry.startPc || (entry.endPc != codeLength && !isInstructionStart(plan, entry.endPc))) {
      fail(__LINE__);
    }
  }
}

void checkLocalRanges(const LocalVariableEntries* table, int32_t codeLength) {
  if (table == nullptr) return;
  const YVector<LocalVariable*>& entries = table->getEntries();
  for (int32_t i = 0; i < entries.size; i++) {
    if (entries[i] == nullptr) assertionFailed("assertion failed: value is NULL", "Patchers", 319);
    const int64_t start = entries[i]->getStartPc();
    if (start >= codeLength || start + entries[i]->getLength() > codeLength) fail(__LINE__);
  }
}

void checkNewOffsets(const YVector<VerificationType>& types, const uint8_t* oldCode, const PatchPlan& plan) {
  for (int32_t i = 0; i < types.size; i++) {
    if (types[i].tag != ITEM_Uninitialized) continue;
    if (!isInstructionStart(plan, types[i].index) || oldCode[types[i].index] != OP_NEW) fail(__LINE__);
  }
}

}  // namespace

void scanPatchPoints(const ClassFile& classFile, const MethodInfo& method, const uint8_t* code, int32_t codeLength,
                     const PatchScope& scope, PatchPlan& plan) {
  scanPatchPoints(classFile, method, code, codeLength, InstructionWalk(code, codeLength, "Patchers"), scope, plan);
}

void scanPatchPoints(const ClassFile& classFile, const MethodInfo& method, const uint8_t* code, int32_t codeLength,
                     const InstructionWalk& walk, const PatchScope& scope, PatchPlan& plan) {
  Scanner(classFile, method, code, codeLength, scope, plan).run(walk);
}

void checkCodeReferences(const CodeAttribute& code, const uint8_t* oldCode, const PatchPlan& plan) {
  const int32_t codeLength = plan.instructionStarts.size;
  if (code.getCodeLength() != codeLength || plan.positionMap.size != codeLength) fail(__LINE__);
  checkBranches(oldCode, plan);
  checkHandlers(code, plan);
  if (const LineNumberTableAttribute* lines = code.getLineNumberTable()) {
    const YVector<LineNumberTableAttribute::LineNumber*>& entries = lines->getEntries();
    for (int32_t i = 0; i < entries.size; i++) {
      if (entries[i]->startPc < 0 || entries[i]->startPc >= codeLength) fail(__LINE__);
    }
  }
  checkLocalRanges(code.getLocalVariableTable(), codeLength);
  checkLocalRanges(code.getLocalVariableTypeTable(), codeLength);
  if (!code.tracksFrames()) return;
  const YVector<StackMapFrame*>& frames = code.getFrames();
  for (int32_t i = 1; i < frames.size; i++) {  // the initial frame stands before the code
    if (!isInstructionStart(plan, frames[i]->offset)) fail(__LINE__);
    checkNewOffsets(frames[i]->locals, oldCode, plan);
    checkNewOffsets(frames[i]->stack, oldCode, plan);
  }
}
