#include "agent/instrumentation/MethodPatcher.h"

#include <cstring>

#include "agent/classfile/ClassFile.h"
#include "agent/classfile/CodeAttribute.h"
#include "agent/classfile/ConstantValues.h"
#include "agent/classfile/InstructionWalk.h"
#include "agent/classfile/LineLookup.h"
#include "agent/classfile/LineNumberTableAttribute.h"
#include "agent/classfile/LocalVariableTableAttribute.h"
#include "agent/classfile/MethodInfo.h"
#include "agent/classfile/OffsetTable.h"
#include "agent/classfile/SignatureUtil.h"
#include "agent/classfile/SwitchDetector.h"
#include "agent/classfile/VerificationType.h"
#include "agent/core/AgentFlags.h"
#include "agent/core/Options.h"
#include "agent/db/CodePointStorage.h"
#include "agent/db/DB.h"
#include "agent/instrumentation/ByteCodeGenerator.h"
#include "agent/instrumentation/ClassInstrumenter.h"
#include "agent/instrumentation/ClassTransformer.h"
#include "agent/instrumentation/InstructionEmitters.h"
#include "agent/instrumentation/NewOpCodeDetector.h"
#include "agent/instrumentation/PatchPoints.h"
#include "agent/instrumentation/Retransformation.h"
#include "agent/recording/CountingSupport.h"
#include "agent/support/ClassNameSet.h"
#include "agent/support/FatalError.h"
#include "agent/support/Log.h"
#include "agent/support/YString.h"
#include "agent/support/YVector.h"

namespace {

// Code of this length or more does not fit the class file.
constexpr int64_t CODE_LENGTH_LIMIT = 0x10000;
constexpr int32_t MAX_SLOTS = 32767;
// Max stack grows by this twice: once for the blocks inside the code, once for the entry block.
constexpr int32_t STACK_INCREASE = 6;

[[noreturn]] void fail(int32_t line) { assertionFailed("assertion failed", "Patchers", line); }

// The hidden options, fixed by the first method patched.
struct PatchOptions {
  bool disableLines;
  int32_t largeLimit;
  bool jspWithoutLines;
  bool disableObfuscatedAllocations;
};

const PatchOptions& patchOptions() {
  static const PatchOptions options = [] {
    const Options& given = globalOptions();
    return PatchOptions{given.hasOption("_tracing_disable_lines"), given.getIntOption("_tracing_clt", 2048),
                        !given.hasOption("_jsp_with_lines"), given.hasOption("_disable_obfuscated_allocations")};
  }();
  return options;
}

// The class's Java name, made when a message or the large-method rule first asks for it.
class JavaClassName {
 public:
  explicit JavaClassName(const ClassFile& classFile) : classFile(classFile) {}
  const YString& get() {
    if (!made) {
      name = descriptorToJavaTypeName(classFile.getThisClassName().data);
      made = true;
    }
    return name;
  }

 private:
  const ClassFile& classFile;
  YString name;
  bool made = false;
};

// "<Java class name> <method name>(<parameters>)" for the warnings.
YString methodText(const YString& javaClassName, const MethodInfo& method) {
  return javaClassName + " " + method.getName() + methodDescriptorToParameterList(method.getDescriptor().data);
}

// A large method carries line callbacks only while CPU tracing runs. Its class is retransformed when
// tracing starts or stops, so that this is decided again; a class that cannot be retransformed keeps them.
bool largeMethodKeepsLines(const YString& javaClassName, const MethodInfo& method, int32_t codeLength) {
  if (isSpecialClassNotToRetransform(javaClassName)) return true;
  addClassName(patchedClassNames(), javaClassName);
  const bool tracingRuns = cpuTracingRuns();
  YString line(tracingRuns ? "tracing=on" : "tracing=off");
  line.append(": large method: ");
  line.appendLong(codeLength);
  line.append(' ');
  line.append(methodText(javaClassName, method));
  logMessage(line);
  return tracingRuns;
}

bool withLineCallbacks(const MethodInfo& method, const CodeAttribute& code, int32_t lineRef,
                       JavaClassName& javaClassName) {
  const PatchOptions& options = patchOptions();
  if (options.disableLines || code.getLineNumberTable() == nullptr || lineRef == -1) return false;
  if (code.getCodeLength() >= options.largeLimit && !method.getNameEntry().equals("<clinit>", 8) &&
      !largeMethodKeepsLines(javaClassName.get(), method, code.getCodeLength())) {
    return false;
  }
  if (options.jspWithoutLines && method.getNameEntry().equals("_jspService", 11) &&
      method.getDescriptor().equals("(Ljavax/servlet/http/HttpServletRequest;Ljavax/servlet/http/HttpServletResponse;)V")) {
    if (logBci()) {
      logMessage(YString("bci: skip lines (jsp_method): ") + javaClassName.get() + " " + getMethodDisplayName(method));
    }
    return false;
  }
  return true;
}

bool recordsAllocations(const ClassFile& classFile, const MethodInfo& method, const uint8_t* code, int32_t codeLength,
                        const InstructionWalk& walk, JavaClassName& javaClassName) {
  switch (NewOpCodeDetector(classFile, code, codeLength, walk)) {
    case ALLOCATIONS_NONE:
      return false;
    case ALLOCATIONS_ACCEPTED:
      return true;
    case ALLOCATIONS_UNEXPECTED_BYTECODE:
      logMessage(YString("warning: unexpected bytecode was detected. Allocation recording for this method will be disabled. ") +
                 methodText(javaClassName.get(), method));
      return false;
    case ALLOCATIONS_OBFUSCATED: {
      const bool enabled = !patchOptions().disableObfuscatedAllocations;
      static bool warned = false;  // changed under "ourLock" only
      if (enabled && !warned) {
        warned = true;
        logMessage(YString("warning: obfuscated bytecode of a known type was detected"));
      }
      if (logBci()) {
        logMessage(YString("bci: obfuscated bytecode: ") + javaClassName.get() + " " + getMethodDisplayName(method));
      }
      return enabled;
    }
  }
  fail(__LINE__);
}

// The new locals must get slots below the limit: a wrapped slot would be one the method already uses. The
// blocks push at most STACK_INCREASE values over the stack they find, which a capped max stack could not
// hold.
void checkRoom(const CodeAttribute& code, int32_t newSlots) {
  if (code.getMaxLocals() > MAX_SLOTS - newSlots || code.getMaxStack() > MAX_SLOTS - 2 * STACK_INCREASE) fail(__LINE__);
}

int32_t addressConstant(ClassFile& classFile, const uint64_t* counter) {
  return classFile.getOrAddLong(int64_t(reinterpret_cast<uintptr_t>(counter)));
}

// The Long constant of the counter of the allocation point of (this method's line, the class whose
// pseudo-method is `classMethodId`).
int32_t allocationCounterConstant(ClassFile& classFile, int32_t methodId, int32_t line, int32_t classMethodId) {
  if (classMethodId < 0) fail(__LINE__);
  if (db == nullptr) fatalError("db is NULL", "Patchers", __LINE__);
  const MethodRecord* record = db->methods.getRow(classMethodId, false);
  if (record == nullptr) fail(__LINE__);
  const int32_t allocPoint = getAllocPointRow(CodePointStorage::getOrAdd(methodId, line), record->classNameId);
  return addressConstant(classFile, getCountingSlot(allocPoint, allocPointCounters()));
}


// What the blocks of one method are written with.
struct BlockOperands {
  int32_t methodId;
  int32_t exitRef;
  int32_t lineRef;
  int32_t initRef;
  int32_t methodIdConst;
  int32_t allocLocal;
  int32_t resultLocal;
  bool aligned;
};

// `patched` holds the old bytes at their mapped positions; the blocks go into the gaps, and each
// instrumented instruction is moved behind the block that now stands where the map put it.
void writeBlocks(ClassFile& classFile, const CodeAttribute& code, const PatchPlan& plan, const uint8_t* oldCode,
                 const BlockOperands& operands, uint8_t* patched) {
  // Every patch point asks for its line: the table is sorted once instead of searched whole each time.
  const LineNumberTableAttribute* lines = code.getLineNumberTable();
  const YVector<LineNumberTableAttribute::LineNumber*> noLines;
  const YVector<LineNumberTableAttribute::LineNumber*>& entries = lines != nullptr ? lines->getEntries() : noLines;
  const LineIndex lineIndex(entries.data, entries.size,
                            [](const LineNumberTableAttribute::LineNumber* entry) { return entry->startPc; },
                            [](const LineNumberTableAttribute::LineNumber* entry) { return entry->lineNumber; });
  for (int32_t i = 0; i < plan.points.size; i++) {
    const PatchPoint& point = plan.points[i];
    const int32_t line = lineIndex.lineAt(point.oldPos);
    const LinePush push = point.type == INSTRUCTION_INVOKE ? linePushFor(classFile, line) : allocationLinePush(line);
    const int32_t before = emitCodeBefore(point.type, operands.exitRef, operands.lineRef, operands.methodIdConst,
                                          operands.resultLocal, patched, point.newPos, push, operands.aligned);
    int32_t classIdConst = 0;
    int32_t allocCounterConst = 0;
    if (point.classMethodId != 0) {
      classIdConst = classFile.getOrAddInteger(point.classMethodId);
      allocCounterConst = allocationCounterConstant(classFile, operands.methodId, line, point.classMethodId);
    }
    emitCodeAfter(point.type, operands.initRef, patched, point.newPos + before + point.length, operands.allocLocal,
                  classIdConst, allocCounterConst, push);
    std::memcpy(patched + point.newPos + before, oldCode + point.oldPos, size_t(point.length));
  }
}

void remapLocals(LocalVariableEntries* table, const PatchPlan& plan, int32_t oldLength, int32_t newLength) {
  if (table != nullptr) remapLocalVariables(table->getEntries(), plan.positionMap.data, oldLength, newLength);
}

void shiftLocals(LocalVariableEntries* table, int32_t count) {
  if (table != nullptr) shiftLocalVariables(table->getEntries(), count);
}

}  // namespace

bool patchMethod(int32_t methodId, ClassFile& classFile, MethodInfo* method, int32_t entryRef, int32_t exitRef,
                 int32_t lineRef, int32_t initRef, bool allocation, bool tracing, AllocationMethodIds* allocationIds) {
  if (method == nullptr) assertionFailed("assertion failed: value is NULL", "Patchers", 657);
  CodeAttribute* code = method->getCodeAttribute();
  if (code == nullptr) assertionFailed("assertion failed: value is NULL", "Patchers", 659);
  const int32_t codeLength = code->getCodeLength();
  // The branch operands are rewritten in this copy; the method's own code stays as it is until the end.
  YVector<uint8_t, PatchPlan::inlineCodeLength> oldCode;
  oldCode.addRange(code->getCode(), codeLength);

  JavaClassName javaClassName(classFile);
  PatchScope scope;
  scope.tracing = tracing;
  scope.withLines = withLineCallbacks(*method, *code, lineRef, javaClassName);
  // One walk finds the instructions for the three scans.
  const InstructionWalk walk(oldCode.data, codeLength, "Patchers");
  scope.aligned = detectSwitches(oldCode.data, walk);
  scope.allocations =
      allocation && recordsAllocations(classFile, *method, oldCode.data, codeLength, walk, javaClassName);
  scope.allocationIds = allocationIds;

  PatchPlan plan;
  scanPatchPoints(classFile, *method, oldCode.data, codeLength, walk, scope, plan);
  checkCodeReferences(*code, oldCode.data, plan);
  const int32_t newSlots = (scope.allocations ? 1 : 0) + (tracing ? 2 : 0);
  checkRoom(*code, newSlots);

  const bool withAllocLocal = scope.allocations;
  const int32_t entryLength = tracing ? entryCallLength(scope.aligned, withAllocLocal) : localInitLength(withAllocLocal);
  const int32_t newLength = codeLength + plan.inserted;
  // Refused before anything is written: the method keeps its code, tables, frames and max locals.
  if (int64_t(newLength) + entryLength >= CODE_LENGTH_LIMIT) return false;
  if (!relocateBranchOffsets(plan.branches, oldCode.data, codeLength, plan.positionMap.data)) return false;

  // The slots the new locals will get; they are taken once the new code is certain to be kept.
  BlockOperands operands{methodId, exitRef, lineRef, initRef, 0, -1, -1, scope.aligned};
  if (withAllocLocal) operands.allocLocal = code->getMaxLocals();
  if (tracing) operands.resultLocal = code->getMaxLocals() + (withAllocLocal ? 1 : 0);
  int32_t counterConst = 0;
  if (tracing) {
    operands.methodIdConst = classFile.getOrAddInteger(methodId);
    counterConst = addressConstant(classFile, getCountingSlot(methodId, callCounters()));
  }

  // The final code: the entry block, then the old code with its blocks.
  const int32_t finalLength = newLength + entryLength;
  uint8_t* finalCode = code->newCodeBuffer(finalLength);
  uint8_t* patched = finalCode + entryLength;
  for (int32_t i = 0; i < codeLength; i++) patched[plan.positionMap[i]] = oldCode[i];
  writeBlocks(classFile, *code, plan, oldCode.data, operands, patched);
  if (tracing) {
    emitEntryCall(entryRef, operands.methodIdConst, counterConst, operands.resultLocal, finalCode, 0,
                  operands.allocLocal, scope.aligned);
  } else {
    emitLocalInit(finalCode, 0, operands.allocLocal);
  }

  if (withAllocLocal && code->addLocal(VerificationType(ITEM_Integer, -1), true) != operands.allocLocal) fail(__LINE__);
  if (tracing && code->addLocal(VerificationType(ITEM_Long, -1), true) != operands.resultLocal) fail(__LINE__);
  // The frames still have the old offsets, which name the NEWs; a refused attempt never got here, so
  // each copy is added to them once.
  for (int32_t i = 0; i < plan.points.size; i++) {
    const PatchPoint& point = plan.points[i];
    if (point.type == INSTRUCTION_NEW_COPY || point.type == INSTRUCTION_NEW_SWAP) code->patchFrames(point.oldPos);
  }
  code->setCodeInPlace(patched, newLength);
  code->increaseMaxStack(STACK_INCREASE);
  code->relocateOffsets(plan.positionMap.data, codeLength);
  LocalVariableEntries* const localVariables = code->getLocalVariableTable();
  LocalVariableEntries* const localVariableTypes = code->getLocalVariableTypeTable();
  remapLocals(localVariables, plan, codeLength, newLength);
  remapLocals(localVariableTypes, plan, codeLength, newLength);

  code->setCodeInPlace(finalCode, finalLength);
  shiftLocals(localVariables, entryLength);
  shiftLocals(localVariableTypes, entryLength);
  code->shiftOffsets(entryLength, 0);
  code->increaseMaxStack(STACK_INCREASE);
  code->addLocalsToFrames(0, -1);
  return true;
}
