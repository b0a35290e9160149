#pragma once

#include <cstdint>
#include <memory>

#include "agent/classfile/AttributeInfo.h"
#include "agent/classfile/DataInput.h"
#include "agent/classfile/DataOutput.h"
#include "agent/classfile/StackMapFrame.h"
#include "agent/classfile/VerificationType.h"
#include "agent/support/YString.h"
#include "agent/support/YVector.h"

class ClassFile;
class LineNumberTableAttribute;
class LocalVariableTableAttribute;
class LocalVariableTypeTableAttribute;
class MethodInfo;

// The "Code" attribute of one method: bytecode, limits, exception table, nested attributes and, for
// classes of version 50 and later, the method's expanded stack-map frames. Its editors insert code, add
// locals and handlers, and keep the exception table, the line numbers and the frames in step with the
// code. Every offset read from a file is checked against the code length before anything uses it; a
// malformed attribute is a fatal error and the caller leaves the class as it was.
class CodeAttribute : public AttributeInfo {
 public:
  static constexpr AttributeKind KIND = AttributeKind::code;
  AttributeKind kind() const override { return KIND; }

  // One handler of the exception table, which the JVM searches in order. Catch type 0 catches
  // everything.
  struct ExceptionTableElement : ArenaAllocated {
    int32_t startPc;
    int32_t endPc;
    int32_t handlerPc;
    int32_t catchType;

    // start >= 0, end > start, handler >= 0.
    ExceptionTableElement(int32_t startPc, int32_t endPc, int32_t handlerPc);
    // Four u2; the range and the handler must lie inside the code.
    ExceptionTableElement(DataInput& in, int32_t codeLength);
    void write(DataOutput& out) const;
  };

  // Reads the body that follows the name index and length; nested attributes are read with the class
  // file's pool, and they, the code and the tables live in its arena. Frames are not tracked until
  // initStackMapFrames.
  CodeAttribute(DataInput& in, ClassFile* classFile, int32_t nameIndex, int32_t length);
  // A body of a single RETURN, for a method that gains code.
  CodeAttribute(ClassFile* classFile, int32_t nameIndex);
  ~CodeAttribute() override;

  // Refuses ("assertion failed") code longer than 65535 bytes, and tables longer than their u2 counts.
  void writeBody(DataOutput& out) const override;

  int32_t getCodeLength() const { return codeLength; }
  const uint8_t* getCode() const { return code; }
  // Replaces the code with a copy of `length` bytes; the attribute length follows.
  void setCode(const uint8_t* bytes, int32_t length);
  // Room for `length` bytes in the class file's arena, where an editor writes its new code to hand it
  // over with setCodeInPlace, without a copy.
  uint8_t* newCodeBuffer(int32_t length);
  // Replaces the code with the `length` bytes at `bytes`, which lie in a buffer of newCodeBuffer.
  void setCodeInPlace(const uint8_t* bytes, int32_t length);

  int32_t getMaxStack() const { return maxStack; }
  int32_t getMaxLocals() const { return maxLocals; }
  // Max stack never grows past 32767 and never shrinks here.
  void increaseMaxStack(int32_t n);
  void ensureMaxStack(int32_t n);
  // More locals than 32767 are refused ("assertion failed"): they could only be slots already in use.
  void increaseMaxLocals(int32_t n);

  const YVector<ExceptionTableElement*>& getExceptionTable() const { return exceptionTable; }
  const YVector<AttributeInfo*>& getAttributes() const { return attributes; }
  LineNumberTableAttribute* getLineNumberTable() const;
  LocalVariableTableAttribute* getLocalVariableTable() const;
  LocalVariableTypeTableAttribute* getLocalVariableTypeTable() const;
  // The first nested attribute of that name, or null.
  AttributeInfo* getAttribute(const YString& name) const;
  // Removes and destroys every nested attribute of that name.
  void removeAttribute(const YString& name);

  // `count` bytes were inserted at `offset`: handlers, line numbers and frames at or after it move. A
  // handler or frame starting exactly at `offset` moves, a line entry there keeps the inserted code.
  void shiftOffsets(int32_t count, int32_t offset);
  // The code was rewritten (setCode) with map[old position] = new position for every position below
  // `oldLength`; a handler range ending at `oldLength` ends at the new code's end.
  void relocateOffsets(const int32_t* map, int32_t oldLength);

  // A new local after all others, of two slots for Long and Double; its slot. With `typed` its type joins
  // the frames at the next addLocalsToFrames, else the slots stay Top there.
  int32_t addLocal(const VerificationType& type, bool typed);
  // Adds the types of the locals added since the last call to every frame at or after `offset`.
  void addLocalsToFrames(int32_t offset, int32_t initOffset);
  // Gives the slots of the locals added since the last addLocalsToFrames back.
  void releaseAddedLocals();

  // The handler of the first entry whose range holds `offset`, else -1.
  int32_t findHandlerPc(int32_t offset) const;
  // Null for an offset <= 0; else a new vector owned by the caller, holding the locals of the frame at
  // exactly `offset` (empty when there is none or frames are not tracked).
  std::unique_ptr<YVector<VerificationType>> getFrameLocals(int32_t offset) const;

  // Appends a catch-all handler of [start, end) at `handler`, whose frame holds `stackType` and only the
  // preserved locals. A handler nested inside an existing range is moved before it, so that it is found
  // first; one starting at 0 stays last.
  void addExceptionHandler(int32_t start, int32_t end, int32_t handler, const VerificationType& stackType);
  // `count` bytes were inserted at `offset` inside handled ranges: every entry starting at or before
  // `offset` extends its end, and its handler moves with its frame.
  void extendHandlers(int32_t offset, int32_t count);
  // The smallest end of a handler range that holds `offset` strictly inside, else the code length.
  int32_t getCoveringHandlerEnd(int32_t offset) const;

  // Adds a frame at base + each of `offsets` (ascending) unless one stands there, derived from the frame
  // before it with `stackType` on the stack; its locals are `localsOverride` when given, else masked by
  // the preserved locals when `mask` is set, else the previous frame's.
  void insertFramesForCode(const YVector<int32_t>& offsets, int32_t base, const VerificationType& stackType,
                           int32_t initOffset, bool mask, const YVector<VerificationType>* localsOverride);
  // A copy of the uninitialised reference of the NEW at `newOffset` was pushed right after it: every frame
  // holding that reference on its stack holds it twice.
  void patchFrames(int32_t newOffset);
  // Fills the Top locals of every frame from the preserved locals of the initial frame and from the frame
  // of the covering handler; whether any frame changed.
  bool fillFrameLocals(int32_t initOffset);

  // Starts tracking frames for a class of version 50 or later: the initial frame, then the frames of a
  // nested "StackMapTable", which is dropped.
  void initStackMapFrames(ClassFile* classFile, const MethodInfo* method);
  // Appends a "StackMapTable" encoded from the frames, when they are tracked and there is more than the
  // initial frame. The method writer removes it again once the method is written.
  void buildStackMapTable();
  // Clears the tables of the body before a replacement body is installed: the debug and stack-map
  // attributes, the exception table and the frames, which restart from the initial frame.
  void reset(ClassFile* classFile, const MethodInfo* method, int32_t newMaxLocals, int32_t newMaxStack);

  bool tracksFrames() const { return framesTracked; }
  const YVector<StackMapFrame*>& getFrames() const { return frames; }
  // Frame-local entry indexes whose types hold at every point of the method; callers append to it.
  YVector<int32_t>& getPreservedLocals() { return preservedLocals; }

 private:
  // The first nested attribute of T's kind with that name, or null.
  template <class T>
  T* firstOfKind(const YString& name) const;
  void release();
  Arena* arena() const;
  void growLength(int32_t delta);
  void requireFrame() const;
  YVector<VerificationType> maskedLocals(const YVector<VerificationType>& locals) const;

  int32_t maxStack;
  int32_t maxLocals;
  int32_t codeLength;
  ClassFile* const classFile;
  // In the class file's arena, like everything the attribute makes.
  const uint8_t* code;
  YVector<AttributeInfo*> attributes;
  YVector<ExceptionTableElement*> exceptionTable;
  YVector<int32_t> preservedLocals;
  YVector<StackMapFrame*> frames;
  YVector<VerificationType> addedLocalTypes;
  int32_t stackMapTableNameIndex;
  bool framesTracked;
};
