#include "agent/instrumentation/ClassInstrumenter.h"

#include <cstring>

#include "agent/classfile/ClassFile.h"
#include "agent/classfile/CodeAttribute.h"
#include "agent/classfile/ConstantValues.h"
#include "agent/classfile/CodeBytes.h"
#include "agent/classfile/Opcodes.h"
#include "agent/classfile/InstructionLengths.h"
#include "agent/classfile/SignatureUtil.h"
#include "agent/core/Options.h"
#include "agent/db/DB.h"
#include "agent/instrumentation/ByteCodeGenerator.h"
#include "agent/instrumentation/InstructionEmitters.h"
#include "agent/instrumentation/MethodPatcher.h"
#include "agent/probes/ProbeEligibility.h"
#include "agent/recording/MethodStore.h"
#include "agent/support/ClassNameSet.h"
#include "agent/support/FatalError.h"
#include "agent/support/Log.h"

namespace {

constexpr int32_t shortMethodLimit = 32;

bool jspWithoutLines() {
  static const bool without = !globalOptions().hasOption("_jsp_with_lines");
  return without;
}

bool instrumentAllMethods() {
  static const bool all = globalOptions().hasOption("_instrument_all_methods");
  return all;
}

// The opcodes that keep a method short although they come from the refused ranges.
bool allowedInShortMethod(int32_t opcode) {
  return (opcode >= OP_IRETURN && opcode <= OP_RETURN) || (opcode >= OP_GETSTATIC && opcode <= OP_PUTFIELD) ||
         opcode == OP_ARRAYLENGTH || opcode == OP_CHECKCAST || opcode == OP_INSTANCEOF;
}

// For each Callback method: its descriptor's Utf8, its name's Utf8, then NameAndType and Methodref.
int32_t addCallbackRef(ClassFile& classFile, int32_t callbackClass, const char* name, const char* descriptor) {
  const int32_t descriptorIndex = classFile.getOrAddUtf8(descriptor, int32_t(std::strlen(descriptor)));
  const int32_t nameIndex = classFile.getOrAddUtf8(name, int32_t(std::strlen(name)));
  return classFile.getOrAddMethodRef(callbackClass, nameIndex, descriptorIndex);
}

// The Java name of what follows the descriptor's last ")", of the whole descriptor without one.
void returnTypeName(const char* descriptor, YString& name) {
  const char* close = std::strrchr(descriptor, ')');
  descriptorToJavaTypeName(close == nullptr ? descriptor : close + 1, name);
}

YString methodLine(const char* prefix, const YString& className, const MethodInfo& method, bool withDescriptor) {
  YString line(prefix);
  line.append(className);
  line.append(' ');
  line.append(method.getName());
  if (withDescriptor) {
    line.append(' ');
    line.append(method.getDescriptor());
  } else {
    line.append(methodDescriptorToParameterList(method.getDescriptor().data));
  }
  return line;
}

}  // namespace

bool logBci() {
  static const bool on = globalOptions().isDebug("bci");
  return on;
}

void logBciMessage(const char* text) {
  if (logBci()) logMessage(text);
}

bool isShortMethod(const MethodInfo& method, int32_t* reason) {
  const auto answer = [&](int32_t value, bool isShort) {
    if (reason != nullptr) *reason = value;
    return isShort;
  };
  if (instrumentAllMethods()) return answer(-1, false);
  const CodeAttribute* code = method.getCodeAttribute();
  const int32_t length = code == nullptr ? 0 : code->getCodeLength();
  if (length > shortMethodLimit) return answer(-2, false);
  if (length == 0) return answer(0, true);
  const uint8_t* bytes = code->getCode();
  int32_t position = 0;
  while (position < length) {
    const int32_t opcode = bytes[position];
    int32_t next;
    if (opcode == OP_WIDE) {
      next = position + (position + 1 < length && bytes[position + 1] == OP_IINC ? 6 : 4);
    } else if ((opcode >= OP_IFEQ && opcode <= OP_GOTO) || opcode == OP_IFNULL || opcode == OP_IFNONNULL) {
      if (position + 2 >= length) return answer(opcode, false);  // cut off by the end of the code
      if (codeS2(bytes + position + 1) < 0) return answer(-3, false);
      next = position + 3;
    } else if (opcode == OP_GOTO_W) {
      if (position + 4 >= length) return answer(opcode, false);
      if (codeS4(bytes + position + 1) < 0) return answer(-3, false);
      next = position + 5;
    } else if ((opcode >= OP_IDIV && opcode <= OP_DREM) || (opcode >= OP_JSR && !allowedInShortMethod(opcode))) {
      return answer(opcode, false);
    } else {
      const int32_t instructionLength = instructionLengths[opcode];
      if (instructionLength < 1) return answer(opcode, false);
      next = position + instructionLength;
    }
    position = next;
  }
  return answer(0, true);
}

bool instrumentClass(ClassFile& classFile, bool& bytecodeTooLong, bool allocation, bool tracing) {
  if (!allocation && !tracing) return false;
  const YString& className = classFile.getThisClassName();
  const YString* superName = classFile.getSuperClassName();
  const YString javaName = descriptorToJavaTypeName(className.data);

  const bool jspClass =
      jspWithoutLines() && superName != nullptr && superName->equals("org/apache/jasper/runtime/HttpJspBase");
  if (jspClass) logMessage(YString("bci: skip lines (jsp_class): ") + javaName);

  static const char callbackName[] = "com/brantel/runtime/Callback";
  const int32_t callbackClass = classFile.getOrAddClass(classFile.getOrAddUtf8(callbackName, sizeof callbackName - 1));
  const int32_t entryRef = addCallbackRef(classFile, callbackClass, "bzpMethodEntry", "(IJ)J");
  const int32_t exitRef = addCallbackRef(classFile, callbackClass, "bzpMethodExit", "(IJ)V");
  const int32_t lineRef = jspClass ? -1 : addCallbackRef(classFile, callbackClass, "bzpMethodLine", "(IJ)V");
  const int32_t initRef = addCallbackRef(classFile, callbackClass, "bzpInit", "(Ljava/lang/Object;IISJ)I");

  const bool isObject = className.equals("java/lang/Object");
  const YString sourceFile = classFile.getSourceFileName();
  const FilterList& bciFilter = bciFilterList();
  bool patched = false;
  MethodOwner owner{nullptr, 0, 0};  // looked up with the first method patched
  AllocationMethodIds allocationIds;
  YString parameters;  // both keep their room from method to method
  YString returnType;
  const YVector<MethodInfo*>& methods = classFile.getMethods();
  for (int32_t i = 0; i < methods.size; i++) {
    MethodInfo* method = methods[i];
    if (method->getCodeAttribute() == nullptr) continue;
    const ConstantUtf8Info& nameEntry = method->getNameEntry();
    const char* name = nameEntry.textData();
    if (isObject && (nameEntry.equals("<clinit>", 8) || nameEntry.equals("finalize", 8))) continue;
    int32_t reason = 0;
    if (isShortMethod(*method, &reason)) {
      if (logBci()) logMessage(methodLine("bci: skip short: ", javaName, *method, false));
      continue;
    }
    if (logBci()) {
      YString line("bci: applicable (");
      line.appendLong(reason);
      line.append("): ");
      line.append(javaName);
      line.append(' ');
      line.append(getMethodDisplayName(*method));
      logMessage(line);
    }
    const char* descriptor = method->getDescriptorEntry().textData();
    methodDescriptorToParameterList(descriptor, parameters);
    if (bciFilter.matchesMethod(javaName.data, name, parameters.data)) {
      YString line("bci: skip 'bci_filter': ");
      line.append(javaName);
      line.append(' ');
      line.append(name);
      line.append(parameters);
      if (addClassName(classFile.getLoggedTexts(), line)) logMessage(line);
      continue;
    }
    if (owner.className == nullptr) owner = getMethodOwner(javaName.data, sourceFile.data);
    returnTypeName(descriptor, returnType);
    const int32_t methodId = getOrCreateMethod(owner, name, parameters.data, returnType.data, method->isNative());
    bool done =
        patchMethod(methodId, classFile, method, entryRef, exitRef, lineRef, initRef, allocation, tracing, &allocationIds);
    if (!done && lineRef != -1) {
      logMessage(methodLine("warning: resulting bytecode is too long, trying a fallback: ", className, *method, true));
      done = patchMethod(methodId, classFile, method, entryRef, exitRef, -1, initRef, allocation, tracing, &allocationIds);
    }
    if (!done) {
      logMessage(methodLine("warning: cannot instrument method because resulting bytecode is too long: ", className,
                            *method, true));
      bytecodeTooLong = true;
      return false;
    }
    patched = true;
    if (db == nullptr) fatalError("db is NULL", "Patchers", __LINE__);
    setMethodFlags(methodId, methodTraced);
  }
  return patched;
}
