#pragma once

#include "agent/support/YString.h"

// The names of the attributes that the class-file model gives a class of their own. Built once, on first
// use, and compared by length and bytes.
struct AttributeNames {
  const YString code{"Code"};
  const YString constantValue{"ConstantValue"};
  const YString deprecated{"Deprecated"};
  const YString exceptions{"Exceptions"};
  const YString innerClasses{"InnerClasses"};
  const YString lineNumberTable{"LineNumberTable"};
  const YString localVariableTable{"LocalVariableTable"};
  const YString localVariableTypeTable{"LocalVariableTypeTable"};
  const YString sourceFile{"SourceFile"};
  const YString stackMapTable{"StackMapTable"};
  const YString synthetic{"Synthetic"};
  const YString runtimeVisibleAnnotations{"RuntimeVisibleAnnotations"};
  const YString runtimeInvisibleAnnotations{"RuntimeInvisibleAnnotations"};
  const YString runtimeInvisibleParameterAnnotations{"RuntimeInvisibleParameterAnnotations"};
};

// Inline, as every attribute look-up asks for it.
inline const AttributeNames& attributeNames() {
  static const AttributeNames names;
  return names;
}
