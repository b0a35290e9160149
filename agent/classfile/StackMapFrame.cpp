#include "agent/classfile/StackMapFrame.h"

#include <algorithm>

#include "agent/classfile/CheckedWrites.h"
#include "agent/classfile/ClassFile.h"
#include "agent/classfile/ConstantValues.h"
#include "agent/classfile/MethodInfo.h"
#include "agent/support/FatalError.h"

namespace {

// Entry types of the "StackMapTable" encoding.
constexpr int32_t SAME_LOCALS_1_STACK_ITEM = 64;
constexpr int32_t FIRST_RESERVED = 128;
constexpr int32_t SAME_LOCALS_1_STACK_ITEM_EXTENDED = 247;
constexpr int32_t SAME_FRAME_EXTENDED = 251;
constexpr int32_t FULL_FRAME = 255;
// What compareLocals answers for locals that differ inside their common part.
constexpr int32_t LOCALS_DIFFER = 104;

int32_t slotsOf(const YVector<VerificationType>& types) {
  int32_t slots = 0;
  for (int32_t i = 0; i < types.size; i++) slots += types[i].isWide() ? 2 : 1;
  return slots;
}

void writeTypes(const YVector<VerificationType>& types, int32_t from, DataOutput& out) {
  for (int32_t i = from; i < types.size; i++) types[i].write(out);
}

}  // namespace

StackMapFrame::StackMapFrame(ClassFile& classFile, const MethodInfo& method) : offset(-1) {
  if (!method.isStatic()) {
    const int32_t thisClassIndex = classFile.getThisClassIndex();
    const bool uninitialized =
        method.getNameEntry().equals("<init>", 6) && !classFile.getThisClassName().equals(YString("java/lang/Object"));
    locals.add(VerificationType(uninitialized ? ITEM_UninitializedThis : ITEM_Object, thisClassIndex));
  }
  const ConstantUtf8Info& descriptor = method.getDescriptorEntry();
  forEachArgumentType(descriptor.textData(), descriptor.textSize(), [&](const char* type, int32_t length) {
    locals.add(VerificationType::fromDescriptor(type, length, classFile));
  });
}

StackMapFrame::StackMapFrame(const StackMapFrame& source, int32_t offset, const VerificationType& stackItem,
                             int32_t initOffset)
    : offset(offset), locals(source.locals) {
  if (initOffset != -1 && offset > initOffset) {
    for (int32_t i = 0; i < locals.size; i++) {
      if (locals[i].tag == ITEM_UninitializedThis) locals[i] = VerificationType(ITEM_Object, locals[i].index);
    }
  }
  if (!stackItem.isTop()) stack.add(stackItem);
}

StackMapFrame::StackMapFrame(const StackMapFrame& previous, DataInput& in, int32_t thisClassIndex)
    : offset(-1), locals(previous.locals) {
  const int32_t type = in.readUnsignedByte();
  int32_t delta;
  if (type < SAME_LOCALS_1_STACK_ITEM) {
    delta = type;
  } else if (type < FIRST_RESERVED) {
    delta = type - SAME_LOCALS_1_STACK_ITEM;
    stack.add(VerificationType(in, thisClassIndex));
  } else if (type < SAME_LOCALS_1_STACK_ITEM_EXTENDED) {
    assertionFailed("assertion failed", "StackMapFrame", __LINE__);
  } else if (type == SAME_LOCALS_1_STACK_ITEM_EXTENDED) {
    delta = in.readUnsignedShort();
    stack.add(VerificationType(in, thisClassIndex));
  } else if (type < SAME_FRAME_EXTENDED) {
    delta = in.readUnsignedShort();
    locals.removeRange(locals.size - (SAME_FRAME_EXTENDED - type), locals.size);
  } else if (type == SAME_FRAME_EXTENDED) {
    delta = in.readUnsignedShort();
  } else if (type < FULL_FRAME) {
    delta = in.readUnsignedShort();
    for (int32_t i = SAME_FRAME_EXTENDED; i < type; i++) locals.add(VerificationType(in, thisClassIndex));
  } else {
    delta = in.readUnsignedShort();
    locals.removeRange(0, locals.size);
    const int32_t localCount = in.readUnsignedShort();
    for (int32_t i = 0; i < localCount; i++) locals.add(VerificationType(in, thisClassIndex));
    const int32_t stackCount = in.readUnsignedShort();
    for (int32_t i = 0; i < stackCount; i++) stack.add(VerificationType(in, thisClassIndex));
  }
  offset = previous.offset + 1 + delta;
}

void StackMapFrame::write(const StackMapFrame* previous, DataOutput& out) const {
  if (previous == nullptr) assertionFailed("assertion failed", "StackMapFrame", __LINE__);
  const int32_t delta = offset - previous->offset - 1;
  // Frames must follow each other; a delta beyond a u2 would be written wrapped.
  if (delta < 0 || delta > 0xFFFF) assertionFailed("assertion failed", "StackMapFrame", __LINE__);
  const int32_t comparison = compareLocals(*previous);
  int32_t type;
  if (stack.size == 1 && comparison == 0) {
    type = SAME_LOCALS_1_STACK_ITEM + delta < FIRST_RESERVED ? SAME_LOCALS_1_STACK_ITEM + delta
                                                              : SAME_LOCALS_1_STACK_ITEM_EXTENDED;
  } else if (stack.size > 0) {
    type = FULL_FRAME;
  } else if (comparison == 0) {
    type = delta < SAME_LOCALS_1_STACK_ITEM ? delta : SAME_FRAME_EXTENDED;
  } else if (comparison >= -3 && comparison <= 3) {
    type = SAME_FRAME_EXTENDED + comparison;
  } else {
    type = FULL_FRAME;
  }
  out.writeByte(type);
  if (type < SAME_LOCALS_1_STACK_ITEM) return;
  if (type < FIRST_RESERVED) {
    stack[0].write(out);
    return;
  }
  out.writeShort(delta);
  if (type == SAME_LOCALS_1_STACK_ITEM_EXTENDED) {
    stack[0].write(out);
  } else if (type > SAME_FRAME_EXTENDED && type < FULL_FRAME) {
    const int32_t appended = type - SAME_FRAME_EXTENDED;
    if (appended > locals.size) assertionFailed("assertion failed", "StackMapFrame", __LINE__);
    writeTypes(locals, locals.size - appended, out);
  } else if (type == FULL_FRAME) {
    writeU2(out, locals.size, "StackMapFrame", __LINE__);
    writeTypes(locals, 0, out);
    writeU2(out, stack.size, "StackMapFrame", __LINE__);
    writeTypes(stack, 0, out);
  }
}

int32_t StackMapFrame::compareLocals(const StackMapFrame& previous) const {
  const int32_t difference = locals.size - previous.locals.size;
  if (difference < -4 || difference > 4) return difference;
  const int32_t common = std::min(locals.size, previous.locals.size);
  for (int32_t i = 0; i < common; i++) {
    if (!locals[i].equals(previous.locals[i])) return LOCALS_DIFFER;
  }
  return difference;
}

void StackMapFrame::appendAddedLocals(const YVector<VerificationType>& added, int32_t maxLocals, int32_t initOffset) {
  int32_t slots = slotsOf(locals);
  const int32_t firstAdded = maxLocals - slotsOf(added);
  // A frame reaching into the added slots would give them two types.
  if (slots > firstAdded) assertionFailed("assertion failed", "StackMapFrame", __LINE__);
  for (; slots < firstAdded; slots++) locals.add(VerificationType());
  for (int32_t i = 0; i < added.size; i++) {
    const VerificationType& type = added[i];
    const bool initialised = type.tag == ITEM_UninitializedThis && offset > initOffset;
    locals.add(initialised ? VerificationType(ITEM_Object, type.index) : type);
  }
  trimLocals();
}

void StackMapFrame::trimLocals() {
  while (locals.size > 0 && locals.peek().isTop()) locals.pop();
}
