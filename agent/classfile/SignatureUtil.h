#pragma once

#include "agent/support/YString.h"

// Method patterns as users write them ("@<annotation> <class> : @<annotation> <method>(<params>) <return>"),
// and JVM descriptors and internal class names turned into Java source type names (int,
// java.lang.String, byte[][], (int, java.lang.String)). Stateless; safe on any thread.

// What a valid method pattern consists of, every text trimmed. The parameter list is always in
// parentheses with ", " between items; the return type is "*" when the pattern gives none; the
// annotation patterns are empty when there is none. Common type names are expanded.
struct MethodPatternParts {
  YString classPattern;
  YString methodPattern;
  YString parameterListPattern;
  YString returnTypePattern;
  YString classAnnotationPattern;
  YString methodAnnotationPattern;
};

// Empty when the pattern is valid, else the first error found. `parts` is cleared first and holds what
// was parsed before an error.
YString parseMethodPattern(const YString& pattern, MethodPatternParts& parts);

// Identifier characters are ASCII letters, "$", "_" and every byte of 0x80 and above; digits may follow
// the first character; "*" anywhere when wildcards are allowed.
bool isValidMethodNamePattern(const YString& text, bool wildcards);
// Method name patterns joined by single dots.
bool isValidClassNamePattern(const YString& text, bool wildcards);
// A class name pattern, optionally followed by brackets that may hold "*": int[], java.lang.String[*].
bool isValidTypePattern(const YString& text);
// String, String[], Object, Object[] and Class become their java.lang names; every other text stays.
void expandCommonTypeName(YString* text);

// A field descriptor ([[I, Ljava/lang/String;) or an internal class name (java/lang/Thread) as a Java
// type name (int[][], java.lang.String, java.lang.Thread). Other texts come back with "/" turned into ".".
YString descriptorToJavaTypeName(const char* descriptor);
// The same into `name`, which keeps its room: for loops that convert many descriptors.
void descriptorToJavaTypeName(const char* descriptor, YString& name);
// The return type's name; "void" when the descriptor has no ")" past its first character.
YString methodDescriptorToReturnTypeName(const char* descriptor);
// "(int, java.lang.String[], long)". A malformed parameter ends the walk: the rest of the parameter text
// is appended as it stands (with "/" turned into "."), so the result is always closed and never reaches
// past the last ")".
YString methodDescriptorToParameterList(const char* descriptor);
void methodDescriptorToParameterList(const char* descriptor, YString& list);
