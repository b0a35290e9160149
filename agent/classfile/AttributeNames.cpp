#include "agent/classfile/AttributeNames.h"

const AttributeNames& attributeNames() {
  static const AttributeNames names;
  return names;
}
