#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "agent/classfile/AnnotationReaders.h"
#include "agent/classfile/SimpleAttributes.h"
#include "tests/unit/classfile/AttributeTestSupport.h"
#include "tests/unit/classfile/FailureWithoutLine.h"

namespace {

const char* const PROBES = "Lcom/brantel/probes/";

// The attributes of one class or method, owned.
struct AttributeList {
  YVector<AttributeInfo*> attributes;
  ~AttributeList() { attributes.deleteElements(); }
  void add(const Bytes& bytes, const ConstantPool& pool) { attributes.add(readAttribute(bytes, pool).release()); }
};

// An annotation whose pairs hold every form of element value, nested annotations and arrays included,
// with indices that name nothing: skipping reads no entry but the annotation types.
Bytes everyElementValue(TestPool& pool) {
  const int32_t nested = pool.utf8("Lx/Nested;");
  return ByteBuilder()
      .u2(pool.utf8("Lx/Complex;")).u2(6)
      .u2(0xFFFF).u1('e').u2(0xFFFF).u2(0xFFFF)
      .u2(0xFFFF).u1('c').u2(0xFFFF)
      .u2(0xFFFF).u1('@').u2(nested).u2(1)
      /**/.u2(0xFFFF).u1('[').u2(2).u1('s').u2(0xFFFF).u1('@').u2(nested).u2(0)
      .u2(0xFFFF).u1('[').u2(3).u1('I').u2(0xFFFF).u1('J').u2(0xFFFF).u1('[').u2(0)
      .u2(0xFFFF).u1('[').u2(8).u1('B').u2(1).u1('C').u2(2).u1('D').u2(3).u1('F').u2(4).u1('S').u2(5)
      /**/.u1('Z').u2(6).u1('s').u2(7).u1('x').u2(8)  // 'x' is no tag of the format: one index all the same
      .u2(0xFFFF).u1('@').u2(nested).u2(0)
      .bytes;
}

TEST(Annotations, MatchingSkipsNestedValuesWithoutLosingItsPlace) {
  TestPool pool;
  const int32_t visible = pool.utf8("RuntimeVisibleAnnotations");
  const int32_t stateless = pool.utf8("Ljavax/ejb/Stateless;");
  const Bytes body = ByteBuilder().u2(2).raw(everyElementValue(pool)).u2(stateless).u2(0).bytes;
  AttributeList list;
  list.add(ByteBuilder().attribute(visible, body).bytes, pool.pool);
  const std::vector<std::pair<const char*, bool>> patterns = {
      {"Ljavax/ejb/*", true},   {"Ljavax/ejb/Stateless;", true}, {"Lx/Complex;", true}, {"*", true},
      {"", true},               {"Ljavax/ejb/Stateful;", false}, {"Lx/Nested;", false},  // nested only
      {"Ljavax/ejb/", false},   {"javax/ejb/*", false},
  };
  for (const auto& [pattern, matches] : patterns) {
    SCOPED_TRACE(pattern);
    EXPECT_EQ(hasAnnotationMatching(YString(pattern), list.attributes, pool.pool), matches);
  }
}

// Only the visible and invisible annotations attributes count, in any number and order.
TEST(Annotations, MatchingLooksIntoBothAnnotationAttributesOnly) {
  TestPool pool;
  const int32_t stateless = pool.utf8("Ljavax/ejb/Stateless;");
  const Bytes oneAnnotation = ByteBuilder().u2(1).u2(stateless).u2(0).bytes;
  const Bytes parameterForm = ByteBuilder().u1(1).raw(oneAnnotation).bytes;
  const YString pattern("Ljavax/ejb/*");
  AttributeList list;
  EXPECT_TRUE(hasAnnotationMatching(YString(""), list.attributes, pool.pool));
  EXPECT_FALSE(hasAnnotationMatching(pattern, list.attributes, pool.pool));
  list.add(ByteBuilder().attribute(pool.utf8("RuntimeVisibleParameterAnnotations"), parameterForm).bytes, pool.pool);
  list.add(ByteBuilder().attribute(pool.utf8("RuntimeInvisibleParameterAnnotations"), parameterForm).bytes, pool.pool);
  list.add(ByteBuilder().attribute(pool.utf8("Signature"), oneAnnotation).bytes, pool.pool);
  list.add(ByteBuilder().attribute(pool.utf8("RuntimeVisibleAnnotations"), {0x00, 0x00}).bytes, pool.pool);
  EXPECT_FALSE(hasAnnotationMatching(pattern, list.attributes, pool.pool));
  list.add(ByteBuilder().attribute(pool.utf8("RuntimeInvisibleAnnotations"), oneAnnotation).bytes, pool.pool);
  EXPECT_TRUE(hasAnnotationMatching(pattern, list.attributes, pool.pool));
}

// An array of `depth` nested arrays (or annotations) of one element around an int.
Bytes nestedValue(int32_t depth, char tag) {
  ByteBuilder value;
  for (int32_t i = 0; i < depth; i++) {
    if (tag == '[') {
      value.u1('[').u2(1);
    } else {
      value.u1('@').u2(1).u2(1).u2(0xFFFF);  // type, one pair, its name
    }
  }
  return value.u1('I').u2(0xFFFF).bytes;
}

TEST(Annotations, MalformedAnnotationsAreFatal) {
  TestPool pool;
  const int32_t visible = pool.utf8("RuntimeVisibleAnnotations");
  const int32_t type = pool.utf8("Lx/A;");
  const int32_t klass = pool.classNamed("Lx/A;");
  const auto failure = [&](const Bytes& body) {
    AttributeList list;
    list.add(ByteBuilder().attribute(visible, body).bytes, pool.pool);
    return failureOf([&] { hasAnnotationMatching(YString("Lnothing;"), list.attributes, pool.pool); });
  };
  const auto annotationWith = [&](const Bytes& value) {
    return ByteBuilder().u2(1).u2(type).u2(1).u2(0xFFFF).raw(value).bytes;
  };
  // Deep but plausible nesting is read; nesting beyond what Java source can produce is refused before
  // it can exhaust the stack.
  AttributeList deep;
  deep.add(ByteBuilder().attribute(visible, annotationWith(nestedValue(60, '['))).bytes, pool.pool);
  deep.add(ByteBuilder().attribute(visible, annotationWith(nestedValue(60, '@'))).bytes, pool.pool);
  EXPECT_FALSE(hasAnnotationMatching(YString("Lnothing;"), deep.attributes, pool.pool));
  EXPECT_EQ(failure(annotationWith(nestedValue(5000, '['))), "error at AnnotationsAttribute: assertion failed");
  EXPECT_EQ(failure(annotationWith(nestedValue(5000, '@'))), "error at AnnotationsAttribute: assertion failed");

  EXPECT_EQ(failure({}), "error at YVector: op=yvector::[] 0 0");
  EXPECT_EQ(failure(ByteBuilder().u2(2).u2(type).u2(0).bytes), "error at YVector: op=yvector::[] 6 6");
  EXPECT_EQ(failure(annotationWith({'['})), "error at YVector: op=yvector::[] 9 9");
  EXPECT_EQ(failure(ByteBuilder().u2(1).u2(klass).u2(0).bytes), "error at AnnotationsAttribute: assertion failed");
  EXPECT_EQ(failure(ByteBuilder().u2(1).u2(pool.pool.size).u2(0).bytes),
            "error at YVector: op=yvector::[] " + std::to_string(pool.pool.size) + " " +
                std::to_string(pool.pool.size));
}

// Class-level probe annotations, read from an invisible annotations attribute built by hand; javac's own
// output is read by the fixture tests of the class corpus.
TEST(Annotations, ProbeAnnotationsFillTheirOutputs) {
  TestPool pool;
  const int32_t invisible = pool.utf8("RuntimeInvisibleAnnotations");
  const int32_t value = pool.utf8("value");
  const auto probe = [&](const char* name) { return pool.utf8((std::string(PROBES) + name + ";").c_str()); };
  const Bytes body = ByteBuilder()
                         .u2(5)
                         .u2(probe("MethodPattern")).u2(1).u2(value).u1('[').u2(2)
                         /**/.u1('s').u2(pool.utf8("a.B:m()")).u1('s').u2(pool.utf8("c.D:*(*)"))
                         .raw(everyElementValue(pool))
                         .u2(probe("InstanceOf")).u2(1).u2(value).u1('s').u2(pool.utf8("java.util.Map"))
                         .u2(probe("RetransformIfInstanceOf")).u2(1).u2(value).u1('[').u2(1)
                         /**/.u1('s').u2(pool.utf8("java.util.AbstractMap"))
                         .u2(probe("DiscardThrownException")).u2(1).u2(value).u1('@').u2(value).u2(0)
                         .bytes;
  const auto attribute = readAttribute(ByteBuilder().attribute(invisible, body).bytes, pool.pool);
  YVector<YString> patterns;
  patterns.add(YString("kept"));
  YVector<YString> retransform;
  YString instanceOf;
  bool discard = false;
  readProbeAnnotations(as<AnnotationsAttribute>(attribute), pool.pool, patterns, instanceOf, retransform, discard);
  EXPECT_EQ(strings(patterns), (std::vector<std::string>{"kept", "a.B:m()", "c.D:*(*)"}));
  EXPECT_STREQ(instanceOf.data, "java/util/Map");
  EXPECT_EQ(strings(retransform), (std::vector<std::string>{"java.util.AbstractMap"}));
  EXPECT_TRUE(discard);
}

TEST(Annotations, ProbeAnnotationsOfTheWrongShapeAreFatal) {
  TestPool pool;
  const int32_t invisible = pool.utf8("RuntimeInvisibleAnnotations");
  const int32_t value = pool.utf8("value");
  const int32_t text = pool.utf8("java.util.Map");
  const int32_t number = pool.integer(3);
  const int32_t klass = pool.classNamed("value");
  const int32_t instanceOf = pool.utf8("Lcom/brantel/probes/InstanceOf;");
  const int32_t methodPattern = pool.utf8("Lcom/brantel/probes/MethodPattern;");
  const std::vector<std::pair<const char*, Bytes>> cases = {
      {"no pair", ByteBuilder().u2(instanceOf).u2(0).bytes},
      {"two pairs", ByteBuilder().u2(instanceOf).u2(2).u2(value).u1('s').u2(text).u2(value).u1('s').u2(text).bytes},
      {"another element", ByteBuilder().u2(instanceOf).u2(1).u2(text).u1('s').u2(text).bytes},
      {"an element name that is no Utf8", ByteBuilder().u2(instanceOf).u2(1).u2(klass).u1('s').u2(text).bytes},
      {"an int for a string", ByteBuilder().u2(instanceOf).u2(1).u2(value).u1('I').u2(number).bytes},
      {"a string index naming an Int", ByteBuilder().u2(instanceOf).u2(1).u2(value).u1('s').u2(number).bytes},
      {"a string for an array", ByteBuilder().u2(methodPattern).u2(1).u2(value).u1('s').u2(text).bytes},
      {"an int in the array", ByteBuilder().u2(methodPattern).u2(1).u2(value).u1('[').u2(2).u1('s').u2(text)
                                  .u1('I').u2(number).bytes},
  };
  for (const auto& [what, annotation] : cases) {
    SCOPED_TRACE(what);
    const Bytes body = ByteBuilder().u2(1).raw(annotation).bytes;
    const auto attribute = readAttribute(ByteBuilder().attribute(invisible, body).bytes, pool.pool);
    YVector<YString> patterns, retransform;
    YString instance;
    bool discard = false;
    EXPECT_EQ(failureOf([&] {
                readProbeAnnotations(as<AnnotationsAttribute>(attribute), pool.pool, patterns, instance, retransform,
                                     discard);
              }),
              "error at AnnotationsAttribute: assertion failed");
  }
}

struct Parameter {
  std::string type;
  int32_t kind;
  int32_t index;
  bool out;
  bool operator==(const Parameter& other) const {
    return type == other.type && kind == other.kind && index == other.index && out == other.out;
  }
};

std::ostream& operator<<(std::ostream& stream, const Parameter& p) {
  return stream << "{" << p.type << " kind " << p.kind << " index " << p.index << (p.out ? " out}" : "}");
}

std::vector<Parameter> parametersOf(const YVector<CallbackParameter>& parameters) {
  std::vector<Parameter> result;
  for (int32_t i = 0; i < parameters.size; i++) {
    const CallbackParameter& p = parameters[i];
    result.push_back({std::string(p.type.data, size_t(p.type.length)), p.kind, p.index, p.out});
  }
  return result;
}

// A parameter-annotations attribute for the listed parameters, each a list of annotations.
struct ParameterAnnotations {
  TestPool pool;
  int32_t value = pool.utf8("value");
  int32_t name = pool.utf8("RuntimeInvisibleParameterAnnotations");

  Bytes marker(const char* probe) {
    return ByteBuilder().u2(pool.utf8((std::string(PROBES) + probe + ";").c_str())).u2(0).bytes;
  }
  Bytes param(int32_t index) {
    const int32_t type = pool.utf8("Lcom/brantel/probes/Param;");
    return ByteBuilder().u2(type).u2(1).u2(value).u1('I').u2(pool.integer(index)).bytes;
  }
  std::unique_ptr<AttributeInfo> attribute(const std::vector<std::vector<Bytes>>& parameters) {
    ByteBuilder body;
    body.u1(int32_t(parameters.size()));
    for (const auto& annotations : parameters) {
      body.u2(int32_t(annotations.size()));
      for (const Bytes& annotation : annotations) body.raw(annotation);
    }
    return readAttribute(ByteBuilder().attribute(name, body.bytes).bytes, pool.pool);
  }
};

YVector<YString> typesOf(const std::vector<const char*>& types) {
  YVector<YString> result;
  for (const char* type : types) result.add(YString(type));
  return result;
}

TEST(Annotations, ParameterKindsComeFromTheFirstProbeAnnotationAndSeveralMakeKind12) {
  ParameterAnnotations p;
  const int32_t other = p.pool.utf8("Lx/Other;");
  const auto attribute = p.attribute({
      {p.param(2), p.marker("Out")},
      {p.marker("This"), p.marker("ReturnValue")},
      {p.marker("This"), p.param(3)},  // the later Param's index is not taken
      {p.param(3), p.marker("This")},  // the earlier one's stays
      {ByteBuilder().u2(other).u2(1).u2(p.value).raw(nestedValue(3, '@')).bytes, p.marker("MethodName")},
      {p.marker("Out"), p.marker("Unknown")},
      {},
  });
  YVector<CallbackParameter> parameters;
  readProbeParameterAnnotations(as<ParameterAnnotationsAttribute>(attribute), p.pool.pool,
                                typesOf({"I", "Ljava/lang/Object;", "J", "[I", "Ljava/lang/String;", "D", "Z"}),
                                &parameters);
  EXPECT_EQ(parametersOf(parameters), (std::vector<Parameter>{
                                          {"I", 0, 2, true},
                                          {"Ljava/lang/Object;", 12, -1, false},
                                          {"J", 12, -1, false},
                                          {"[I", 12, 3, false},
                                          {"Ljava/lang/String;", 7, -1, false},
                                          {"D", 11, -1, true},
                                          {"Z", 11, -1, false},
                                      }));
}

TEST(Annotations, EveryProbeMarkerHasItsKind) {
  const std::vector<std::pair<const char*, int32_t>> markers = {
      {"Params", 1},        {"This", 2},       {"ReturnValue", 3},     {"ThrownException", 4},
      {"OnEnterResult", 5}, {"MethodTimeMs", 6}, {"MethodName", 7}, {"MethodSignature", 8},
      {"MethodParameterTypes", 9}, {"ClassRef", 10}, {"Out", 11},
  };
  ParameterAnnotations p;
  std::vector<std::vector<Bytes>> parameters;
  std::vector<const char*> types;
  for (const auto& marker : markers) {
    parameters.push_back({p.marker(marker.first)});
    types.push_back("I");
  }
  types.push_back("J");  // the attribute may list fewer parameters than the method has
  const auto attribute = p.attribute(parameters);
  YVector<CallbackParameter> result;
  readProbeParameterAnnotations(as<ParameterAnnotationsAttribute>(attribute), p.pool.pool, typesOf(types), &result);
  ASSERT_EQ(result.size, int32_t(markers.size()));
  for (int32_t i = 0; i < result.size; i++) {
    SCOPED_TRACE(markers[size_t(i)].first);
    EXPECT_EQ(result[i].kind, markers[size_t(i)].second);
    EXPECT_EQ(result[i].index, -1);
  }
}

TEST(Annotations, MalformedParameterAnnotationsAreFatal) {
  ParameterAnnotations p;
  const auto one = p.attribute({{p.marker("This")}});
  const auto& attribute = as<ParameterAnnotationsAttribute>(one);
  YVector<CallbackParameter> result;
  EXPECT_EQ(failureOf([&] { readProbeParameterAnnotations(attribute, p.pool.pool, typesOf({"I"}), nullptr); }),
            "error at AnnotationsAttribute: assertion failed: value is NULL");
  // More parameters than the descriptor has arguments.
  EXPECT_EQ(failureOf([&] { readProbeParameterAnnotations(attribute, p.pool.pool, typesOf({}), &result); }),
            "error at AnnotationsAttribute: assertion failed");
  const int32_t paramType = p.pool.utf8("Lcom/brantel/probes/Param;");
  const Bytes paramOfString = ByteBuilder().u2(paramType).u2(1).u2(p.value).u1('s').u2(p.value).bytes;
  const Bytes paramOfUtf8 = ByteBuilder().u2(paramType).u2(1).u2(p.value).u1('I').u2(p.value).bytes;
  for (const Bytes& annotation : {paramOfString, paramOfUtf8}) {
    const auto malformed = p.attribute({{annotation}});
    EXPECT_EQ(failureOf([&] {
                readProbeParameterAnnotations(as<ParameterAnnotationsAttribute>(malformed), p.pool.pool, typesOf({"I"}),
                                              &result);
              }),
              "error at AnnotationsAttribute: assertion failed");
  }
}

}  // namespace
