#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/classfile/SignatureUtil.h"
#include "tests/unit/classfile/FailureWithoutLine.h"

namespace {

std::string str(const YString& text) { return std::string(text.data, size_t(text.length)); }

struct ValidPattern {
  const char* pattern;
  const char* classPattern;
  const char* methodPattern;
  const char* parameters;
  const char* returnType;
  const char* classAnnotation;
  const char* methodAnnotation;
};

const char syntax[] = "invalid pattern syntax, must be <class>:<method>(<params>)";
const char classAnnotationSyntax[] =
    "class pattern with annotation is invalid, must be: @<annotation pattern> <class pattern>";
const char methodAnnotationSyntax[] =
    "method pattern with annotation is invalid, must be: @<annotation pattern> <method pattern>";

const ValidPattern validPatterns[] = {
    {"*:*(*)", "*", "*", "(*)", "*", "", ""},
    {"java.lang.Thread : sleep(*)", "java.lang.Thread", "sleep", "(*)", "*", "", ""},
    {"com.foo.Bar:baz()", "com.foo.Bar", "baz", "()", "*", "", ""},
    {"  a.B:m()  \t", "a.B", "m", "()", "*", "", ""},
    {"*.*Service:get*(String, *) *", "*.*Service", "get*", "(java.lang.String, *)", "*", "", ""},
    {"a.B:m(String,int)", "a.B", "m", "(java.lang.String, int)", "*", "", ""},
    {"a.B:m( String , int[] , Object[] )", "a.B", "m", "(java.lang.String, int[], java.lang.Object[])", "*", "", ""},
    {"a.B:m(Class, Class[], String[][], Object)", "a.B", "m",
     "(java.lang.Class, Class[], String[][], java.lang.Object)", "*", "", ""},
    {"a.B:m(int) String", "a.B", "m", "(int)", "java.lang.String", "", ""},
    {"a.B:m(int)String[]", "a.B", "m", "(int)", "java.lang.String[]", "", ""},
    {"a.B:m(int) int[*]", "a.B", "m", "(int)", "int[*]", "", ""},
    {"a.B:m(java.util.Map$Entry[][]) Class[]", "a.B", "m", "(java.util.Map$Entry[][])", "Class[]", "", ""},
    {"a.B:m(   )", "a.B", "m", "()", "*", "", ""},
    {"a.B:m(,,)", "a.B", "m", "()", "*", "", ""},
    {"a.B:m(,int,,long,)", "a.B", "m", "(int, long)", "*", "", ""},
    {"a.B:<init>(*)", "a.B", "<init>", "(*)", "*", "", ""},
    {"a.B:<clinit>()", "a.B", "<clinit>", "()", "*", "", ""},
    {"a.B:m9$_*x()", "a.B", "m9$_*x", "()", "*", "", ""},
    {"p\xC3\xBC.\xC3\x9C:m\xC3\xA9()", "p\xC3\xBC.\xC3\x9C", "m\xC3\xA9", "()", "*", "", ""},
    {"@Deprecated a.B:m()", "a.B", "m", "()", "*", "Deprecated", ""},
    {"@com.x.Ann  a.B : @Inject  m(*)", "a.B", "m", "(*)", "*", "com.x.Ann", "Inject"},
    {"@ *Ann a.B:m()", "a.B", "m", "()", "*", "*Ann", ""},
    {"a.B:@Ann m()", "a.B", "m", "()", "*", "", "Ann"},
};

struct InvalidPattern {
  const char* pattern;
  const char* error;
};

const InvalidPattern invalidPatterns[] = {
    // The syntax check comes first.
    {"a.B.m(int)", syntax},
    {"a.B:m)int(", syntax},
    {"a(B:m)", syntax},
    {"a.B:m(int", syntax},
    {"", syntax},
    // Then the class part, the method part, the return type and the parameters, in this order.
    {"@Ann:m()", classAnnotationSyntax},
    {"@ a.B:m()", classAnnotationSyntax},
    {"@   a.B:m()", classAnnotationSyntax},  // an annotation of blanks alone
    {"a..B:9m(x y) z w", "class name pattern is invalid: a..B"},
    {".a.B:m()", "class name pattern is invalid: .a.B"},
    {"a.B.:m()", "class name pattern is invalid: a.B."},
    {":m()", "class name pattern is invalid: "},
    {"a.1B:m()", "class name pattern is invalid: a.1B"},
    {"a-b:m()", "class name pattern is invalid: a-b"},
    {"@A..b a.B:m()", "class annotation pattern is invalid: A..b"},
    {"a.B:@m()", methodAnnotationSyntax},
    {"a.B:@ m()", methodAnnotationSyntax},
    {"a.B:9m(x y) z w", "method name pattern is invalid: 9m"},
    {"a.B:m.n()", "method name pattern is invalid: m.n"},
    {"a.B:<*>()", "method name pattern is invalid: <*>"},
    {"a.B:<init>x()", "method name pattern is invalid: <init>x"},
    {"a:b:c()", "method name pattern is invalid: b:c"},
    {"a.B:(int)", "method name pattern is invalid: "},
    {"a.B:@A-b m()", "method annotation pattern is invalid: A-b"},
    {"a.B:m(x y) z w", "return type pattern is invalid: z w"},
    {"a.B:m(int) int[x]", "return type pattern is invalid: int[x]"},
    // Text after a second ")" is part of the return type, not skipped.
    {"a.B:m(int))", "return type pattern is invalid: )"},
    {"a.B:m(int)foo)", "return type pattern is invalid: foo)"},
    {"a.B:m(int) (x)", "return type pattern is invalid: (x)"},
    {"a.B:m(int, )", "parameter pattern is invalid: "},
    {"a.B:m(int,x y)", "parameter pattern is invalid: x y"},
    {"a.B:m(int])", "parameter pattern is invalid: int]"},
    {"a.B:m(int[)", "parameter pattern is invalid: int["},
    {"a.B:m(int[[]])", "parameter pattern is invalid: int[[]]"},
    {"a.B:m([])", "parameter pattern is invalid: []"},
    {"a.B:m(int(x)", "parameter pattern is invalid: int(x"},
};

}  // namespace

TEST(MethodPattern, ValidPatternsGiveTheirSixParts) {
  for (const ValidPattern& c : validPatterns) {
    SCOPED_TRACE(c.pattern);
    MethodPatternParts parts;
    EXPECT_EQ(str(parseMethodPattern(YString(c.pattern), parts)), "");
    EXPECT_EQ(str(parts.classPattern), c.classPattern);
    EXPECT_EQ(str(parts.methodPattern), c.methodPattern);
    EXPECT_EQ(str(parts.parameterListPattern), c.parameters);
    EXPECT_EQ(str(parts.returnTypePattern), c.returnType);
    EXPECT_EQ(str(parts.classAnnotationPattern), c.classAnnotation);
    EXPECT_EQ(str(parts.methodAnnotationPattern), c.methodAnnotation);
  }
}

TEST(MethodPattern, InvalidPatternsGiveTheFirstError) {
  for (const InvalidPattern& c : invalidPatterns) {
    SCOPED_TRACE(c.pattern);
    MethodPatternParts parts;
    EXPECT_EQ(str(parseMethodPattern(YString(c.pattern), parts)), c.error);
  }
}

TEST(MethodPattern, OutputsOfAnEarlierParseDoNotLinger) {
  MethodPatternParts parts;
  EXPECT_EQ(str(parseMethodPattern(YString("@A a.B:@M m(int) long"), parts)), "");
  EXPECT_EQ(str(parseMethodPattern(YString("c.D:n()"), parts)), "");
  EXPECT_EQ(str(parts.classAnnotationPattern), "");
  EXPECT_EQ(str(parts.methodAnnotationPattern), "");
  EXPECT_EQ(str(parts.returnTypePattern), "*");
}

TEST(NamePatterns, WildcardsOnlyWhenAllowed) {
  struct Case { const char* text; bool withWildcards; bool without; };
  for (const Case& c : std::vector<Case>{{"run", true, true}, {"_$x9", true, true}, {"*", true, false},
                                         {"get*", true, false}, {"9a", false, false}, {"", false, false},
                                         {"a.b", false, false}, {"\xC3\xA9t\xC3\xA9", true, true}}) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(isValidMethodNamePattern(YString(c.text), true), c.withWildcards);
    EXPECT_EQ(isValidMethodNamePattern(YString(c.text), false), c.without);
  }
  EXPECT_TRUE(isValidClassNamePattern(YString("java.lang.String"), false));
  EXPECT_TRUE(isValidClassNamePattern(YString("int"), false));
  EXPECT_FALSE(isValidClassNamePattern(YString("java.*"), false));
  EXPECT_TRUE(isValidClassNamePattern(YString("java.*"), true));
  for (const char* invalid : {"", ".", "a.", ".a", "a..b", "a.9b", "a b"}) {
    EXPECT_FALSE(isValidClassNamePattern(YString(invalid), true)) << invalid;
  }
}

TEST(NamePatterns, TypePatternsTakeBracketsAndStarsAfterAName) {
  for (const char* valid : {"int", "int[]", "java.lang.String[][]", "int[*]", "*[]", "a.*.B[][*]"}) {
    EXPECT_TRUE(isValidTypePattern(YString(valid))) << valid;
  }
  for (const char* invalid : {"int]", "int[", "int[[]]", "int[]]", "int[x]", "[]", "int []", "int[]a", ""}) {
    EXPECT_FALSE(isValidTypePattern(YString(invalid))) << invalid;
  }
}

TEST(CommonTypeNames, OnlyWholeListedTextsExpand) {
  struct Case { const char* text; const char* expanded; };
  for (const Case& c : std::vector<Case>{{"String", "java.lang.String"}, {"String[]", "java.lang.String[]"},
                                         {"Object", "java.lang.Object"}, {"Object[]", "java.lang.Object[]"},
                                         {"Class", "java.lang.Class"}, {"Class[]", "Class[]"},
                                         {"String[][]", "String[][]"}, {"string", "string"},
                                         {"Strings", "Strings"}, {"", ""}}) {
    YString text(c.text);
    expandCommonTypeName(&text);
    EXPECT_EQ(str(text), c.expanded);
  }
  EXPECT_EQ(failureOf([] { expandCommonTypeName(nullptr); }),
            "error at SignatureUtil: assertion failed: value is NULL");
}

TEST(JavaTypeNames, FromFieldDescriptorsAndInternalNames) {
  struct Case { const char* descriptor; const char* name; };
  for (const Case& c : std::vector<Case>{
           {"B", "byte"}, {"C", "char"}, {"D", "double"}, {"F", "float"}, {"I", "int"}, {"J", "long"},
           {"S", "short"}, {"Z", "boolean"}, {"V", "void"}, {"[[I", "int[][]"},
           {"Ljava/lang/String;", "java.lang.String"}, {"[Ljava/util/Map$Entry;", "java.util.Map$Entry[]"},
           {"java/lang/Thread", "java.lang.Thread"}, {"[Ljava/lang/Thread", "Ljava.lang.Thread[]"},
           {"X", "X"}, {"II", "II"}, {"L", "L"}, {"L;", ""}, {"", ""}, {"[[", "[][]"}}) {
    EXPECT_EQ(str(descriptorToJavaTypeName(c.descriptor)), c.name) << c.descriptor;
  }
}

TEST(JavaTypeNames, ReturnTypeOfAMethodDescriptor) {
  struct Case { const char* descriptor; const char* name; };
  for (const Case& c : std::vector<Case>{{"()V", "void"},
                                         {"(I)[Ljava/lang/String;", "java.lang.String[]"},
                                         {"(Ljava/lang/String;)J", "long"},
                                         {"()Ljava/lang/Object;", "java.lang.Object"},
                                         {")I", "void"},
                                         {"I", "void"},
                                         {"", "void"},
                                         {"(I)", ""}}) {
    EXPECT_EQ(str(methodDescriptorToReturnTypeName(c.descriptor)), c.name) << c.descriptor;
  }
}

TEST(JavaTypeNames, ParameterListOfAMethodDescriptor) {
  struct Case { const char* descriptor; const char* list; };
  for (const Case& c : std::vector<Case>{
           {"()V", "()"},
           {"(I[Ljava/lang/String;J)V", "(int, java.lang.String[], long)"},
           {"([[BLjava/util/List;ZCDFS)V", "(byte[][], java.util.List, boolean, char, double, float, short)"},
           {"(Ljava/util/Map$Entry;[[Ljava/lang/Object;)I", "(java.util.Map$Entry, java.lang.Object[][])"},
           // Malformed descriptors end with the rest taken as it stands, always closed.
           {"(IX)V", "(int, X)"},
           {"(Ljava/lang/String)V", "(Ljava.lang.String)"},
           {"(I[)V", "(int, [)"},
           {"(V)V", "(V)"},
           {"(I)I)V", "(int, )I)"},
           {"(I[Ljava/lang/String", "()"},
           {"(I", "()"},
           {"(", "()"},
           {"", "()"},
           {")", "()"}}) {
    EXPECT_EQ(str(methodDescriptorToParameterList(c.descriptor)), c.list) << c.descriptor;
  }
}

TEST(JavaTypeNames, NullDescriptorsAreRefused) {
  for (auto call : {+[] { descriptorToJavaTypeName(nullptr); }, +[] { methodDescriptorToReturnTypeName(nullptr); },
                    +[] { methodDescriptorToParameterList(nullptr); }}) {
    EXPECT_EQ(failureOf(call), "error at SignatureUtil: assertion failed: value is NULL");
  }
}
