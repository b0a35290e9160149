#include "agent/heap/FieldValueFiller.h"

#include <cstring>

#include "agent/support/FatalError.h"
#include "agent/support/Log.h"

namespace {

const char* flag(bool value) { return value ? "1" : "0"; }

void appendFlags(YString& text, bool primitive, bool isStatic) {
  text.append(" pe=");
  text.append(flag(primitive));
  text.append(" se=");
  text.append(flag(isStatic));
}

void advance(FieldValueFiller& filler) {
  if (filler.advanceProgress != nullptr) filler.advanceProgress(filler.progressContext);
}

jint visitResult(const FieldValueFiller& filler) {
  return filler.mapper->failed() ? JVMTI_VISIT_ABORT : JVMTI_VISIT_OBJECTS;
}

// The index of a tagged object; 0 for an untagged or unnumbered one, or one outside the numbering.
int32_t indexOf(const FieldValueFiller& filler, jlong tag) {
  if (tag == 0) return 0;
  const int32_t index = filler.objectIndexOf(tag);
  return index > 0 && index <= filler.objectCount ? index : 0;
}

void warnNoPosition(int32_t objectIndex, const char* what, int32_t index, const _ClassInfo& info) {
  YString text("warning: no field block position: objectIndex=");
  text.appendLong(objectIndex);
  text.append(' ');
  text.append(what);
  text.append(" index=");
  text.appendLong(index);
  text.append(" class=");
  text.append(classNameText(info));
  logMessage(text);
}

uint64_t requirePosition(uint64_t position, const char* what) {
  if (position == 0) {
    YString text("position not set: ");
    text.append(what);
    fatalError(text.data, "FieldValueFiller", __LINE__);
  }
  return position;
}

bool isUnknown(const _ClassInfo& info) { return isUnknownClassInfo(info); }

}  // namespace

uint64_t primitiveValueBits(jvalue value, jvmtiPrimitiveType type) {
  switch (type) {
    case JVMTI_PRIMITIVE_TYPE_BOOLEAN:
      return value.z == 1 ? 1 : 0;
    case JVMTI_PRIMITIVE_TYPE_BYTE:
      return uint64_t(int64_t(value.b));
    case JVMTI_PRIMITIVE_TYPE_CHAR:
      return uint64_t(value.c);
    case JVMTI_PRIMITIVE_TYPE_SHORT:
      return uint64_t(int64_t(value.s));
    case JVMTI_PRIMITIVE_TYPE_INT:
      return uint64_t(int64_t(value.i));
    case JVMTI_PRIMITIVE_TYPE_LONG:
      return uint64_t(value.j);
    case JVMTI_PRIMITIVE_TYPE_FLOAT: {
      uint32_t bits;
      std::memcpy(&bits, &value.f, sizeof bits);
      return bits;
    }
    case JVMTI_PRIMITIVE_TYPE_DOUBLE: {
      uint64_t bits;
      std::memcpy(&bits, &value.d, sizeof bits);
      return bits;
    }
  }
  return 0;
}

void writeFieldValue(FieldValueFiller& filler, const _ClassInfo& info, uint64_t basePosition,
                     int32_t fieldIndex, uint64_t value, bool primitive, bool isStatic) {
  if (value == 0) return;  // the place is zero already
  if (fieldIndex < 0 || fieldIndex >= info.fields.size) {
    YString text("warning: invalid field index: ");
    text.appendLong(fieldIndex);
    text.append(' ');
    text.append(classNameText(info));
    text.append(" fieldCount=");
    text.appendLong(info.fields.size);
    appendFlags(text, primitive, isStatic);
    logDistinctMessage(filler.invalidIndexWarnings, text);
    return;
  }
  const _FieldInfo& field = *info.fields.data[fieldIndex];
  const bool staticMismatch = field.isStatic() != isStatic;
  if (staticMismatch || field.isPrimitive() != primitive) {
    YString text(staticMismatch ? "warning: field static/non-static mismatch: "
                                : "warning: field primitive/reference mismatch: ");
    text.appendLong(fieldIndex);
    text.append(' ');
    text.append(classNameText(info));
    text.append(" fn=");
    text.append(fieldNameText(field));
    appendFlags(text, primitive, isStatic);
    logDistinctMessage(staticMismatch ? filler.staticMismatchWarnings : filler.kindMismatchWarnings, text);
    return;
  }
  const int32_t offset = fieldIndex < info.fieldOffsets.size ? info.fieldOffsets.data[fieldIndex] : -1;
  if (offset < 0) {
    if (isStatic) return;  // a static field inherited from a supertype: its own class holds the value
    YString text("invalid field offset: offset=");
    text.appendLong(offset);
    text.append(" fieldIndex=");
    text.appendLong(fieldIndex);
    text.append(' ');
    text.append(classNameText(info));
    appendFlags(text, primitive, isStatic);
    fatalError(text.data, "FieldValueFiller", __LINE__);
  }
  filler.mapper->write(int64_t(basePosition + uint64_t(offset)), value, primitive ? field.width() : 4);
}

namespace {

jint fillPrimitiveField(FieldValueFiller& filler, jvmtiHeapReferenceKind kind, const jvmtiHeapReferenceInfo* info,
                        jlong objectClassTag, jlong* objectTagPointer, jvalue value, jvmtiPrimitiveType valueType) {
  if (objectClassTag == 0 || objectTagPointer == nullptr || *objectTagPointer == 0) return JVMTI_VISIT_OBJECTS;
  const _ClassInfo& objectClass = filler.classes->lookup(objectClassTag, __LINE__);
  if (isUnknown(objectClass)) return JVMTI_VISIT_OBJECTS;

  if (!objectClass.isClassClass) {
    if (kind != JVMTI_HEAP_REFERENCE_FIELD || objectClass.isObjectArray || objectClass.isPrimitiveArray) {
      return JVMTI_VISIT_OBJECTS;
    }
    const int32_t index = indexOf(filler, *objectTagPointer);
    if (index == 0) return JVMTI_VISIT_OBJECTS;
    const uint64_t position = filler.fieldBlockPositions[index];
    if (position == 0) {
      warnNoPosition(index, "primitive field", info->field.index, objectClass);
      return JVMTI_VISIT_OBJECTS;
    }
    advance(filler);
    writeFieldValue(filler, objectClass, position, info->field.index, primitiveValueBits(value, valueType),
                    true, false);
    return visitResult(filler);
  }

  if (kind != JVMTI_HEAP_REFERENCE_STATIC_FIELD) return JVMTI_VISIT_OBJECTS;
  const _ClassInfo& described = filler.classes->lookup(*objectTagPointer, __LINE__);
  if (isUnknown(described)) return JVMTI_VISIT_OBJECTS;
  const uint64_t entries = requirePosition(described.staticEntriesPosition, "static entries");
  writeFieldValue(filler, described, entries, info->field.index, primitiveValueBits(value, valueType), true,
                  true);
  return visitResult(filler);
}

jint fillReferenceField(FieldValueFiller& filler, jvmtiHeapReferenceKind kind, const jvmtiHeapReferenceInfo* info,
                        jlong referrerClassTag, jlong* tagPointer, jlong* referrerTagPointer) {
  if (tagPointer == nullptr || *tagPointer == 0) return JVMTI_VISIT_OBJECTS;
  if (referrerTagPointer == nullptr || referrerClassTag == 0) return JVMTI_VISIT_OBJECTS;
  const int32_t referrer = indexOf(filler, *referrerTagPointer);
  if (referrer == 0) return JVMTI_VISIT_OBJECTS;
  const _ClassInfo& referrerClass = filler.classes->lookup(referrerClassTag, __LINE__);
  if (isUnknown(referrerClass)) return JVMTI_VISIT_OBJECTS;
  const uint64_t referee = uint64_t(uint32_t(indexOf(filler, *tagPointer)));

  if (referrerClass.isObjectArray) {
    if (kind != JVMTI_HEAP_REFERENCE_ARRAY_ELEMENT) return JVMTI_VISIT_OBJECTS;
    const uint64_t position = filler.fieldBlockPositions[referrer];
    const int32_t element = info->array.index;
    if (position == 0) {
      warnNoPosition(referrer, "array element", element, referrerClass);
      return JVMTI_VISIT_OBJECTS;
    }
    advance(filler);
    if (element < 0 || uint32_t(element) >= filler.arrayLengths[referrer]) return JVMTI_VISIT_OBJECTS;
    if (referee != 0) filler.mapper->write(int64_t(position + 4 * uint64_t(element)), referee, 4);
    return visitResult(filler);
  }
  if (referrerClass.isPrimitiveArray) return JVMTI_VISIT_OBJECTS;

  if (referrerClass.isClassClass) {
    _ClassInfo& described = filler.classes->lookup(*referrerTagPointer, __LINE__);
    if (isUnknown(described)) return JVMTI_VISIT_OBJECTS;
    uint64_t position = 0;
    switch (kind) {
      case JVMTI_HEAP_REFERENCE_STATIC_FIELD:
        writeFieldValue(filler, described, requirePosition(described.staticEntriesPosition, "static entries"),
                        info->field.index, referee, false, true);
        return visitResult(filler);
      case JVMTI_HEAP_REFERENCE_CONSTANT_POOL:
        described.constantPoolIndices.add(info->constant_pool.index);
        described.constantPoolObjects.add(int32_t(referee));
        return JVMTI_VISIT_OBJECTS;
      case JVMTI_HEAP_REFERENCE_CLASS_LOADER:
        position = requirePosition(described.classLoaderPosition, "class loader");
        break;
      case JVMTI_HEAP_REFERENCE_SIGNERS:
        position = requirePosition(described.signersPosition, "signers");
        break;
      case JVMTI_HEAP_REFERENCE_PROTECTION_DOMAIN:
        position = requirePosition(described.protectionDomainPosition, "protection domain");
        break;
      default:
        return JVMTI_VISIT_OBJECTS;
    }
    if (referee != 0) filler.mapper->write(int64_t(position), referee, 4);
    return visitResult(filler);
  }

  if (kind != JVMTI_HEAP_REFERENCE_FIELD) return JVMTI_VISIT_OBJECTS;
  const uint64_t position = filler.fieldBlockPositions[referrer];
  if (position == 0) {
    warnNoPosition(referrer, "reference field", info->field.index, referrerClass);
    return JVMTI_VISIT_OBJECTS;
  }
  advance(filler);
  writeFieldValue(filler, referrerClass, position, info->field.index, referee, false, false);
  return visitResult(filler);
}

// A broken invariant must not unwind through the JVM's heap walk: the pass is aborted and the walker
// rethrows once JVMTI has returned.
template <class Body>
jint guarded(FieldValueFiller& filler, Body body) {
  if (filler.error) return JVMTI_VISIT_ABORT;
  try {
    return body();
  } catch (...) {
    filler.error = std::current_exception();
    return JVMTI_VISIT_ABORT;
  }
}

}  // namespace

jint JNICALL fillPrimitiveFields(jvmtiHeapReferenceKind kind, const jvmtiHeapReferenceInfo* info,
                                 jlong objectClassTag, jlong* objectTagPointer, jvalue value,
                                 jvmtiPrimitiveType valueType, void* userData) {
  auto& filler = *static_cast<FieldValueFiller*>(userData);
  return guarded(filler, [&] {
    return fillPrimitiveField(filler, kind, info, objectClassTag, objectTagPointer, value, valueType);
  });
}

jint JNICALL fillReferenceFields(jvmtiHeapReferenceKind kind, const jvmtiHeapReferenceInfo* info,
                                 jlong /*classTag*/, jlong referrerClassTag, jlong /*size*/,
                                 jlong* tagPointer, jlong* referrerTagPointer, jint /*length*/,
                                 void* userData) {
  auto& filler = *static_cast<FieldValueFiller*>(userData);
  return guarded(filler, [&] {
    return fillReferenceField(filler, kind, info, referrerClassTag, tagPointer, referrerTagPointer);
  });
}

void rethrowFillError(const FieldValueFiller& filler) {
  if (filler.error) std::rethrow_exception(filler.error);
}
