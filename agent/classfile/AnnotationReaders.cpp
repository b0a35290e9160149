#include "agent/classfile/AnnotationReaders.h"

#include "agent/classfile/ConstantValues.h"
#include "agent/classfile/DataInput.h"
#include "agent/support/CommonUtils.h"
#include "agent/support/FatalError.h"

namespace {

const char* const SOURCE = "AnnotationsAttribute";

// Java cannot nest annotations in themselves nor arrays in arrays, so real nesting stays shallow; the
// limit keeps a crafted attribute from exhausting the stack of the thread that loads the class.
constexpr int32_t MAX_NESTING = 64;

const YString& utf8At(const ConstantPool& pool, int32_t index) {
  return constantAt<ConstantUtf8Info>(pool, index, SOURCE, __LINE__).getString();
}

void skipElementValue(DataInput& in, int32_t depth);

void skipPairs(DataInput& in, int32_t depth) {
  const int32_t count = in.readUnsignedShort();
  for (int32_t i = 0; i < count; i++) {
    in.readUnsignedShort();  // element name
    skipElementValue(in, depth);
  }
}

void skipElementValue(DataInput& in, int32_t depth) {
  if (depth > MAX_NESTING) assertionFailed("assertion failed", SOURCE, __LINE__);
  switch (in.readUnsignedByte()) {
    case 'e':  // enum: type name and constant name
      in.readUnsignedShort();
      in.readUnsignedShort();
      break;
    case '@':  // nested annotation
      in.readUnsignedShort();
      skipPairs(in, depth + 1);
      break;
    case '[': {
      const int32_t count = in.readUnsignedShort();
      for (int32_t i = 0; i < count; i++) skipElementValue(in, depth + 1);
      break;
    }
    default:  // class, constants, and tags the format does not define: one index
      in.readUnsignedShort();
      break;
  }
}

// The pairs of a probe annotation that has just one, "value", with the given tag; leaves the input on
// the value's body.
void expectValue(DataInput& in, const ConstantPool& pool, int32_t tag) {
  if (in.readUnsignedShort() != 1) assertionFailed("assertion failed", SOURCE, __LINE__);
  if (!utf8At(pool, in.readUnsignedShort()).equals("value")) assertionFailed("assertion failed", SOURCE, __LINE__);
  if (in.readUnsignedByte() != tag) assertionFailed("assertion failed", SOURCE, __LINE__);
}

YString readStringValue(DataInput& in, const ConstantPool& pool) {
  expectValue(in, pool, 's');
  return utf8At(pool, in.readUnsignedShort());
}

int32_t readIntValue(DataInput& in, const ConstantPool& pool) {
  expectValue(in, pool, 'I');
  return constantAt<ConstantIntInfo>(pool, in.readUnsignedShort(), SOURCE, __LINE__).value;
}

void readStringArrayValue(DataInput& in, const ConstantPool& pool, YVector<YString>& out) {
  expectValue(in, pool, '[');
  const int32_t count = in.readUnsignedShort();
  for (int32_t i = 0; i < count; i++) {
    if (in.readUnsignedByte() != 's') assertionFailed("assertion failed", SOURCE, __LINE__);
    out.add(utf8At(pool, in.readUnsignedShort()));
  }
}

struct ParameterKind {
  const char* descriptor;
  int32_t kind;
};

// Param, whose value is read, is handled before this table.
const ParameterKind PARAMETER_KINDS[] = {
    {"Lcom/brantel/probes/Params;", CallbackParameter::KIND_PARAMS},
    {"Lcom/brantel/probes/This;", CallbackParameter::KIND_THIS},
    {"Lcom/brantel/probes/ReturnValue;", CallbackParameter::KIND_RETURN_VALUE},
    {"Lcom/brantel/probes/ThrownException;", CallbackParameter::KIND_THROWN_EXCEPTION},
    {"Lcom/brantel/probes/OnEnterResult;", CallbackParameter::KIND_ON_ENTER_RESULT},
    {"Lcom/brantel/probes/MethodTimeMs;", CallbackParameter::KIND_METHOD_TIME_MS},
    {"Lcom/brantel/probes/MethodName;", CallbackParameter::KIND_METHOD_NAME},
    {"Lcom/brantel/probes/MethodSignature;", CallbackParameter::KIND_METHOD_SIGNATURE},
    {"Lcom/brantel/probes/MethodParameterTypes;", CallbackParameter::KIND_METHOD_PARAMETER_TYPES},
    {"Lcom/brantel/probes/ClassRef;", CallbackParameter::KIND_CLASS_REF},
};

// Reads one annotation of a parameter and applies it: the first probe kind sets kind and index, a
// second makes the kind "several" and keeps the index.
void readParameterAnnotation(DataInput& in, const ConstantPool& pool, CallbackParameter& parameter) {
  const YString& type = utf8At(pool, in.readUnsignedShort());
  int32_t candidate = -1;
  int32_t index = -1;
  if (type.equals("Lcom/brantel/probes/Param;")) {
    index = readIntValue(in, pool);
    candidate = CallbackParameter::KIND_PARAM;
  } else {
    skipPairs(in, 0);
    if (type.equals("Lcom/brantel/probes/Out;")) parameter.out = true;
    for (const ParameterKind& known : PARAMETER_KINDS) {
      if (type.equals(known.descriptor)) candidate = known.kind;
    }
  }
  if (candidate < 0) return;
  if (parameter.kind == CallbackParameter::KIND_NONE) {
    parameter.kind = candidate;
    parameter.index = index;
  } else {
    parameter.kind = CallbackParameter::KIND_SEVERAL;
  }
}

}  // namespace

bool hasAnnotationMatching(const YString& pattern, const YVector<AttributeInfo*>& attributes,
                           const ConstantPool& pool) {
  if (pattern.length == 0) return true;
  for (int32_t a = 0; a < attributes.size; a++) {
    // The reader makes this class for the visible and the invisible annotations alone.
    const auto* annotations = attributeAs<const AnnotationsAttribute>(attributes[a]);
    if (annotations == nullptr) continue;
    DataInput in(annotations->getBytes(), annotations->getLength());
    const int32_t count = in.readUnsignedShort();
    for (int32_t i = 0; i < count; i++) {
      if (matchesWildcardStrings(pattern, utf8At(pool, in.readUnsignedShort()))) return true;
      skipPairs(in, 0);
    }
  }
  return false;
}

void readProbeAnnotations(const AnnotationsAttribute& attribute, const ConstantPool& pool,
                          YVector<YString>& methodPatterns, YString& instanceOf,
                          YVector<YString>& retransformIfInstanceOf, bool& discardThrownException) {
  DataInput in(attribute.getBytes(), attribute.getLength());
  const int32_t count = in.readUnsignedShort();
  for (int32_t i = 0; i < count; i++) {
    const YString& type = utf8At(pool, in.readUnsignedShort());
    if (type.equals("Lcom/brantel/probes/MethodPattern;")) {
      readStringArrayValue(in, pool, methodPatterns);
    } else if (type.equals("Lcom/brantel/probes/InstanceOf;")) {
      instanceOf = readStringValue(in, pool).replaceAll(".", "/");
    } else if (type.equals("Lcom/brantel/probes/RetransformIfInstanceOf;")) {
      readStringArrayValue(in, pool, retransformIfInstanceOf);
    } else {
      skipPairs(in, 0);
      if (type.equals("Lcom/brantel/probes/DiscardThrownException;")) discardThrownException = true;
    }
  }
}

void readProbeParameterAnnotations(const ParameterAnnotationsAttribute& attribute, const ConstantPool& pool,
                                   const YVector<YString>& argumentTypes, YVector<CallbackParameter>* out) {
  if (out == nullptr) assertionFailed("assertion failed: value is NULL", SOURCE, __LINE__);
  DataInput in(attribute.getBytes(), attribute.getLength());
  const int32_t parameters = in.readUnsignedByte();
  if (parameters > argumentTypes.size) assertionFailed("assertion failed", SOURCE, __LINE__);
  for (int32_t p = 0; p < parameters; p++) {
    CallbackParameter parameter;
    parameter.type = argumentTypes[p];
    const int32_t annotations = in.readUnsignedShort();
    for (int32_t i = 0; i < annotations; i++) readParameterAnnotation(in, pool, parameter);
    out->add(parameter);
  }
}
