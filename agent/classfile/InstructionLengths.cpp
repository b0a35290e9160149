#include "agent/classfile/InstructionLengths.h"

#include "agent/classfile/CodeBytes.h"
#include "agent/support/FatalError.h"
#include "agent/support/YString.h"

constexpr int32_t instructionLengths[256] = {
    //  0 nop, aconst_null, iconst_m1..iconst_5, lconst_0, lconst_1, fconst_0..fconst_2, dconst_0
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    // 15 dconst_1, bipush, sipush, ldc, ldc_w, ldc2_w, iload, lload, fload, dload, aload
    1, 2, 3, 2, 3, 3, 2, 2, 2, 2, 2,
    // 26 iload_0 .. aload_3, iaload .. saload
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1,
    // 54 istore, lstore, fstore, dstore, astore
    2, 2, 2, 2, 2,
    // 59 istore_0 .. astore_3, iastore .. sastore, the stack operations, arithmetic, up to lxor (131)
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    // 132 iinc
    3,
    // 133 conversions i2l .. i2s, lcmp, fcmpl, fcmpg, dcmpl, dcmpg
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    // 153 ifeq .. if_acmpne, goto, jsr
    3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3,
    // 169 ret, tableswitch, lookupswitch, ireturn .. return
    2, -1, -1, 1, 1, 1, 1, 1, 1,
    // 178 getstatic, putstatic, getfield, putfield, invokevirtual, invokespecial, invokestatic,
    // invokeinterface, invokedynamic, new, newarray, anewarray, arraylength, athrow, checkcast, instanceof,
    // monitorenter, monitorexit
    3, 3, 3, 3, 3, 3, 3, 5, 5, 3, 2, 3, 1, 1, 3, 3, 1, 1,
    // 196 wide, multianewarray, ifnull, ifnonnull, goto_w, jsr_w, breakpoint
    -1, 4, 3, 3, 5, 5, 1,
    // 203 .. 253 undefined
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    // 254 impdep1, 255 impdep2
    1, 1,
};
// Landmarks that a miscounted row would move.
static_assert(instructionLengths[16] == 2 && instructionLengths[26] == 1 && instructionLengths[54] == 2 &&
              instructionLengths[59] == 1 && instructionLengths[132] == 3 && instructionLengths[153] == 3 &&
              instructionLengths[169] == 2 && instructionLengths[178] == 3 && instructionLengths[185] == 5 &&
              instructionLengths[196] == -1 && instructionLengths[202] == 1 && instructionLengths[203] == -1 &&
              instructionLengths[253] == -1 && instructionLengths[255] == 1);

int32_t variableInstructionLengthAt(const uint8_t* code, int32_t codeLength, int32_t position) {
  if (code == nullptr) assertionFailed("assertion failed: value is NULL", "InstructionLengths", __LINE__);
  if (position < 0 || position >= codeLength) assertionFailed("assertion failed", "InstructionLengths", __LINE__);
  // 64 bits: counts from the file may be anything, and their products must not wrap into a fitting length.
  const int64_t available = int64_t(codeLength) - position;
  const uint8_t opcode = code[position];
  int64_t length = instructionLengths[opcode];
  if (opcode == OPCODE_WIDE) {
    if (available < 2) return -1;  // the modified opcode is not there to be read
    length = code[position + 1] == OPCODE_IINC ? 6 : 4;
  } else if (opcode == OPCODE_TABLESWITCH || opcode == OPCODE_LOOKUPSWITCH) {
    const int64_t table = (position + 4) / 4 * 4 - position;  // the default offset after the padding
    const int64_t fixed = opcode == OPCODE_TABLESWITCH ? 12 : 8;  // default, low and high; default, npairs
    if (table + fixed > available) return -1;
    int64_t entries;
    int64_t entryLength;
    if (opcode == OPCODE_TABLESWITCH) {
      entries = int64_t(codeS4(code + position + table + 8)) - codeS4(code + position + table + 4) + 1;
      entryLength = 4;
    } else {
      entries = codeS4(code + position + table + 4);
      entryLength = 8;
    }
    // The JVM refuses a negative count; like the other scanners of the agent, take it as an empty table.
    length = table + fixed + (entries > 0 ? entries * entryLength : 0);
  }
  return length < 1 || length > available ? -1 : int32_t(length);
}

void wrongOpcodeFound(uint8_t opcode, const char* file, int32_t line) {
  YString message("Wrong instruction opcode found: ");
  message.appendLong(opcode);
  fatalError(message.data, file, line);
}
