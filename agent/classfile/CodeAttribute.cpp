#include "agent/classfile/CodeAttribute.h"

#include <algorithm>
#include <cstring>

#include "agent/classfile/AttributeInfoReader.h"
#include "agent/classfile/AttributeNames.h"
#include "agent/classfile/CheckedWrites.h"
#include "agent/classfile/ClassFile.h"
#include "agent/classfile/LineNumberTableAttribute.h"
#include "agent/classfile/LocalVariableTableAttribute.h"
#include "agent/classfile/MethodInfo.h"
#include "agent/classfile/Opcodes.h"
#include "agent/classfile/StackMapTableAttribute.h"
#include "agent/support/FatalError.h"

namespace {

constexpr int32_t MAX_SLOTS = 32767;
constexpr int32_t MAX_CODE_LENGTH = 0xFFFF;
// max stack, max locals, code length, exception table length, attributes count.
constexpr int32_t FIXED_BODY_SIZE = 12;
constexpr int32_t ENTRY_SIZE = 8;
// An attribute's u2 name index and u4 length.
constexpr int32_t ATTRIBUTE_HEADER_SIZE = 6;
constexpr int32_t FIRST_FRAMES_VERSION = 50;

[[noreturn]] void fail(int32_t line) { assertionFailed("assertion failed", "CodeAttribute", line); }

void requireNotNull(const void* value, int32_t line) {
  if (value == nullptr) assertionFailed("assertion failed: value is NULL", "CodeAttribute", line);
}

// A position of the code before it was rewritten, as an index into its position map.
int32_t mapped(const int32_t* map, int32_t oldLength, int32_t position) {
  if (position < 0 || position >= oldLength) fail(__LINE__);
  return map[position];
}

// Applies `move` to the NEW offset of every Uninitialized type among `types`.
template <class Move>
void moveNewOffsets(YVector<VerificationType>& types, Move move) {
  for (int32_t i = 0; i < types.size; i++) {
    if (types[i].tag == ITEM_Uninitialized) types[i].index = move(types[i].index);
  }
}

// Applies `move` to the offset of every frame after the initial one and to the NEW offsets they hold.
// A frame before an insertion can still hold the object of a NEW after it (reached by a backward
// branch); that NEW moves all the same.
template <class Move>
void moveFrames(YVector<StackMapFrame*>& frames, Move move) {
  for (int32_t i = 1; i < frames.size; i++) {
    StackMapFrame& frame = *frames[i];
    frame.offset = move(frame.offset);
    moveNewOffsets(frame.locals, move);
    moveNewOffsets(frame.stack, move);
  }
}

// Locals with one entry per slot: every Long or Double entry is followed by a Top.
YVector<VerificationType> slotForm(const YVector<VerificationType>& locals) {
  YVector<VerificationType> slots;
  for (int32_t i = 0; i < locals.size; i++) {
    slots.add(locals[i]);
    if (locals[i].isWide()) slots.add(VerificationType());
  }
  return slots;
}

bool holdsType(const YVector<VerificationType>& slots, int32_t k) { return k < slots.size && !slots[k].isTop(); }

}  // namespace

CodeAttribute::ExceptionTableElement::ExceptionTableElement(int32_t startPc, int32_t endPc, int32_t handlerPc)
    : startPc(startPc), endPc(endPc), handlerPc(handlerPc), catchType(0) {
  if (startPc < 0 || endPc <= startPc || handlerPc < 0) fail(__LINE__);
}

CodeAttribute::ExceptionTableElement::ExceptionTableElement(DataInput& in, int32_t codeLength)
    : startPc(in.readUnsignedShort()), endPc(in.readUnsignedShort()), handlerPc(in.readUnsignedShort()),
      catchType(in.readUnsignedShort()) {
  if (endPc <= startPc || endPc > codeLength || handlerPc >= codeLength) fail(__LINE__);
}

void CodeAttribute::ExceptionTableElement::write(DataOutput& out) const {
  writeU2(out, startPc, "CodeAttribute", __LINE__);
  writeU2(out, endPc, "CodeAttribute", __LINE__);
  writeU2(out, handlerPc, "CodeAttribute", __LINE__);
  out.writeShort(catchType);
}

CodeAttribute::CodeAttribute(DataInput& in, ClassFile* classFile, int32_t nameIndex, int32_t length)
    : AttributeInfo(nameIndex, length), maxStack(0), maxLocals(0), codeLength(0), classFile(classFile),
      code(nullptr), stackMapTableNameIndex(-1), framesTracked(false) {
  requireNotNull(classFile, __LINE__);
  try {
    maxStack = in.readUnsignedShort();
    maxLocals = in.readUnsignedShort();
    codeLength = in.readInt();
    if (codeLength < 1 || codeLength > MAX_CODE_LENGTH) fail(__LINE__);
    code = classFile->getArena().copy(in.readBytes(codeLength), size_t(codeLength));
    const int32_t entries = in.readUnsignedShort();
    exceptionTable.reserve(entries);
    for (int32_t i = 0; i < entries; i++) exceptionTable.add(new (arena()) ExceptionTableElement(in, codeLength));
    const int32_t count = in.readUnsignedShort();
    for (int32_t i = 0; i < count; i++) {
      attributes.add(AttributeInfoReader::read(in, classFile->getConstantPool(), classFile));
    }
    for (int32_t i = 0; i < attributes.size; i++) attributes[i]->validate(codeLength);
  } catch (...) {
    release();
    throw;
  }
}

CodeAttribute::CodeAttribute(ClassFile* classFile, int32_t nameIndex)
    : AttributeInfo(nameIndex, FIXED_BODY_SIZE + 1), maxStack(0), maxLocals(0), codeLength(1),
      classFile(classFile), code(nullptr), stackMapTableNameIndex(-1), framesTracked(false) {
  requireNotNull(classFile, __LINE__);
  const uint8_t body = OP_RETURN;
  code = classFile->getArena().copy(&body, 1);
}

Arena* CodeAttribute::arena() const { return &classFile->getArena(); }

CodeAttribute::~CodeAttribute() { release(); }

void CodeAttribute::release() {
  attributes.deleteElements();
  exceptionTable.deleteElements();
  frames.deleteElements();
}

void CodeAttribute::writeBody(DataOutput& out) const {
  int64_t size = FIXED_BODY_SIZE + int64_t(codeLength) + int64_t(ENTRY_SIZE) * exceptionTable.size;
  for (int32_t i = 0; i < attributes.size; i++) size += ATTRIBUTE_HEADER_SIZE + attributes[i]->getLength();
  // The length was written before the body: a body of another size would corrupt the class.
  if (size != getLength()) fail(__LINE__);
  // Longer code is refused by the JVM, and its offsets would not fit the u2 fields of the tables.
  if (codeLength > MAX_CODE_LENGTH) fail(__LINE__);
  out.writeShort(maxStack);
  out.writeShort(maxLocals);
  out.writeInt(codeLength);
  out.write(code, codeLength);
  writeU2(out, exceptionTable.size, "CodeAttribute", __LINE__);
  for (int32_t i = 0; i < exceptionTable.size; i++) exceptionTable[i]->write(out);
  writeU2(out, attributes.size, "CodeAttribute", __LINE__);
  for (int32_t i = 0; i < attributes.size; i++) attributes[i]->write(out);
}

void CodeAttribute::growLength(int32_t delta) {
  // The length is a u4 of the file held in 32 signed bits: a body beyond them cannot be written.
  const int64_t length = int64_t(getLength()) + delta;
  if (length > INT32_MAX) fail(__LINE__);
  setLength(int32_t(length));
}

void CodeAttribute::setCode(const uint8_t* bytes, int32_t length) {
  requireNotNull(bytes, __LINE__);
  if (length < 0) fail(__LINE__);
  setCodeInPlace(classFile->getArena().copy(bytes, size_t(length)), length);
}

uint8_t* CodeAttribute::newCodeBuffer(int32_t length) {
  if (length < 0) fail(__LINE__);
  return static_cast<uint8_t*>(classFile->getArena().allocate(length == 0 ? 1 : size_t(length)));
}

void CodeAttribute::setCodeInPlace(const uint8_t* bytes, int32_t length) {
  requireNotNull(bytes, __LINE__);
  if (length < 0) fail(__LINE__);
  growLength(length - codeLength);
  code = bytes;
  codeLength = length;
}

void CodeAttribute::increaseMaxStack(int32_t n) {
  const int64_t increased = std::min<int64_t>(int64_t(maxStack) + n, MAX_SLOTS);
  maxStack = int32_t(std::max<int64_t>(maxStack, increased));
}

void CodeAttribute::ensureMaxStack(int32_t n) {
  if (maxStack < n) maxStack = std::min(n, MAX_SLOTS);
}

void CodeAttribute::increaseMaxLocals(int32_t n) {
  if (n < 0 || n > MAX_SLOTS - maxLocals) fail(__LINE__);
  maxLocals += n;
}

AttributeInfo* CodeAttribute::getAttribute(const YString& name) const {
  for (int32_t i = 0; i < attributes.size; i++) {
    if (attributes[i]->hasName(classFile->getConstantPool(), name)) return attributes[i];
  }
  return nullptr;
}

// A table's kind comes from its name when it is read, so only attributes of its kind need their names
// compared.
template <class T>
T* CodeAttribute::firstOfKind(const YString& name) const {
  for (int32_t i = 0; i < attributes.size; i++) {
    AttributeInfo* attribute = attributes[i];
    if (attribute->kind() == T::KIND && attribute->hasName(classFile->getConstantPool(), name)) {
      return static_cast<T*>(attribute);
    }
  }
  return nullptr;
}

LineNumberTableAttribute* CodeAttribute::getLineNumberTable() const {
  return firstOfKind<LineNumberTableAttribute>(attributeNames().lineNumberTable);
}

LocalVariableTableAttribute* CodeAttribute::getLocalVariableTable() const {
  return firstOfKind<LocalVariableTableAttribute>(attributeNames().localVariableTable);
}

LocalVariableTypeTableAttribute* CodeAttribute::getLocalVariableTypeTable() const {
  return firstOfKind<LocalVariableTypeTableAttribute>(attributeNames().localVariableTypeTable);
}

void CodeAttribute::removeAttribute(const YString& name) {
  for (int32_t i = 0; i < attributes.size;) {
    AttributeInfo* attribute = attributes[i];
    if (!attribute->hasName(classFile->getConstantPool(), name)) {
      i++;
      continue;
    }
    attributes.remove(i);
    growLength(-(ATTRIBUTE_HEADER_SIZE + attribute->getLength()));
    delete attribute;
  }
}

void CodeAttribute::shiftOffsets(int32_t count, int32_t offset) {
  if (count < 0) fail(__LINE__);
  const auto move = [count, offset](int32_t position) { return position >= offset ? position + count : position; };
  for (int32_t i = 0; i < exceptionTable.size; i++) {
    ExceptionTableElement& entry = *exceptionTable[i];
    entry.startPc = move(entry.startPc);
    entry.endPc = move(entry.endPc);
    entry.handlerPc = move(entry.handlerPc);
  }
  for (int32_t i = 0; i < attributes.size; i++) {
    if (auto* lines = attributeAs<LineNumberTableAttribute>(attributes[i])) lines->shift(count, offset);
  }
  if (framesTracked) moveFrames(frames, move);
}

void CodeAttribute::relocateOffsets(const int32_t* map, int32_t oldLength) {
  requireNotNull(map, __LINE__);
  const auto move = [map, oldLength](int32_t position) { return mapped(map, oldLength, position); };
  for (int32_t i = 0; i < exceptionTable.size; i++) {
    ExceptionTableElement& entry = *exceptionTable[i];
    entry.startPc = move(entry.startPc);
    entry.endPc = entry.endPc == oldLength ? codeLength : move(entry.endPc);
    entry.handlerPc = move(entry.handlerPc);
  }
  for (int32_t i = 0; i < attributes.size; i++) {
    if (auto* lines = attributeAs<LineNumberTableAttribute>(attributes[i])) lines->relocate(map);
  }
  if (framesTracked) moveFrames(frames, move);
}

int32_t CodeAttribute::addLocal(const VerificationType& type, bool typed) {
  const int32_t slots = type.isWide() ? 2 : 1;
  // Beyond the limit the new local could only be given a slot that is already in use.
  if (maxLocals > MAX_SLOTS - slots) fail(__LINE__);
  const int32_t slot = maxLocals;
  maxLocals += slots;
  if (framesTracked) {
    if (typed) {
      addedLocalTypes.add(type);
    } else {
      for (int32_t i = 0; i < slots; i++) addedLocalTypes.add(VerificationType());
    }
  }
  return slot;
}

void CodeAttribute::addLocalsToFrames(int32_t offset, int32_t initOffset) {
  if (addedLocalTypes.size > 0) {
    for (int32_t i = 1; i < frames.size; i++) {
      if (frames[i]->offset >= offset) frames[i]->appendAddedLocals(addedLocalTypes, maxLocals, initOffset);
    }
  }
  addedLocalTypes.removeRange(0, addedLocalTypes.size);
}

void CodeAttribute::releaseAddedLocals() {
  for (int32_t i = 0; i < addedLocalTypes.size; i++) {
    maxLocals = std::max(0, maxLocals - (addedLocalTypes[i].isWide() ? 2 : 1));
  }
  addedLocalTypes.removeRange(0, addedLocalTypes.size);
}

int32_t CodeAttribute::findHandlerPc(int32_t offset) const {
  for (int32_t i = 0; i < exceptionTable.size; i++) {
    const ExceptionTableElement& entry = *exceptionTable[i];
    if (entry.startPc <= offset && offset < entry.endPc) return entry.handlerPc;
  }
  return -1;
}

void CodeAttribute::requireFrame() const {
  if (frames.size < 1) fail(__LINE__);
}

std::unique_ptr<YVector<VerificationType>> CodeAttribute::getFrameLocals(int32_t offset) const {
  if (offset <= 0) return nullptr;
  auto locals = std::make_unique<YVector<VerificationType>>();
  if (!framesTracked) return locals;
  requireFrame();
  for (int32_t i = 0; i < frames.size; i++) {
    if (frames[i]->offset < offset) continue;
    if (frames[i]->offset == offset) *locals = frames[i]->locals;
    break;
  }
  return locals;
}

YVector<VerificationType> CodeAttribute::maskedLocals(const YVector<VerificationType>& locals) const {
  YVector<VerificationType> masked;
  for (int32_t j = 0; j < locals.size; j++) {
    bool preserved = false;
    for (int32_t k = 0; k < preservedLocals.size && !preserved; k++) preserved = preservedLocals[k] == j;
    if (preserved) {
      masked.add(locals[j]);
    } else {
      masked.add(VerificationType());
      if (locals[j].isWide()) masked.add(VerificationType());
    }
  }
  return masked;
}

void CodeAttribute::addExceptionHandler(int32_t start, int32_t end, int32_t handler, const VerificationType& stackType) {
  auto* added = new (arena()) ExceptionTableElement(start, end, handler);
  exceptionTable.add(added);
  growLength(ENTRY_SIZE);

  if (framesTracked) {
    requireFrame();
    auto* frame = new (arena()) StackMapFrame(*frames[0], handler, stackType, 0);
    frame->locals = maskedLocals(frame->locals);
    // Before any frame already at the handler: two frames at one offset cannot be encoded, so such a
    // method fails when it is written instead of going out with a frame that lacks the caught object.
    int32_t position = 0;
    while (position < frames.size && frames[position]->offset < handler) position++;
    frames.add(nullptr);
    for (int32_t i = frames.size - 1; i > position; i--) frames[i] = frames[i - 1];
    frames[position] = frame;
  }

  // A range nested in an existing one goes before it, so that the JVM's in-order search finds it first.
  if (start == 0 || exceptionTable.size == 1) return;
  const int32_t last = exceptionTable.size - 1;
  for (int32_t j = 0; j < last; j++) {
    if (exceptionTable[j]->startPc <= start && exceptionTable[j]->endPc >= end) {
      for (int32_t i = last; i > j; i--) exceptionTable[i] = exceptionTable[i - 1];
      exceptionTable[j] = added;
      return;
    }
  }
}

void CodeAttribute::extendHandlers(int32_t offset, int32_t count) {
  if (count < 0) fail(__LINE__);
  // Each handler frame is found by its entry's handler before anything moves and moved once, however
  // many entries share it.
  YVector<StackMapFrame*> handlerFrames;
  for (int32_t i = 0; i < exceptionTable.size; i++) {
    const ExceptionTableElement& entry = *exceptionTable[i];
    if (entry.startPc > offset || !framesTracked) continue;
    if (frames.size < 2) fail(__LINE__);
    StackMapFrame* found = nullptr;
    for (int32_t f = 1; f < frames.size && found == nullptr; f++) {
      if (frames[f]->offset == entry.handlerPc) found = frames[f];
    }
    if (found == nullptr) fail(__LINE__);
    bool known = false;
    for (int32_t f = 0; f < handlerFrames.size && !known; f++) known = handlerFrames[f] == found;
    if (!known) handlerFrames.add(found);
  }
  for (int32_t i = 0; i < handlerFrames.size; i++) handlerFrames[i]->offset += count;
  for (int32_t i = 0; i < exceptionTable.size; i++) {
    ExceptionTableElement& entry = *exceptionTable[i];
    if (entry.startPc > offset) continue;
    entry.endPc += count;
    entry.handlerPc += count;
  }
}

int32_t CodeAttribute::getCoveringHandlerEnd(int32_t offset) const {
  int32_t end = codeLength;
  for (int32_t i = 0; i < exceptionTable.size; i++) {
    const ExceptionTableElement& entry = *exceptionTable[i];
    if (entry.startPc < offset && entry.endPc < end && entry.endPc > offset) end = entry.endPc;
  }
  return end;
}

void CodeAttribute::insertFramesForCode(const YVector<int32_t>& offsets, int32_t base, const VerificationType& stackType,
                                        int32_t initOffset, bool mask,
                                        const YVector<VerificationType>* localsOverride) {
  if (!framesTracked || offsets.size == 0) return;
  requireFrame();
  // Frames are kept in offset order.
  for (int32_t i = 1; i < offsets.size; i++) {
    if (offsets[i] < offsets[i - 1]) fail(__LINE__);
  }
  YVector<StackMapFrame*> merged;
  merged.add(frames[0]);
  int32_t next = 1;
  for (int32_t i = 0; i < offsets.size; i++) {
    const int32_t target = base + offsets[i];
    while (next < frames.size && frames[next]->offset <= target) merged.add(frames[next++]);
    const StackMapFrame& previous = *merged.peek();
    if (previous.offset == target) continue;
    auto* frame = new (arena()) StackMapFrame(previous, target, stackType, initOffset);
    if (localsOverride != nullptr) {
      frame->locals = *localsOverride;
    } else if (mask) {
      frame->locals = maskedLocals(frame->locals);
    }
    merged.add(frame);
  }
  while (next < frames.size) merged.add(frames[next++]);
  frames = merged;
}

void CodeAttribute::patchFrames(int32_t newOffset) {
  if (!framesTracked) return;
  requireFrame();
  for (int32_t i = 0; i < frames.size; i++) {
    YVector<VerificationType>& stack = frames[i]->stack;
    for (int32_t k = 0; k < stack.size; k++) {
      if (stack[k].tag != ITEM_Uninitialized || stack[k].index != newOffset) continue;
      stack.add(stack.peek());
      for (int32_t j = stack.size - 2; j > k; j--) stack[j] = stack[j - 1];
      break;
    }
  }
}

bool CodeAttribute::fillFrameLocals(int32_t initOffset) {
  if (preservedLocals.size == 0 || !framesTracked) return false;
  requireFrame();
  if (frames.size == 1) return false;
  const YVector<VerificationType> base = slotForm(maskedLocals(frames[0]->locals));
  bool anyChanged = false;
  for (int32_t i = 1; i < frames.size; i++) {
    StackMapFrame& frame = *frames[i];
    const YVector<VerificationType> own = slotForm(frame.locals);
    YVector<VerificationType> handler;
    const int32_t handlerPc = findHandlerPc(frame.offset);
    if (const auto handlerLocals = getFrameLocals(handlerPc)) handler = slotForm(*handlerLocals);

    YVector<VerificationType> filled;
    bool changed = false;
    int32_t k = 0;
    while (k < std::max(base.size, handler.size)) {
      VerificationType type;
      if (holdsType(own, k)) {
        type = own[k];
      } else if (holdsType(base, k)) {
        type = base[k];
        changed = true;
      } else if (holdsType(handler, k)) {
        type = handler[k];
        changed = true;
      }
      filled.add(type);
      k += type.isWide() ? 2 : 1;
    }
    if (!changed) continue;
    while (k < own.size) {
      filled.add(own[k]);
      k += own[k].isWide() ? 2 : 1;
    }
    frame.locals = filled;
    frame.trimLocals();
    if (initOffset >= 0 && frame.offset > initOffset && frame.locals.size > 0 &&
        frame.locals[0].tag == ITEM_UninitializedThis) {
      frame.locals[0] = VerificationType(ITEM_Object, frame.locals[0].index);
    }
    anyChanged = true;
  }
  return anyChanged;
}

void CodeAttribute::initStackMapFrames(ClassFile* file, const MethodInfo* method) {
  requireNotNull(file, __LINE__);
  requireNotNull(method, __LINE__);
  framesTracked = file->getMajorVersion() >= FIRST_FRAMES_VERSION;
  if (!framesTracked) return;
  if (frames.size != 0) fail(__LINE__);
  frames.add(new (arena()) StackMapFrame(*file, *method));
  const YString& name = attributeNames().stackMapTable;
  stackMapTableNameIndex = file->getOrAddUtf8(name);
  AttributeInfo* table = getAttribute(name);
  if (table == nullptr) return;
  auto* stackMapTable = attributeAs<StackMapTableAttribute>(table);
  if (stackMapTable == nullptr) fail(__LINE__);
  stackMapTable->expandFrames(frames, file->getThisClassIndex(), codeLength, arena());
  removeAttribute(name);
}

void CodeAttribute::buildStackMapTable() {
  if (!framesTracked || frames.size < 2) return;
  if (stackMapTableNameIndex < 0) fail(__LINE__);
  YVector<uint8_t> body(16 + 8 * frames.size);  // room for most tables, so that it is made once
  DataOutput out(body);
  writeU2(out, frames.size - 1, "CodeAttribute", __LINE__);
  for (int32_t i = 1; i < frames.size; i++) frames[i]->write(frames[i - 1], out);
  auto* table = new (arena()) StackMapTableAttribute(stackMapTableNameIndex, body.data, body.size, arena());
  attributes.add(table);
  growLength(ATTRIBUTE_HEADER_SIZE + table->getLength());
}

void CodeAttribute::reset(ClassFile* file, const MethodInfo* method, int32_t newMaxLocals, int32_t newMaxStack) {
  const AttributeNames& names = attributeNames();
  removeAttribute(names.lineNumberTable);
  removeAttribute(names.stackMapTable);
  removeAttribute(names.localVariableTable);
  removeAttribute(names.localVariableTypeTable);
  maxStack = newMaxStack;
  maxLocals = newMaxLocals;
  frames.deleteElements();
  // Without tracked frames nothing reads them, and the initial frame could only add Class entries.
  if (framesTracked) {
    requireNotNull(file, __LINE__);
    requireNotNull(method, __LINE__);
    frames.add(new (arena()) StackMapFrame(*file, *method));
  }
  growLength(-ENTRY_SIZE * exceptionTable.size);
  exceptionTable.deleteElements();
}
