#include "agent/instrumentation/NativeWrapping.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "agent/classfile/ClassFile.h"
#include "agent/classfile/CodeAttribute.h"
#include "agent/classfile/MethodInfo.h"
#include "agent/classfile/Opcodes.h"
#include "agent/classfile/SignatureUtil.h"
#include "agent/core/JavaVersion.h"
#include "agent/core/Options.h"
#include "agent/instrumentation/ByteCodeGenerator.h"
#include "agent/instrumentation/GeneratedNames.h"
#include "agent/recording/MethodStore.h"
#include "agent/support/CommonUtils.h"
#include "agent/support/FatalError.h"
#include "agent/support/Log.h"
#include "agent/support/YString.h"
#include "agent/support/YVector.h"

namespace {

// Classes whose natives the JVM itself relies on too closely to see them wrapped: the class loading and
// reflection core, security checks, and the natives that HotSpot or J9 replace by their own code.
constexpr const char* DEFAULT_DISABLED_PREFIXES =
    "com/ibm/jvm\n"
    "com/ibm/oti/vm\n"
    "java/lang/ClassLoader\n"
    "java/lang/Class\n"
    "java/lang/Double\n"
    "java/lang/Float\n"
    "java/lang/J9VMInternals\n"
    "java/lang/SecurityManager\n"
    "java/lang/Throwable\n"
    "java/lang/invoke/\n"
    "java/security/AccessController\n"
    "java/util/ResourceBundle\n"
    "jdk/internal/misc/Unsafe\n"
    "sun/misc/Unsafe\n"
    "sun/reflect/\n";

constexpr int32_t MAX_POOL_INDEX = 0xFFFF;

[[noreturn]] void fail(int32_t line) { assertionFailed("assertion failed", "Patchers", line); }

// Read once: the list never changes while the process runs. Never destroyed, since class loading goes on
// while the process exits.
const YVector<YString>& disabledNativeClassPrefixes() {
  static const YVector<YString>* const prefixes = [] {
    auto* lines = new YVector<YString>();
    parseLines(lines, readSettingsFile(YString(), "disable_natives.txt", DEFAULT_DISABLED_PREFIXES));
    return lines;
  }();
  return *prefixes;
}

// The option answers, fixed by the first class that is wrapped.
struct WrapSettings {
  bool withWait;
  bool withCurrentTimeMillis;
  bool withNanoTime;
  bool withIntrinsicCandidates;
};

const WrapSettings& wrapSettings() {
  static const WrapSettings settings = [] {
    const Options& options = globalOptions();
    // The classic IBM JVM needs the waits of Object unwrapped unless asked otherwise.
    const bool classicIbm = ourIsIbm && !isOpenJ9;
    return WrapSettings{!classicIbm || options.hasOption("_with_wait"), !options.hasOption("_skip_currentTimeMillis"),
                        options.hasOption("_with_nanoTime"), options.hasOption("_with_intrinsic_candidates")};
  }();
  return settings;
}

bool bciLogOn() { return globalOptions().isDebug("bci"); }

bool startsWithText(const YString& text, const char* prefix) {
  const size_t length = std::strlen(prefix);
  return size_t(text.length) >= length && std::memcmp(text.data, prefix, length) == 0;
}

bool isDisabledClass(const YString& className) {
  const YVector<YString>& prefixes = disabledNativeClassPrefixes();
  for (int32_t i = 0; i < prefixes.size; i++) {
    if (className.startsWith(prefixes[i])) return true;
  }
  return false;
}

// The per-class rules: whether native `name` of the class may be wrapped. `special` marks the System
// natives that are wrapped although HotSpot treats them as intrinsics.
bool passesClassRules(const YString& className, const YString& name, const WrapSettings& settings, bool& special) {
  // The native half of a wrapper (a class redefined after it was wrapped) is never wrapped again.
  if (startsWithText(name, generatedNameMarker)) return false;
  if (className.equals("java/lang/System")) {
    if (ourIsIbm) return false;
    special = name.equals("arraycopy") || (settings.withCurrentTimeMillis && name.equals("currentTimeMillis")) ||
              (settings.withNanoTime && name.equals("nanoTime"));
    return special;
  }
  const bool thread = className.equals("java/lang/Thread");
  if (thread && ourJavaVersion >= 9 && !name.equals("sleep")) return false;
  if (className.equals("java/lang/Object") && !(name.equals("wait") && settings.withWait)) return false;
  if (name.equals("registerNatives") && startsWithText(className, "java/lang/")) return false;
  if (ourIsIbm && (className.equals("java/lang/String") || startsWithText(className, "java/lang/reflect"))) {
    return false;
  }
  return !(thread && (name.equals("isInterrupted") || name.equals("interruptedImpl") || name.equals("currentThread")));
}

bool isIntrinsicCandidate(const MethodInfo& method, const WrapSettings& settings) {
  if (settings.withIntrinsicCandidates && !bciLogOn()) return false;
  return method.hasAnnotationMatching(YString("Ljdk/internal/HotSpotIntrinsicCandidate;")) ||
         method.hasAnnotationMatching(YString("Ljdk/internal/vm/annotation/IntrinsicCandidate;"));
}

// "<class> <method>(<parameters>)" for the log lines.
YString describeMethod(const ClassFile& classFile, const MethodInfo& method) {
  return descriptorToJavaTypeName(classFile.getThisClassName().data) + " " + getMethodDisplayName(method);
}

// Known before its first callback: the wrapper's callbacks find the record made.
void recordWrappedMethod(const ClassFile& classFile, const YString& name, const YString& descriptor) {
  const YString className = descriptorToJavaTypeName(classFile.getThisClassName().data);
  const YString parameters = methodDescriptorToParameterList(descriptor.data);
  const YString returnType = methodDescriptorToReturnTypeName(descriptor.data);
  const YString sourceFile = classFile.getSourceFileName();
  getOrCreateMethod(className.data, name.data, parameters.data, returnType.data, sourceFile.data, true);
}

// How one argument is loaded: its load instruction (the one-byte form for slot 0 and the general one)
// and the slots it takes.
struct ArgumentLoad {
  uint8_t firstShortForm;
  uint8_t opcode;
  int32_t slots;
};

// The wrapper's shape from a method descriptor: the argument loads and the return instruction.
struct WrapperShape {
  YVector<ArgumentLoad> arguments;
  uint8_t returnOpcode = OP_IRETURN;
  int32_t returnSize = 1;
};

[[noreturn]] void invalidDescriptor(const YString& descriptor) {
  fatalError((YString("Invalid descriptor: ") + descriptor).data, "Patchers", 613);
}

// The end of the field type at `position` (one past it), or -1 when none starts there.
int32_t fieldTypeEnd(const YString& descriptor, int32_t position) {
  while (position < descriptor.length && descriptor.data[position] == '[') position++;
  if (position >= descriptor.length) return -1;
  switch (descriptor.data[position]) {
    case 'B': case 'C': case 'D': case 'F': case 'I': case 'J': case 'S': case 'Z':
      return position + 1;
    case 'L':
      for (int32_t i = position + 1; i < descriptor.length; i++) {
        if (descriptor.data[i] == ';') return i > position + 1 ? i + 1 : -1;
      }
      return -1;
    default:
      return -1;
  }
}

ArgumentLoad argumentLoad(char type) {
  switch (type) {
    case 'J': return {OP_LLOAD_0, OP_LLOAD, 2};
    case 'D': return {OP_DLOAD_0, OP_DLOAD, 2};
    case 'F': return {OP_FLOAD_0, OP_FLOAD, 1};
    case 'L': case '[': return {OP_ALOAD_0, OP_ALOAD, 1};
    default: return {OP_ILOAD_0, OP_ILOAD, 1};  // B, C, I, S, Z
  }
}

WrapperShape wrapperShape(const YString& descriptor) {
  WrapperShape shape;
  if (descriptor.length < 2 || descriptor.data[0] != '(') invalidDescriptor(descriptor);
  int32_t position = 1;
  while (position < descriptor.length && descriptor.data[position] != ')') {
    const int32_t end = fieldTypeEnd(descriptor, position);
    if (end < 0) invalidDescriptor(descriptor);
    shape.arguments.add(argumentLoad(descriptor.data[position]));
    position = end;
  }
  if (position + 1 >= descriptor.length) invalidDescriptor(descriptor);
  switch (descriptor.data[position + 1]) {
    case 'V': shape.returnOpcode = OP_RETURN; shape.returnSize = 0; break;
    case 'L': case '[': shape.returnOpcode = OP_ARETURN; break;
    case 'D': shape.returnOpcode = OP_DRETURN; shape.returnSize = 2; break;
    case 'J': shape.returnOpcode = OP_LRETURN; shape.returnSize = 2; break;
    case 'F': shape.returnOpcode = OP_FRETURN; break;
    default: break;  // B, C, I, S, Z
  }
  return shape;
}

}  // namespace

bool wrapNativeMethods(ClassFile& classFile) {
  const YString className = classFile.getThisClassName();
  // Only the methods the class came with: the wrappers' native halves are appended behind them.
  const int32_t originalCount = classFile.getMethods().size;
  if (isDisabledClass(className)) {
    for (int32_t i = 0; i < originalCount; i++) {
      const MethodInfo& method = *classFile.getMethods()[i];
      if (method.isNative()) logSkippedNative(classFile, method, nullptr);
    }
    return false;
  }
  const WrapSettings& settings = wrapSettings();
  bool wrapped = false;
  for (int32_t i = 0; i < originalCount; i++) {
    MethodInfo* method = classFile.getMethods()[i];
    if (!method->isNative()) continue;
    const YString name = method->getName();
    bool special = false;
    if (!passesClassRules(className, name, settings, special)) {
      logSkippedNative(classFile, *method, nullptr);
      continue;
    }
    if (isIntrinsicCandidate(*method, settings)) {
      if (!settings.withIntrinsicCandidates && !special) {
        logSkippedNative(classFile, *method, "IntrinsicCandidate");
        continue;
      }
      logMessage(YString("native IntrinsicCandidate to wrap: ") + name);
    }
    wrapped = true;
    if (bciLogOn()) logMessage(YString("bci: native wrapped: ") + describeMethod(classFile, *method));
    const YString descriptor = method->getDescriptor();
    createNativeWrapper(classFile, method);
    recordWrappedMethod(classFile, name, descriptor);
  }
  return wrapped;
}

void createNativeWrapper(ClassFile& classFile, MethodInfo* method) {
  if (method == nullptr) assertionFailed("assertion failed: value is NULL", "Patchers", 483);
  if (!method->isNative() || method->getCodeAttribute() != nullptr) fail(485);
  const YString name = method->getName();
  const YString descriptor = method->getDescriptor();
  const int32_t flags = method->getAccessFlags();
  // Checked before the class changes.
  const WrapperShape shape = wrapperShape(descriptor);

  const YString nativeName = YString(generatedNameMarker) + name;
  classFile.getOrAddMethod(nativeName, descriptor, flags);
  const int32_t target = classFile.getOrAddMethodRef(classFile.getThisClassIndex(), classFile.getOrAddUtf8(nativeName),
                                                     classFile.getOrAddUtf8(descriptor));
  if (target > MAX_POOL_INDEX) fail(__LINE__);

  ByteCodeGenerator generator;
  int32_t slots = 0;
  if (!method->isStatic()) {
    generator.append(OP_ALOAD_0);
    slots = 1;
  }
  for (int32_t i = 0; i < shape.arguments.size; i++) {
    const ArgumentLoad& load = shape.arguments[i];
    generator.emitLocalAccess(slots, load.firstShortForm, load.opcode);
    slots += load.slots;
  }
  generator.append(method->isStatic() ? OP_INVOKESTATIC : method->isPrivate() ? OP_INVOKESPECIAL : OP_INVOKEVIRTUAL);
  generator.appendShort(target);
  generator.append(shape.returnOpcode);

  method->clearNative();
  CodeAttribute* code = method->addCodeAttribute();
  const int32_t stack = std::max(slots, shape.returnSize);
  code->increaseMaxStack(stack);
  // The limit would be cut silently, and the arguments would then overflow the operand stack.
  if (code->getMaxStack() != stack) fail(__LINE__);
  code->increaseMaxLocals(slots);
  method->initStackMapFrames();
  std::unique_ptr<uint8_t[]> bytes(new uint8_t[size_t(generator.getLength())]);
  generator.copyCode(bytes.get());
  code->setCode(bytes.get(), generator.getLength());
}

void logSkippedNative(const ClassFile& classFile, const MethodInfo& method, const char* reason) {
  if (!bciLogOn()) return;
  YString line = YString("bci: native skipped: ") + describeMethod(classFile, method);
  if (reason != nullptr) {
    line.append(" // ");
    line.append(reason);
  }
  logMessage(line);
}
