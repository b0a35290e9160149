#include "agent/classfile/ConstantPoolInfo.h"

#include "agent/classfile/ConstantReferences.h"
#include "agent/classfile/ConstantValues.h"
#include "agent/support/Log.h"

ConstantPoolInfo* ConstantPoolInfo::read(DataInput& in, Arena* arena) {
  const uint32_t tag = uint32_t(in.readUnsignedByte());
  switch (tag) {
    case CONSTANT_Utf8: return new (arena) ConstantUtf8Info(in, arena);
    case CONSTANT_Integer: return new (arena) ConstantIntInfo(in);
    case CONSTANT_Float: return new (arena) ConstantFloatInfo(in);
    case CONSTANT_Long: return new (arena) ConstantLongInfo(in);
    case CONSTANT_Double: return new (arena) ConstantDoubleInfo(in);
    case CONSTANT_Class: return new (arena) ConstantClassInfo(in);
    case CONSTANT_String: return new (arena) ConstantStringInfo(in);
    case CONSTANT_Fieldref: return new (arena) ConstantFieldRefInfo(in);
    case CONSTANT_Methodref: return new (arena) ConstantMethodRefInfo(in);
    case CONSTANT_InterfaceMethodref: return new (arena) ConstantInterfaceMethodRefInfo(in);
    case CONSTANT_NameAndType: return new (arena) ConstantNameAndTypeInfo(in);
    case CONSTANT_MethodHandle: return new (arena) ConstantMethodHandleInfo(in);
    case CONSTANT_MethodType: return new (arena) ConstantMethodTypeInfo(in);
    case CONSTANT_InvokeDynamic: return new (arena) ConstantInvokeDynamicInfo(in);
    default: break;
  }
  YString message("Unknown Constant Pool Info tag: ");
  message.appendLong(tag);
  logMessage(message);
  return nullptr;
}
