#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "agent/classfile/ClassFile.h"
#include "agent/classfile/CodeAttribute.h"
#include "agent/classfile/InstructionLengths.h"
#include "agent/classfile/LineNumberTableAttribute.h"
#include "agent/classfile/LocalVariableTableAttribute.h"
#include "agent/classfile/MethodInfo.h"
#include "agent/classfile/Opcodes.h"
#include "tests/unit/classfile/ClassTestSupport.h"
#include "tests/unit/classfile/CodeTestSupport.h"

// Methods for the patching tests, assembled with a known pool, and what a test reads back from a patched
// method: its instructions, a description of all its tables, and the structural checks every patched
// method must pass.
namespace patchtest {

using classtest::ClassBuilder;
using classtest::ParsedClass;

// The pool entries the test code refers to; the same indices in every sample class.
struct Pool {
  int32_t thing;                // Class p/Thing
  int32_t thingInit;            // Methodref p/Thing.<init>()V
  int32_t thingInitWithObject;  // Methodref p/Thing.<init>(Ljava/lang/Object;)V
  int32_t helper;               // Methodref <this class>.helper()V
  int32_t string;               // Class java/lang/String
  int32_t intMatrix;            // Class [[I
  int32_t fieldRef;             // Fieldref p/Thing.count I
  int32_t runnerRun;            // InterfaceMethodref p/Runner.run()V
  int32_t localName;            // Utf8 "a"
  int32_t localDescriptor;      // Utf8 "I"
};

inline int32_t nameAndType(ClassBuilder& builder, int32_t name, int32_t descriptor) {
  return builder.entry(ByteBuilder().u1(CONSTANT_NameAndType).u2(name).u2(descriptor).bytes);
}

inline int32_t memberRef(ClassBuilder& builder, uint32_t tag, int32_t owner, int32_t nat) {
  return builder.entry(ByteBuilder().u1(int32_t(tag)).u2(owner).u2(nat).bytes);
}

inline Pool addPool(ClassBuilder& builder, const std::string& className) {
  Pool pool;
  builder.thisClass = builder.classNamed(className);
  builder.superClass = builder.classNamed("java/lang/Object");
  pool.thing = builder.classNamed("p/Thing");
  const int32_t init = builder.utf8("<init>");
  const int32_t voidType = builder.utf8("()V");
  pool.thingInit = memberRef(builder, CONSTANT_Methodref, pool.thing, nameAndType(builder, init, voidType));
  const int32_t withObject = builder.utf8("(Ljava/lang/Object;)V");
  pool.thingInitWithObject = memberRef(builder, CONSTANT_Methodref, pool.thing, nameAndType(builder, init, withObject));
  pool.helper = memberRef(builder, CONSTANT_Methodref, builder.thisClass,
                          nameAndType(builder, builder.utf8("helper"), voidType));
  pool.string = builder.classNamed("java/lang/String");
  pool.intMatrix = builder.classNamed("[[I");
  pool.localDescriptor = builder.utf8("I");
  pool.fieldRef = memberRef(builder, CONSTANT_Fieldref, pool.thing,
                            nameAndType(builder, builder.utf8("count"), pool.localDescriptor));
  pool.runnerRun = memberRef(builder, CONSTANT_InterfaceMethodref, builder.classNamed("p/Runner"),
                             nameAndType(builder, builder.utf8("run"), voidType));
  pool.localName = builder.utf8("a");
  return pool;
}

// The indices, known before any code is written.
inline const Pool& P() {
  static const Pool pool = [] {
    ClassBuilder builder;
    return addPool(builder, "p/Sample");
  }();
  return pool;
}

// An opcode with a two-byte operand.
inline Bytes op2(uint8_t opcode, int32_t operand) { return {opcode, uint8_t(operand >> 8), uint8_t(operand)}; }

inline Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

inline Bytes nops(size_t count) { return Bytes(count, OP_NOP); }

struct Handler {
  int32_t start;
  int32_t end;
  int32_t handler;
};

struct Local {
  int32_t start;
  int32_t length;
  int32_t slot;
};

// A static method; the tables are added by the with... calls.
struct MethodSpec {
  MethodSpec(std::string name, std::string descriptor, Bytes code, int32_t maxStack = 4, int32_t maxLocals = 2)
      : name(std::move(name)), descriptor(std::move(descriptor)), code(std::move(code)), maxStack(maxStack),
        maxLocals(maxLocals) {}
  MethodSpec& withHandlers(std::vector<Handler> entries) {
    handlers = std::move(entries);
    return *this;
  }
  // (start, line) pairs of a "LineNumberTable".
  MethodSpec& withLines(std::vector<std::pair<int32_t, int32_t>> entries) {
    lines = std::move(entries);
    return *this;
  }
  MethodSpec& withLocals(std::vector<Local> entries) {
    locals = std::move(entries);
    return *this;
  }
  // The entries of a "StackMapTable".
  MethodSpec& withFrames(int32_t count, Bytes entries) {
    frameCount = count;
    frames = std::move(entries);
    return *this;
  }

  std::string name;
  std::string descriptor;
  int32_t flags = ACC_PUBLIC | ACC_STATIC;
  Bytes code;
  int32_t maxStack;
  int32_t maxLocals;
  std::vector<Handler> handlers;
  std::vector<std::pair<int32_t, int32_t>> lines;
  std::vector<Local> locals;
  int32_t frameCount = 0;
  Bytes frames;
};

// A parsed class of one method and the indices of the Callback methods, which its model was given the
// way the class instrumentation adds them.
struct Sample {
  std::unique_ptr<ParsedClass> parsed;
  int32_t entryRef = 0;
  int32_t exitRef = 0;
  int32_t lineRef = 0;
  int32_t initRef = 0;

  ClassFile& classFile() const { return **parsed; }
  MethodInfo* method() const { return classFile().getMethods()[0]; }
  CodeAttribute& code() const { return *method()->getCodeAttribute(); }
};

inline Bytes codeAttribute(int32_t codeName, const MethodSpec& spec, const Pool& pool, int32_t linesName,
                           int32_t localsName, int32_t framesName) {
  ByteBuilder body;
  body.u2(spec.maxStack).u2(spec.maxLocals).u4(int32_t(spec.code.size())).raw(spec.code);
  body.u2(int32_t(spec.handlers.size()));
  for (const Handler& h : spec.handlers) body.u2(h.start).u2(h.end).u2(h.handler).u2(0);
  std::vector<Bytes> nested;
  if (!spec.lines.empty()) {
    ByteBuilder table;
    table.u2(int32_t(spec.lines.size()));
    for (const auto& [start, line] : spec.lines) table.u2(start).u2(line);
    nested.push_back(ByteBuilder().attribute(linesName, table.bytes).bytes);
  }
  if (!spec.locals.empty()) {
    ByteBuilder table;
    table.u2(int32_t(spec.locals.size()));
    for (const Local& l : spec.locals) table.u2(l.start).u2(l.length).u2(pool.localName).u2(pool.localDescriptor).u2(l.slot);
    nested.push_back(ByteBuilder().attribute(localsName, table.bytes).bytes);
  }
  if (spec.frameCount > 0) nested.push_back(ByteBuilder().attribute(framesName, ByteBuilder().u2(spec.frameCount).raw(spec.frames).bytes).bytes);
  body.u2(int32_t(nested.size()));
  for (const Bytes& attribute : nested) body.raw(attribute);
  return ByteBuilder().attribute(codeName, body.bytes).bytes;
}

inline Sample sampleClass(const MethodSpec& spec, const std::string& className = "p/Sample", int32_t majorVersion = 52) {
  ClassBuilder builder(majorVersion);
  const Pool pool = addPool(builder, className);
  const int32_t codeName = builder.utf8("Code");
  const int32_t linesName = builder.utf8("LineNumberTable");
  const int32_t localsName = builder.utf8("LocalVariableTable");
  const int32_t framesName = builder.utf8("StackMapTable");
  const int32_t name = builder.utf8(spec.name);
  const int32_t descriptor = builder.utf8(spec.descriptor);
  builder.methods.push_back(ClassBuilder::member(
      spec.flags, name, descriptor, {codeAttribute(codeName, spec, pool, linesName, localsName, framesName)}));
  Sample sample;
  sample.parsed = std::make_unique<ParsedClass>(builder.build());
  ClassFile& model = sample.classFile();
  const int32_t callback = model.getOrAddClass(model.getOrAddUtf8(YString("com/brantel/runtime/Callback")));
  const auto ref = [&](const char* method, const char* type) {
    const int32_t typeIndex = model.getOrAddUtf8(YString(type));
    return model.getOrAddMethodRef(callback, model.getOrAddUtf8(YString(method)), typeIndex);
  };
  sample.entryRef = ref("bzpMethodEntry", "(IJ)J");
  sample.exitRef = ref("bzpMethodExit", "(IJ)V");
  sample.lineRef = ref("bzpMethodLine", "(IJ)V");
  sample.initRef = ref("bzpInit", "(Ljava/lang/Object;IISJ)I");
  return sample;
}

struct Instruction {
  int32_t position;
  int32_t opcode;
};

// The instructions of the code in order; a failure when one does not end inside the code.
inline std::vector<Instruction> instructionsOf(const CodeAttribute& code) {
  std::vector<Instruction> list;
  for (int32_t position = 0; position < code.getCodeLength();) {
    const int32_t length = instructionLengthAt(code.getCode(), code.getCodeLength(), position);
    if (length < 1) {
      ADD_FAILURE() << "no instruction at " << position;
      break;
    }
    list.push_back({position, code.getCode()[position]});
    position += length;
  }
  return list;
}

inline std::vector<int32_t> opcodesOf(const CodeAttribute& code) {
  std::vector<int32_t> opcodes;
  for (const Instruction& instruction : instructionsOf(code)) opcodes.push_back(instruction.opcode);
  return opcodes;
}

inline int32_t u2At(const CodeAttribute& code, int32_t position) {
  return code.getCode()[position] << 8 | code.getCode()[position + 1];
}

inline int32_t s4At(const CodeAttribute& code, int32_t position) {
  return int32_t(uint32_t(u2At(code, position)) << 16 | uint32_t(u2At(code, position + 2)));
}

// The targets of every branch and switch of the code, absolute.
inline std::vector<int32_t> branchTargetsOf(const CodeAttribute& code) {
  std::vector<int32_t> targets;
  for (const Instruction& i : instructionsOf(code)) {
    const int32_t p = i.position;
    if ((i.opcode >= OP_IFEQ && i.opcode <= OP_JSR) || i.opcode == OP_IFNULL || i.opcode == OP_IFNONNULL) {
      targets.push_back(p + int16_t(u2At(code, p + 1)));
    } else if (i.opcode == OP_GOTO_W || i.opcode == OP_JSR_W) {
      targets.push_back(p + s4At(code, p + 1));
    } else if (i.opcode == OP_TABLESWITCH || i.opcode == OP_LOOKUPSWITCH) {
      const int32_t table = (p + 4) / 4 * 4;
      targets.push_back(p + s4At(code, table));
      if (i.opcode == OP_TABLESWITCH) {
        const int32_t count = s4At(code, table + 8) - s4At(code, table + 4) + 1;
        for (int32_t k = 0; k < count; k++) targets.push_back(p + s4At(code, table + 12 + 4 * k));
      } else {
        for (int32_t k = 0; k < s4At(code, table + 4); k++) targets.push_back(p + s4At(code, table + 12 + 8 * k));
      }
    }
  }
  return targets;
}

// What every patched method must hold to: whole instructions to the end, every branch, handler, line,
// local range and frame on an instruction start, every uninitialised type naming a NEW, every wide local
// operand below max locals.
inline void expectWellFormed(const CodeAttribute& code) {
  std::set<int32_t> starts;
  for (const Instruction& i : instructionsOf(code)) {
    starts.insert(i.position);
    if (i.opcode == OP_WIDE) {
      EXPECT_LT(u2At(code, i.position + 2), code.getMaxLocals()) << "at " << i.position;
    }
  }
  const int32_t length = code.getCodeLength();
  const auto startOrEnd = [&](int32_t position) { return position == length || starts.count(position) == 1; };
  for (int32_t target : branchTargetsOf(code)) EXPECT_EQ(starts.count(target), 1u) << "branch to " << target;
  for (int32_t i = 0; i < code.getExceptionTable().size; i++) {
    const CodeAttribute::ExceptionTableElement& h = *code.getExceptionTable()[i];
    EXPECT_TRUE(starts.count(h.startPc) == 1 && startOrEnd(h.endPc) && starts.count(h.handlerPc) == 1)
        << "handler " << h.startPc << " " << h.endPc << " " << h.handlerPc;
  }
  if (const LineNumberTableAttribute* lines = code.getLineNumberTable()) {
    for (int32_t i = 0; i < lines->getEntries().size; i++) {
      EXPECT_EQ(starts.count(lines->getEntries()[i]->startPc), 1u) << "line at " << lines->getEntries()[i]->startPc;
    }
  }
  if (const LocalVariableTableAttribute* locals = code.getLocalVariableTable()) {
    for (int32_t i = 0; i < locals->getEntries().size; i++) {
      const LocalVariable& l = *locals->getEntries()[i];
      EXPECT_TRUE(starts.count(l.getStartPc()) == 1 && startOrEnd(l.getStartPc() + l.getLength()))
          << "local " << l.getStartPc() << "+" << l.getLength();
    }
  }
  for (int32_t i = 1; i < code.getFrames().size; i++) {
    const StackMapFrame& frame = *code.getFrames()[i];
    EXPECT_EQ(starts.count(frame.offset), 1u) << "frame at " << frame.offset;
    for (const YVector<VerificationType>* types : {&frame.locals, &frame.stack}) {
      for (int32_t k = 0; k < types->size; k++) {
        if ((*types)[k].tag != ITEM_Uninitialized) continue;
        const int32_t at = (*types)[k].index;
        EXPECT_TRUE(at >= 0 && at < length && code.getCode()[at] == OP_NEW) << "uninitialised at " << at;
      }
    }
  }
}

// Everything of the method that patching may change, as text: a refused attempt must leave it alike.
inline std::vector<std::string> stateOf(const CodeAttribute& code) {
  std::vector<std::string> state;
  std::string bytes;
  for (int32_t i = 0; i < code.getCodeLength(); i++) bytes += std::to_string(code.getCode()[i]) + " ";
  state.push_back("code " + bytes);
  state.push_back("max stack " + std::to_string(code.getMaxStack()) + " locals " + std::to_string(code.getMaxLocals()));
  state.push_back("length " + std::to_string(code.getLength()));
  for (int32_t i = 0; i < code.getExceptionTable().size; i++) {
    const CodeAttribute::ExceptionTableElement& h = *code.getExceptionTable()[i];
    state.push_back("handler " + std::to_string(h.startPc) + " " + std::to_string(h.endPc) + " " +
                    std::to_string(h.handlerPc));
  }
  if (const LineNumberTableAttribute* lines = code.getLineNumberTable()) {
    for (int32_t i = 0; i < lines->getEntries().size; i++) {
      state.push_back("line " + std::to_string(lines->getEntries()[i]->startPc) + " " +
                      std::to_string(lines->getEntries()[i]->lineNumber));
    }
  }
  if (const LocalVariableTableAttribute* locals = code.getLocalVariableTable()) {
    for (int32_t i = 0; i < locals->getEntries().size; i++) {
      const LocalVariable& l = *locals->getEntries()[i];
      state.push_back("local " + std::to_string(l.getStartPc()) + " " + std::to_string(l.getLength()));
    }
  }
  for (const std::string& frame : codetest::describe(code.getFrames())) state.push_back("frame " + frame);
  return state;
}

}  // namespace patchtest
