#include "agent/heap/ClassInfo.h"

#include <cstring>

#include "agent/classfile/SignatureUtil.h"
#include "agent/db/DB.h"
#include "agent/db/StringPool.h"
#include "agent/support/FatalError.h"
#include "agent/support/JvmtiUtils.h"
#include "agent/support/Log.h"
#include "agent/support/YSet.h"

namespace {

bool isPrimitiveSignatureChar(char c) {
  return c == 'B' || c == 'Z' || c == 'C' || c == 'S' || c == 'I' || c == 'F' || c == 'J' || c == 'D';
}

void check(jvmtiError error, int32_t line) { checkJvmtiError(error, "ClassInfo", line); }

jlong tagOf(jvmtiEnv* jvmti, jobject object) {
  jlong tag = 0;
  check(jvmti->GetTag(object, &tag), __LINE__);
  return tag;
}

// Walks K's supertypes and K itself, appending fields in JVMTI's index order. `visited` holds the tags
// of the classes whose fields are in the list already, so an interface reached twice counts once.
void collectFields(jvmtiEnv* jvmti, JNIEnv* jni, jclass klass, _ClassInfo& info, YSet<int64_t>& visited,
                   bool outermost) {
  jboolean isArray = JNI_FALSE;
  check(jvmti->IsArrayClass(klass, &isArray), __LINE__);
  if (isArray) return;

  jint status = 0;
  jvmtiError error = jvmti->GetClassStatus(klass, &status);
  if (error == JVMTI_ERROR_WRONG_PHASE) return;
  check(error, __LINE__);
  if ((status & JVMTI_CLASS_STATUS_PREPARED) == 0) {
    // Neither its interfaces nor its fields can be read yet, but an instance block still holds what its
    // superclasses declare, as the class record's instance size must tell.
    if (jclass superclass = jni->GetSuperclass(klass)) {
      collectFields(jvmti, jni, superclass, info, visited, false);
      jni->DeleteLocalRef(superclass);
    }
    if (outermost) info.firstOwnField = info.fields.size;
    return;
  }

  const jlong tag = tagOf(jvmti, klass);
  if (tag != 0 && visited.contains(tag)) return;

  jint interfaceCount = 0;
  jclass* interfaces = nullptr;
  if (jvmti->GetImplementedInterfaces(klass, &interfaceCount, &interfaces) != JVMTI_ERROR_NONE) return;
  for (jint i = 0; i < interfaceCount; i++) {
    collectFields(jvmti, jni, interfaces[i], info, visited, false);
    jni->DeleteLocalRef(interfaces[i]);
  }
  jvmti->Deallocate(reinterpret_cast<unsigned char*>(interfaces));

  jboolean isInterface = JNI_FALSE;
  check(jvmti->IsInterface(klass, &isInterface), __LINE__);
  if (!isInterface) {
    jclass superclass = jni->GetSuperclass(klass);
    if (superclass != nullptr) {
      collectFields(jvmti, jni, superclass, info, visited, false);
      jni->DeleteLocalRef(superclass);
    }
  }

  if (tag != 0) visited.add(tag);

  if (outermost) info.firstOwnField = info.fields.size;
  jint fieldCount = 0;
  jfieldID* fieldIds = nullptr;
  if (jvmti->GetClassFields(klass, &fieldCount, &fieldIds) != JVMTI_ERROR_NONE) return;
  for (jint i = 0; i < fieldCount; i++) {
    JvmtiText name;
    JvmtiText signature;
    check(jvmti->GetFieldName(klass, fieldIds[i], name.out(), signature.out(), nullptr), __LINE__);
    jint modifiers = 0;
    check(jvmti->GetFieldModifiers(klass, fieldIds[i], &modifiers), __LINE__);
    auto* field = new _FieldInfo();
    const char first = signature.text != nullptr ? signature.text[0] : 'L';
    field->signatureChar = isPrimitiveSignatureChar(first) ? first : 0;
    field->nameId = uint32_t(getStringId(name.text));
    field->modifiers = uint32_t(modifiers);
    info.fields.add(field);
  }
  jvmti->Deallocate(reinterpret_cast<unsigned char*>(fieldIds));
}

YString stringText(uint32_t id) {
  const StringRecord* row = db != nullptr ? db->strings.findRow(int32_t(id)) : nullptr;
  return YString(row != nullptr && row->body != nullptr ? row->body : "<null>");
}

}  // namespace

int32_t primitiveWidth(int32_t signatureChar) {
  switch (signatureChar) {
    case 'B':
    case 'Z':
      return 1;
    case 'C':
    case 'S':
      return 2;
    case 'J':
    case 'D':
      return 8;
    default:
      return 4;
  }
}

int32_t _FieldInfo::width() const { return primitiveWidth(signatureChar); }

_ClassInfo::~_ClassInfo() {
  for (int32_t i = 0; i < fields.size; i++) delete fields.data[i];
}

void numberFields(_ClassInfo& info) {
  uint32_t counters[4] = {0, 0, 0, 0};  // static reference, static primitive, instance reference, instance primitive
  for (int32_t i = 0; i < info.fields.size; i++) {
    _FieldInfo& field = *info.fields.data[i];
    const int32_t category = (field.isStatic() ? 0 : 2) + (field.isPrimitive() ? 1 : 0);
    field.categoryIndex = counters[category]++;
  }
  info.staticReferenceCount = int32_t(counters[0]);
  info.staticPrimitiveCount = int32_t(counters[1]);
  info.instanceReferenceCount = int32_t(counters[2]);
  info.instancePrimitiveCount = int32_t(counters[3]);

  info.fieldOffsets.size = 0;
  for (int32_t i = 0; i < info.fields.size; i++) info.fieldOffsets.add(-1);
  int32_t instanceOffset = 0;
  int32_t staticOffset = 0;
  for (int32_t i = info.fields.size - 1; i >= 0; i--) {
    const _FieldInfo& field = *info.fields.data[i];
    if (!field.isStatic()) {
      info.fieldOffsets[i] = instanceOffset;
      instanceOffset += field.width();
    } else if (i >= info.firstOwnField) {
      // After the entry's 4-byte name id and its type byte.
      info.fieldOffsets[i] = staticOffset + 5;
      staticOffset = info.fieldOffsets[i] + field.width();
    }
  }
  info.instanceBlockSize = instanceOffset;
}

_ClassInfo* describeClass(jvmtiEnv* jvmti, JNIEnv* jni, jclass klass) {
  auto* info = new _ClassInfo();
  try {
    JvmtiText signature;
    check(jvmti->GetClassSignature(klass, signature.out(), nullptr), __LINE__);
    if (signature.text == nullptr) fatalError("class signature is null", "ClassInfo", __LINE__);
    const char* sig = signature.text;
    if (sig[0] == '[') {
      if (sig[1] == 'L' || sig[1] == '[') {
        info->isObjectArray = true;
      } else if (isPrimitiveSignatureChar(sig[1])) {
        info->isPrimitiveArray = true;
        info->elementSize = primitiveWidth(sig[1]);
      }
    }
    info->isClassClass = std::strcmp(sig, "Ljava/lang/Class;") == 0;
    info->nameId = uint32_t(getStringId(descriptorToJavaTypeName(sig).data));

    jclass superclass = jni->GetSuperclass(klass);
    if (superclass != nullptr) {
      info->superclassTag = tagOf(jvmti, superclass);
      jni->DeleteLocalRef(superclass);
    }

    YSet<int64_t> visited;
    collectFields(jvmti, jni, klass, *info, visited, true);

    jint status = 0;
    const jvmtiError error = jvmti->GetClassStatus(klass, &status);
    if (error != JVMTI_ERROR_WRONG_PHASE) {
      check(error, __LINE__);
      if ((status & JVMTI_CLASS_STATUS_PREPARED) != 0) {
        jint count = 0;
        jclass* interfaces = nullptr;
        check(jvmti->GetImplementedInterfaces(klass, &count, &interfaces), __LINE__);
        for (jint i = 0; i < count; i++) {
          const jlong tag = tagOf(jvmti, interfaces[i]);
          if (tag != 0) info->interfaceTags.add(tag);
          jni->DeleteLocalRef(interfaces[i]);
        }
        jvmti->Deallocate(reinterpret_cast<unsigned char*>(interfaces));
      }
    }

    jlong size = 0;
    check(jvmti->GetObjectSize(klass, &size), __LINE__);
    info->objectSize = size;

    numberFields(*info);
  } catch (...) {
    delete info;
    throw;
  }
  return info;
}

namespace {
_ClassInfo& unknownStorage() {
  static _ClassInfo* unknown = new _ClassInfo();
  return *unknown;
}
}  // namespace

_ClassInfo& unknownClassInfo() {
  _ClassInfo& unknown = unknownStorage();
  // Looked up on each use: the database, and with it the string ids, may have been made anew.
  unknown.nameId = db != nullptr ? uint32_t(getStringId("_Unknown", true)) : 0;
  return unknown;
}

bool isUnknownClassInfo(const _ClassInfo& info) { return &info == &unknownStorage(); }

void ClassInfoTable::add(int64_t classTag, _ClassInfo* info) {
  if (contains(classTag)) {
    delete info;
    return;
  }
  byTag.put(classTag, info);
  order.add(classTag);
}

_ClassInfo* ClassInfoTable::find(int64_t classTag) const { return byTag.get(classTag); }

_ClassInfo& ClassInfoTable::lookup(int64_t classTag, int32_t line) const {
  if (classTag == 0) {
    YString text("class_tag=0 at ");
    text.appendLong(line);
    fatalError(text.data, "ClassInfo", __LINE__);
  }
  _ClassInfo* info = find(classTag);
  if (info != nullptr) return *info;
  YString text("warning: unknown class tag ");
  text.appendLong(classTag);
  text.append("; line=");
  text.appendLong(line);
  logMessage(text);
  return unknownClassInfo();
}

void ClassInfoTable::clear() {
  for (int32_t i = 0; i < order.size; i++) delete byTag.get(order.data[i]);
  order.size = 0;
  byTag.init();
}

YString classNameText(const _ClassInfo& info) { return stringText(info.nameId); }

YString fieldNameText(const _FieldInfo& field) { return stringText(field.nameId); }
