#pragma once

#include <cstdint>

#include "agent/classfile/CallbackParameter.h"
#include "agent/probes/ProbeRegistry.h"
#include "agent/support/YString.h"
#include "agent/support/YVector.h"

class ByteCodeGenerator;
class ClassFile;
class CodeAttribute;

// The bytecode of one probe callback call inside a woven method: the onEnter block, the return block
// that goes before every return, the catch-all handler block, and the loading of one argument for each
// callback parameter. The blocks are appended to a ByteCodeGenerator; the locals they need are added to
// the method's code attribute. A broken invariant (a missing parameter list or local, an unknown type or
// parameter kind) is a fatal error: probe validation excludes all of them.

// The operand-stack depth a block reaches above what it finds, tracked while it is emitted.
struct StackDepth {
  int32_t current = 0;
  int32_t peak = 0;

  void push(int32_t slots) {
    current += slots;
    if (current > peak) peak = current;
  }
  void pop(int32_t slots) { current -= slots; }
};

// A reference @Param whose declared type differs from the argument's: the prologue keeps in `local` the
// argument when it is an instance of `type`, else null, since only a run-time test can tell.
struct GuardedParameter {
  int32_t argument;
  YString type;  // the declared type descriptor
  int32_t local;
};

// What the blocks of one method are made from.
struct CallbackBlockContext {
  ClassFile* classFile = nullptr;
  CodeAttribute* code = nullptr;
  const ProbeDescriptor* probe = nullptr;
  YString methodName;
  YString methodDescriptor;
  YString returnType;  // the method's return descriptor
  bool isStatic = false;
  YVector<YString> argumentTypes;
  YVector<int32_t> argumentSlots;   // each argument's own slot
  YVector<int32_t> argumentLocals;  // the local holding each argument at entry: its slot or its copy
  YVector<GuardedParameter> guardedParameters;
  int32_t thisLocal = -1;        // slot 0 or the copy of `this`; -1 in static methods
  int32_t instanceOfClass = -1;  // the class of the run-time instance test, -1 when none is needed
  int32_t enterResultLocal = -1;
  int32_t startTimeLocal = -1;
  int32_t uptimeRef = -1;  // Callback.getUptimeMs
  YString enterReturnType = YString("V");
  bool hasSwitch = false;
};

// The prologue's part for the reference @Params whose declared type differs from the argument's type:
// each gets a local (recorded for the frames) holding the argument when it is an instance of the
// declared type, else null. All locals are set to null before the first test, so that they hold their
// types at the tests' branch targets. Needs context.argumentLocals.
void emitGuardedParameters(CallbackBlockContext& context, ByteCodeGenerator& prologue);

// The blocks; each answers the stack depth it needs above what it finds. `callbackRef` is the method
// reference of the slot's callback.
int32_t emitOnEnterBlock(CallbackBlockContext& context, ByteCodeGenerator& out, int32_t callbackRef);
int32_t emitReturnBlock(CallbackBlockContext& context, ByteCodeGenerator& out, int32_t callbackRef);
// Entered with the caught exception on the stack. Without @DiscardThrownException it ends in ATHROW;
// with it, in the return of the callback's value, followed (under a run-time test) by the ATHROW for
// the objects that the test excludes.
int32_t emitExceptionHandlerBlock(CallbackBlockContext& context, ByteCodeGenerator& out, int32_t callbackRef);

// Which block an argument is loaded for.
enum CallbackSide : int32_t { SIDE_ENTER = 0, SIDE_RETURN = 1, SIDE_EXCEPTION = 2 };

// The argument loaders. `valueLocal` is the return block's saved return value or the handler's caught
// exception, -1 when there is none.
void emitParamArgument(CallbackBlockContext& context, ByteCodeGenerator& out, StackDepth& stack,
                       const CallbackParameter& parameter);
void emitParamsArray(CallbackBlockContext& context, ByteCodeGenerator& out, StackDepth& stack);
void emitParamsCopyBack(CallbackBlockContext& context, ByteCodeGenerator& out, StackDepth& stack, int32_t arrayLocal);
void emitCommonArgument(CallbackBlockContext& context, ByteCodeGenerator& out, StackDepth& stack,
                        const CallbackParameter& parameter, CallbackSide side, int32_t valueLocal);
// The value of type `from` in `local` as type `to`: the same type as it is, B, C, S and I to I or J, F to
// D; any other pair gives the zero value of `to`.
void emitWideningLoad(ByteCodeGenerator& out, StackDepth& stack, const YString& from, const YString& to, int32_t local);

// The typed emitters: the load and store of a local (shortest form), the zero value and the return of a
// type descriptor. A type outside the JVM's is fatal ("unexpected java type: ", "unexpected return
// type: "); a negative local is an assertion failure.
void emitLoadOfType(ByteCodeGenerator& out, const YString& type, int32_t local);
void emitStoreOfType(ByteCodeGenerator& out, const YString& type, int32_t local);
void emitZeroValue(ByteCodeGenerator& out, const YString& type);
void emitReturnOfType(ByteCodeGenerator& out, const YString& type);
// Stack and local slots of a value of the type: 2 for J and D, 0 for V, else 1.
int32_t slotsOfType(const YString& type);
bool isPrimitiveType(const YString& type);

// The method reference of the wrapper's valueOf (boxing) or of its xxxValue (unboxing), added to the
// pool when missing; -1 for a reference type.
int32_t boxPrimitive(ClassFile& classFile, const YString& type);
int32_t unboxPrimitive(ClassFile& classFile, const YString& type);
// The Class entry of a class or array type descriptor ("Ljava/lang/String;" names java/lang/String,
// "[I" itself).
int32_t classIndexOfType(ClassFile& classFile, const YString& type);
// The wrapper class's internal name of a primitive type, empty for any other.
YString wrapperClassOf(const YString& type);
