#include "agent/classfile/ConstantPoolInfo.h"

#include "agent/classfile/ConstantReferences.h"
#include "agent/classfile/ConstantValues.h"
#include "agent/support/Log.h"

ConstantPoolInfo* ConstantPoolInfo::read(DataInput& in) {
  const uint32_t tag = uint32_t(in.readUnsignedByte());
  switch (tag) {
    case CONSTANT_Utf8: return new ConstantUtf8Info(in);
    case CONSTANT_Integer: return new ConstantIntInfo(in);
    case CONSTANT_Float: return new ConstantFloatInfo(in);
    case CONSTANT_Long: return new ConstantLongInfo(in);
    case CONSTANT_Double: return new ConstantDoubleInfo(in);
    case CONSTANT_Class: return new ConstantClassInfo(in);
    case CONSTANT_String: return new ConstantStringInfo(in);
    case CONSTANT_Fieldref: return new ConstantFieldRefInfo(in);
    case CONSTANT_Methodref: return new ConstantMethodRefInfo(in);
    case CONSTANT_InterfaceMethodref: return new ConstantInterfaceMethodRefInfo(in);
    case CONSTANT_NameAndType: return new ConstantNameAndTypeInfo(in);
    case CONSTANT_MethodHandle: return new ConstantMethodHandleInfo(in);
    case CONSTANT_MethodType: return new ConstantMethodTypeInfo(in);
    case CONSTANT_InvokeDynamic: return new ConstantInvokeDynamicInfo(in);
    default: break;
  }
  YString message("Unknown Constant Pool Info tag: ");
  message.appendLong(tag);
  logMessage(message);
  return nullptr;
}
