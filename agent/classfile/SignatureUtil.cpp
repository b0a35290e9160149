#include "agent/classfile/SignatureUtil.h"

#include <cstring>

#include "agent/support/FatalError.h"
#include "agent/support/YVector.h"

namespace {

const char syntaxError[] = "invalid pattern syntax, must be <class>:<method>(<params>)";
const char classAnnotationSyntaxError[] =
    "class pattern with annotation is invalid, must be: @<annotation pattern> <class pattern>";
const char methodAnnotationSyntaxError[] =
    "method pattern with annotation is invalid, must be: @<annotation pattern> <method pattern>";

YString withSuffix(const char* message, const YString& suffix) { return YString(message) + suffix; }

int32_t lastIndexOf(const char* text, int32_t length, char c) {
  for (int32_t i = length - 1; i >= 0; i--) {
    if (text[i] == c) return i;
  }
  return -1;
}

// Splits a trimmed "@<annotation> <name>" at its last blank; a part without "@" is all name. Refused: no
// blank, the blank right after the "@", and an annotation of blanks alone, which would match everything
// in silence.
bool splitAnnotation(const YString& part, YString& annotation, YString& name) {
  if (part.length == 0 || part.data[0] != '@') {
    name = part;
    return true;
  }
  const int32_t blank = lastIndexOf(part.data, part.length, ' ');
  if (blank < 2) return false;
  annotation = part.substring(1, blank).trim();
  if (annotation.length == 0) return false;
  name = part.substringFrom(blank + 1);
  return true;
}

bool isIdentifierCharacter(char c) {
  const auto byte = static_cast<unsigned char>(c);
  return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || byte == '$' || byte == '_' || byte >= 0x80;
}

// The parameter patterns between the parentheses, or the error for the first one refused.
YString parseParameters(const YString& text, YString& parameterList) {
  YVector<YString> pieces;
  int32_t start = 0;
  for (int32_t i = 0; i <= text.length; i++) {
    if (i < text.length && text.data[i] != ',') continue;
    if (i > start) pieces.add(text.substring(start, i));
    start = i + 1;
  }
  YString list("(");
  const bool none = pieces.size == 0 || (pieces.size == 1 && pieces[0].trim().length == 0);
  for (int32_t i = 0; !none && i < pieces.size; i++) {
    YString piece = pieces[i].trim();
    if (!isValidTypePattern(piece)) return withSuffix("parameter pattern is invalid: ", piece);
    expandCommonTypeName(&piece);
    if (i > 0) list.append(", ");
    list.append(piece);
  }
  list.append(")");
  parameterList = list;
  return YString();
}

const char* primitiveTypeName(char letter) {
  switch (letter) {
    case 'B': return "byte";
    case 'C': return "char";
    case 'D': return "double";
    case 'F': return "float";
    case 'I': return "int";
    case 'J': return "long";
    case 'S': return "short";
    case 'Z': return "boolean";
    case 'V': return "void";
    default: return nullptr;
  }
}

void appendDotted(YString& target, const char* text, int32_t length) { target.appendReplacing(text, length, '/', '.'); }

// Appends the Java name of the type descriptor.
void appendTypeName(YString& name, const char* text, int32_t length) {
  int32_t dimensions = 0;
  while (dimensions < length && text[dimensions] == '[') dimensions++;
  const char* element = text + dimensions;
  const int32_t elementLength = length - dimensions;
  const char* primitive = elementLength == 1 ? primitiveTypeName(element[0]) : nullptr;
  if (primitive != nullptr) {
    name.append(primitive);
  } else if (elementLength >= 2 && element[0] == 'L' && element[elementLength - 1] == ';') {
    appendDotted(name, element + 1, elementLength - 2);
  } else {
    appendDotted(name, element, elementLength);
  }
  for (int32_t i = 0; i < dimensions; i++) name.append("[]");
}

YString typeName(const char* text, int32_t length) {
  YString name;
  appendTypeName(name, text, length);
  return name;
}

int32_t checkedLength(const char* descriptor, int32_t line) {
  if (descriptor == nullptr) assertionFailed("assertion failed: value is NULL", "SignatureUtil", line);
  return int32_t(std::strlen(descriptor));
}

// The end of the parameter that starts at `start`, or -1 when it is not a well-formed parameter that
// ends before `limit`.
int32_t parameterEnd(const char* descriptor, int32_t start, int32_t limit) {
  int32_t i = start;
  while (i < limit && descriptor[i] == '[') i++;
  if (i == limit) return -1;
  if (descriptor[i] == 'L') {
    const void* semicolon = std::memchr(descriptor + i, ';', size_t(limit - i));
    return semicolon == nullptr ? -1 : int32_t(static_cast<const char*>(semicolon) - descriptor) + 1;
  }
  return descriptor[i] != 'V' && primitiveTypeName(descriptor[i]) != nullptr ? i + 1 : -1;
}

}  // namespace

YString parseMethodPattern(const YString& pattern, MethodPatternParts& parts) {
  parts = MethodPatternParts();
  const int32_t colon = pattern.indexOf(":");
  const int32_t open = pattern.indexOf("(");
  const int32_t close = pattern.indexOf(")");
  if (colon < 0 || open < 0 || close < 0 || colon > open || open > close) return YString(syntaxError);

  if (!splitAnnotation(pattern.substring(0, colon).trim(), parts.classAnnotationPattern, parts.classPattern)) {
    return YString(classAnnotationSyntaxError);
  }
  if (!isValidClassNamePattern(parts.classPattern, true)) {
    return withSuffix("class name pattern is invalid: ", parts.classPattern);
  }
  if (parts.classAnnotationPattern.length > 0 && !isValidClassNamePattern(parts.classAnnotationPattern, true)) {
    return withSuffix("class annotation pattern is invalid: ", parts.classAnnotationPattern);
  }

  if (!splitAnnotation(pattern.substring(colon + 1, open).trim(), parts.methodAnnotationPattern,
                       parts.methodPattern)) {
    return YString(methodAnnotationSyntaxError);
  }
  const YString& method = parts.methodPattern;
  if (!isValidMethodNamePattern(method, true) && !method.equals("<init>") && !method.equals("<clinit>")) {
    return withSuffix("method name pattern is invalid: ", method);
  }
  if (parts.methodAnnotationPattern.length > 0 && !isValidClassNamePattern(parts.methodAnnotationPattern, true)) {
    return withSuffix("method annotation pattern is invalid: ", parts.methodAnnotationPattern);
  }

  // Everything after the first ")" is the return type, so a second ")" is refused there rather than
  // skipped together with what stands before it.
  parts.returnTypePattern = pattern.substringFrom(close + 1).trim();
  if (parts.returnTypePattern.length == 0) {
    parts.returnTypePattern = YString("*");
  } else {
    if (!isValidTypePattern(parts.returnTypePattern)) {
      return withSuffix("return type pattern is invalid: ", parts.returnTypePattern);
    }
    expandCommonTypeName(&parts.returnTypePattern);
  }

  return parseParameters(pattern.substring(open + 1, close), parts.parameterListPattern);
}

bool isValidMethodNamePattern(const YString& text, bool wildcards) {
  if (text.length == 0) return false;
  for (int32_t i = 0; i < text.length; i++) {
    const char c = text.data[i];
    const bool allowed = isIdentifierCharacter(c) || (wildcards && c == '*') || (i > 0 && c >= '0' && c <= '9');
    if (!allowed) return false;
  }
  return true;
}

bool isValidClassNamePattern(const YString& text, bool wildcards) {
  if (text.length == 0 || text.data[0] == '.' || text.data[text.length - 1] == '.' || text.contains("..")) {
    return false;
  }
  int32_t start = 0;
  for (int32_t i = 0; i <= text.length; i++) {
    if (i < text.length && text.data[i] != '.') continue;
    if (!isValidMethodNamePattern(text.substring(start, i), wildcards)) return false;
    start = i + 1;
  }
  return true;
}

bool isValidTypePattern(const YString& text) {
  int32_t bracket = 0;
  while (bracket < text.length && text.data[bracket] != '[' && text.data[bracket] != ']') bracket++;
  if (bracket == text.length) return isValidClassNamePattern(text, true);
  if (!isValidClassNamePattern(text.substring(0, bracket), true)) return false;
  const YString brackets = text.substringFrom(bracket);
  if (brackets.data[0] == ']' || brackets.data[brackets.length - 1] == '[') return false;
  if (brackets.contains("[[") || brackets.contains("]]")) return false;
  for (int32_t i = 0; i < brackets.length; i++) {
    const char c = brackets.data[i];
    if (c != '[' && c != ']' && c != '*') return false;
  }
  return true;
}

void expandCommonTypeName(YString* text) {
  if (text == nullptr) assertionFailed("assertion failed: value is NULL", "SignatureUtil", __LINE__);
  static const char* const expansions[][2] = {
      {"String", "java.lang.String"}, {"String[]", "java.lang.String[]"}, {"Object", "java.lang.Object"},
      {"Object[]", "java.lang.Object[]"}, {"Class", "java.lang.Class"},
  };
  for (const auto& expansion : expansions) {
    if (text->equals(expansion[0])) {
      text->assign(expansion[1]);
      return;
    }
  }
}

YString descriptorToJavaTypeName(const char* descriptor) {
  return typeName(descriptor, checkedLength(descriptor, __LINE__));
}

YString methodDescriptorToReturnTypeName(const char* descriptor) {
  const int32_t length = checkedLength(descriptor, __LINE__);
  const int32_t close = lastIndexOf(descriptor, length, ')');
  if (close < 1) return YString("void");
  return typeName(descriptor + close + 1, length - close - 1);
}

YString methodDescriptorToParameterList(const char* descriptor) {
  YString list;
  methodDescriptorToParameterList(descriptor, list);
  return list;
}

void methodDescriptorToParameterList(const char* descriptor, YString& list) {
  const int32_t close = lastIndexOf(descriptor, checkedLength(descriptor, __LINE__), ')');
  list.clear();
  list.append('(');
  for (int32_t start = 1; start < close;) {
    if (start > 1) list.append(", ");
    const int32_t end = parameterEnd(descriptor, start, close);
    if (end < 0) {
      appendDotted(list, descriptor + start, close - start);
      break;
    }
    appendTypeName(list, descriptor + start, end - start);
    start = end;
  }
  list.append(')');
}

void descriptorToJavaTypeName(const char* descriptor, YString& name) {
  const int32_t length = checkedLength(descriptor, __LINE__);
  name.clear();
  appendTypeName(name, descriptor, length);
}
