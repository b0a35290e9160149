#include "agent/natives/JniReflection.h"

#include <cstdint>
#include <cstring>

#include "agent/support/FatalError.h"
#include "agent/support/JniArrays.h"
#include "agent/support/JniStrings.h"
#include "agent/support/JniUtils.h"
#include "agent/support/YString.h"
#include "agent/support/YVector.h"

namespace {

jfieldID fieldOf(jlong id) { return reinterpret_cast<jfieldID>(static_cast<intptr_t>(id)); }
jmethodID methodOf(jlong id) { return reinterpret_cast<jmethodID>(static_cast<intptr_t>(id)); }
template <class Id>
jlong idValue(Id id) {
  return jlong(reinterpret_cast<intptr_t>(id));
}

// JNI would crash on a null class where the static form or a lookup needs one.
bool refuseNullClass(JNIEnv* env, jclass type) {
  if (type != nullptr) return false;
  throwRuntimeException(env, "class is null");
  return true;
}

void throwUnexpectedSignature(JNIEnv* env, jint typeCode) {
  YString message("unexpected signature: ");
  message.appendLong(typeCode);
  throwRuntimeException(env, message.data);
}

jlong widen(jboolean value) { return jlong(value); }
jlong widen(jbyte value) { return jlong(value); }
jlong widen(jchar value) { return jlong(value); }
jlong widen(jshort value) { return jlong(value); }
jlong widen(jint value) { return jlong(value); }
jlong widen(jlong value) { return value; }
jlong widen(jfloat value) {
  uint32_t bits;
  std::memcpy(&bits, &value, sizeof(bits));
  return jlong(bits);
}
jlong widen(jdouble value) {
  jlong bits;
  std::memcpy(&bits, &value, sizeof(bits));
  return bits;
}

template <class T>
T narrow(jlong pattern) {
  return static_cast<T>(pattern);
}
template <>
jfloat narrow<jfloat>(jlong pattern) {
  const uint32_t bits = uint32_t(pattern);
  jfloat value;
  std::memcpy(&value, &bits, sizeof(value));
  return value;
}
template <>
jdouble narrow<jdouble>(jlong pattern) {
  jdouble value;
  std::memcpy(&value, &pattern, sizeof(value));
  return value;
}

// The JNI functions of one primitive type, instance or static form by the object.
template <class T>
struct JniPrimitive;

#define JNI_PRIMITIVE(T, Name)                                                                                 \
  template <>                                                                                                  \
  struct JniPrimitive<T> {                                                                                     \
    static T get(JNIEnv* env, jclass type, jobject object, jfieldID field) {                                   \
      return object != nullptr ? env->Get##Name##Field(object, field) : env->GetStatic##Name##Field(type, field); \
    }                                                                                                          \
    static void set(JNIEnv* env, jclass type, jobject object, jfieldID field, T value) {                       \
      if (object != nullptr) {                                                                                 \
        env->Set##Name##Field(object, field, value);                                                           \
      } else {                                                                                                 \
        env->SetStatic##Name##Field(type, field, value);                                                       \
      }                                                                                                        \
    }                                                                                                          \
    static T call(JNIEnv* env, jclass type, jobject object, jmethodID method, const jvalue* arguments) {       \
      return object != nullptr ? env->Call##Name##MethodA(object, method, arguments)                          \
                               : env->CallStatic##Name##MethodA(type, method, arguments);                     \
    }                                                                                                          \
  };

JNI_PRIMITIVE(jboolean, Boolean)
JNI_PRIMITIVE(jbyte, Byte)
JNI_PRIMITIVE(jchar, Char)
JNI_PRIMITIVE(jshort, Short)
JNI_PRIMITIVE(jint, Int)
JNI_PRIMITIVE(jlong, Long)
JNI_PRIMITIVE(jfloat, Float)
JNI_PRIMITIVE(jdouble, Double)
#undef JNI_PRIMITIVE

// Runs `action` with a value of the code's primitive type; false for any other code.
template <class Action>
bool withPrimitiveType(jint typeCode, Action action) {
  switch (typeCode) {
    case 'Z': action(jboolean()); return true;
    case 'B': action(jbyte()); return true;
    case 'C': action(jchar()); return true;
    case 'S': action(jshort()); return true;
    case 'I': action(jint()); return true;
    case 'J': action(jlong()); return true;
    case 'F': action(jfloat()); return true;
    case 'D': action(jdouble()); return true;
    default: return false;
  }
}

bool isPrimitiveArgument(jlong primitiveMask, jsize index) {
  return index < 64 && ((uint64_t(primitiveMask) >> index) & 1u) != 0;
}

// The jvalue of each argument. A primitive one is read as the parameter's union member: both targets
// are little-endian, so every narrower member lies in the low bytes of the 64-bit pattern. False, with an
// exception pending, when the arguments cannot be had.
bool buildJniArguments(JNIEnv* env, jlong primitiveMask, jobjectArray arguments, jlongArray primitiveArguments,
                       YVector<jvalue>* values) {
  const jsize count = env->GetArrayLength(arguments);
  const jsize primitiveCount = primitiveArguments != nullptr ? env->GetArrayLength(primitiveArguments) : 0;
  for (jsize i = 0; primitiveArguments != nullptr && i < count && i < 64; i++) {
    if (isPrimitiveArgument(primitiveMask, i) && i >= primitiveCount) {
      YString message("primitive argument ");
      message.appendLong(i);
      message.append(" is missing: primitiveArgs holds ");
      message.appendLong(primitiveCount);
      message.append(" values");
      throwRuntimeException(env, message.data);
      return false;
    }
  }
  if (count > 0 && env->EnsureLocalCapacity(count) != JNI_OK) return false;
  values->reserve(count);
  for (jsize i = 0; i < count; i++) {
    jvalue value;
    value.j = 0;
    if (primitiveArguments == nullptr || !isPrimitiveArgument(primitiveMask, i)) {
      value.l = env->GetObjectArrayElement(arguments, i);
    }
    values->add(value);
  }
  if (primitiveArguments == nullptr || primitiveCount == 0) return true;
  const ReadOnlyCriticalArrayElements patterns(env, primitiveArguments);
  if (patterns.elements == nullptr) {
    throwRuntimeException(env, "primitiveArgs cannot be read");
    return false;
  }
  for (jsize i = 0; i < count && i < 64; i++) {
    if (isPrimitiveArgument(primitiveMask, i)) values->get(i).j = static_cast<const jlong*>(patterns.elements)[i];
  }
  return true;
}

}  // namespace

jlong getFieldIdImpl(JNIEnv* env, jclass type, jstring name, jstring signature, jboolean isStatic) {
  if (refuseNullClass(env, type)) return 0;
  const YString fieldName = jstringToYString(env, name);
  const YString fieldSignature = jstringToYString(env, signature);
  return idValue(isStatic ? env->GetStaticFieldID(type, fieldName.data, fieldSignature.data)
                          : env->GetFieldID(type, fieldName.data, fieldSignature.data));
}

jlong getMethodIdImpl(JNIEnv* env, jclass type, jstring name, jstring signature, jboolean isStatic) {
  if (refuseNullClass(env, type)) return 0;
  const YString methodName = jstringToYString(env, name);
  const YString methodSignature = jstringToYString(env, signature);
  return idValue(isStatic ? env->GetStaticMethodID(type, methodName.data, methodSignature.data)
                          : env->GetMethodID(type, methodName.data, methodSignature.data));
}

jobject getFieldObjectValueImpl(JNIEnv* env, jclass type, jobject object, jlong fieldId) {
  if (object != nullptr) return env->GetObjectField(object, fieldOf(fieldId));
  if (refuseNullClass(env, type)) return nullptr;
  return env->GetStaticObjectField(type, fieldOf(fieldId));
}

void setFieldObjectValueImpl(JNIEnv* env, jclass type, jobject object, jlong fieldId, jobject value) {
  if (object != nullptr) {
    env->SetObjectField(object, fieldOf(fieldId), value);
  } else if (!refuseNullClass(env, type)) {
    env->SetStaticObjectField(type, fieldOf(fieldId), value);
  }
}

jlong getFieldPrimValueImpl(JNIEnv* env, jclass type, jobject object, jlong fieldId, jint typeCode) {
  if (object == nullptr && refuseNullClass(env, type)) return 0;
  jlong pattern = 0;
  const bool known = withPrimitiveType(typeCode, [&](auto kind) {
    pattern = widen(JniPrimitive<decltype(kind)>::get(env, type, object, fieldOf(fieldId)));
  });
  if (!known) throwUnexpectedSignature(env, typeCode);
  return pattern;
}

void setFieldPrimValueImpl(JNIEnv* env, jclass type, jobject object, jlong fieldId, jint typeCode, jlong value) {
  if (object == nullptr && refuseNullClass(env, type)) return;
  const bool known = withPrimitiveType(typeCode, [&](auto kind) {
    using T = decltype(kind);
    JniPrimitive<T>::set(env, type, object, fieldOf(fieldId), narrow<T>(value));
  });
  if (!known) throwUnexpectedSignature(env, typeCode);
}

jobject callObjectMethodImpl(JNIEnv* env, jclass type, jobject object, jlong methodId, jlong primitiveMask,
                             jobjectArray arguments, jlongArray primitiveArguments) {
  if (arguments == nullptr) assertionFailed("assertion failed: value is NULL", "JniReflection", 78);
  if (object == nullptr && refuseNullClass(env, type)) return nullptr;
  YVector<jvalue> values;
  if (!buildJniArguments(env, primitiveMask, arguments, primitiveArguments, &values)) return nullptr;
  return object != nullptr ? env->CallObjectMethodA(object, methodOf(methodId), values.data)
                           : env->CallStaticObjectMethodA(type, methodOf(methodId), values.data);
}

jlong callPrimOrVoidMethodImpl(JNIEnv* env, jclass type, jobject object, jlong methodId, jlong primitiveMask,
                               jint typeCode, jobjectArray arguments, jlongArray primitiveArguments) {
  if (arguments == nullptr) assertionFailed("assertion failed: value is NULL", "JniReflection", 104);
  if (typeCode != 'V' && !withPrimitiveType(typeCode, [](auto) {})) {
    throwUnexpectedSignature(env, typeCode);
    return 0;
  }
  if (object == nullptr && refuseNullClass(env, type)) return 0;
  YVector<jvalue> values;
  if (!buildJniArguments(env, primitiveMask, arguments, primitiveArguments, &values)) return 0;
  const jmethodID method = methodOf(methodId);
  if (typeCode == 'V') {
    if (object != nullptr) {
      env->CallVoidMethodA(object, method, values.data);
    } else {
      env->CallStaticVoidMethodA(type, method, values.data);
    }
    return 0;
  }
  jlong pattern = 0;
  withPrimitiveType(typeCode, [&](auto kind) {
    pattern = widen(JniPrimitive<decltype(kind)>::call(env, type, object, method, values.data));
  });
  return pattern;
}
