// The annotation readers on class files that javac compiled from tests/classfile/fixtures: probe
// classes and callbacks carrying the probe annotations, and beans whose javax.ejb annotations stand after
// (or only inside) annotations full of nested values. The build compiles the fixtures and names their
// directory in TALLYSCOPE_PROBE_FIXTURES.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "agent/classfile/AnnotationReaders.h"
#include "agent/classfile/AttributeInfoReader.h"
#include "agent/classfile/SimpleAttributes.h"
#include "tests/classfile/ClassStructure.h"
#include "tests/classfile/CorpusFiles.h"

namespace {

// One compiled fixture class: its bytes, its layout, and the attributes of the class and of each method
// read with the agent's reader (all but the Code attributes, which the annotation readers never see).
class Fixture {
 public:
  explicit Fixture(const std::string& relativePath) {
    const char* directory = std::getenv("TALLYSCOPE_PROBE_FIXTURES");
    if (directory == nullptr) {
      ADD_FAILURE() << "TALLYSCOPE_PROBE_FIXTURES is not set";
      return;
    }
    bytes = readClassFile(std::string(directory) + "/" + relativePath);
    if (bytes.size == 0) {
      ADD_FAILURE() << "no class file " << relativePath << " in " << directory;
      return;
    }
    readClassStructure(bytes, structure);
    readAll(structure.attributes, classAttributes);
    for (const MemberSpans& method : structure.methods) {
      methods.emplace_back(method.name + method.descriptor, std::make_unique<Attributes>());
      readAll(method.attributes, *methods.back().second);
    }
  }

  struct Attributes {
    YVector<AttributeInfo*> list;
    ~Attributes() { list.deleteElements(); }
  };

  const ConstantPool& pool() const { return structure.pool; }
  const YVector<AttributeInfo*>& classLevel() const { return classAttributes.list; }

  const YVector<AttributeInfo*>& method(const std::string& nameAndDescriptor) const {
    for (const auto& [key, attributes] : methods) {
      if (key == nameAndDescriptor) return attributes->list;
    }
    ADD_FAILURE() << "no method " << nameAndDescriptor;
    return classAttributes.list;
  }

  // The one attribute of that name in the list, which must be of class T.
  template <class T>
  const T& named(const YVector<AttributeInfo*>& list, const char* name) const {
    const AttributeInfo* found = nullptr;
    for (int32_t i = 0; i < list.size; i++) {
      if (!list[i]->hasName(structure.pool, YString(name))) continue;
      EXPECT_EQ(found, nullptr) << "more than one " << name;
      found = list[i];
    }
    const T* typed = dynamic_cast<const T*>(found);
    if (typed == nullptr) throw std::runtime_error(std::string("no ") + name + " of the expected class");
    return *typed;
  }

 private:
  void readAll(const std::vector<AttributeSpan>& spans, Attributes& out) {
    for (const AttributeSpan& span : spans) {
      if (span.name == "Code") continue;
      const YVector<uint8_t> attributeBytes(bytes.data + span.start, span.length);
      DataInput in(attributeBytes);
      out.list.add(AttributeInfoReader::read(in, structure.pool, nullptr));
      EXPECT_EQ(in.getPosition(), span.length);
    }
  }

  YVector<uint8_t> bytes;
  ClassStructure structure;
  Attributes classAttributes;
  std::vector<std::pair<std::string, std::unique_ptr<Attributes>>> methods;
};

std::vector<std::string> strings(const YVector<YString>& texts) {
  std::vector<std::string> result;
  for (int32_t i = 0; i < texts.size; i++) result.emplace_back(texts[i].data, size_t(texts[i].length));
  return result;
}

struct Parameter {
  std::string type;
  int32_t kind;
  int32_t index;
  bool out;
  bool operator==(const Parameter& o) const {
    return type == o.type && kind == o.kind && index == o.index && out == o.out;
  }
};

std::ostream& operator<<(std::ostream& stream, const Parameter& p) {
  return stream << "{" << p.type << " kind " << p.kind << " index " << p.index << (p.out ? " out}" : "}");
}

std::vector<Parameter> parametersOf(const Fixture& fixture, const std::string& method,
                                    const std::vector<const char*>& argumentTypes) {
  YVector<YString> types;
  for (const char* type : argumentTypes) types.add(YString(type));
  YVector<CallbackParameter> parameters;
  const auto& attribute =
      fixture.named<ParameterAnnotationsAttribute>(fixture.method(method), "RuntimeInvisibleParameterAnnotations");
  readProbeParameterAnnotations(attribute, fixture.pool(), types, &parameters);
  std::vector<Parameter> result;
  for (int32_t i = 0; i < parameters.size; i++) {
    const CallbackParameter& p = parameters[i];
    result.push_back({std::string(p.type.data, size_t(p.type.length)), p.kind, p.index, p.out});
  }
  return result;
}

TEST(ProbeAnnotationFixtures, AProbeClassGivesItsPatternsInstanceOfAndFlags) {
  const Fixture probe("com/brantel/probes/MapProbe.class");
  YVector<YString> patterns, retransform;
  YString instanceOf;
  bool discard = false;
  const auto& annotations = probe.named<AnnotationsAttribute>(probe.classLevel(), "RuntimeInvisibleAnnotations");
  readProbeAnnotations(annotations, probe.pool(), patterns, instanceOf, retransform, discard);
  EXPECT_EQ(strings(patterns), (std::vector<std::string>{"java.util.HashMap:put(*)",
                                                         "java.util.TreeMap:get(java.lang.Object) java.lang.Object"}));
  EXPECT_STREQ(instanceOf.data, "java/util/Map");
  EXPECT_EQ(strings(retransform), (std::vector<std::string>{"java.util.AbstractMap", "java.util.SortedMap"}));
  EXPECT_TRUE(discard);
}

TEST(ProbeAnnotationFixtures, EmptyArraysGiveNothing) {
  const Fixture probe("com/brantel/probes/EmptyProbe.class");
  YVector<YString> patterns, retransform;
  YString instanceOf("unchanged");
  bool discard = false;
  const auto& annotations = probe.named<AnnotationsAttribute>(probe.classLevel(), "RuntimeInvisibleAnnotations");
  readProbeAnnotations(annotations, probe.pool(), patterns, instanceOf, retransform, discard);
  EXPECT_EQ(patterns.size, 0);
  EXPECT_EQ(retransform.size, 0);
  EXPECT_STREQ(instanceOf.data, "unchanged");
  EXPECT_FALSE(discard);
}

TEST(ProbeAnnotationFixtures, CallbackParametersGetTheirKindsIndicesAndOutFlags) {
  const Fixture probe("com/brantel/probes/MapProbe.class");
  EXPECT_EQ(parametersOf(probe, "onEnter(Ljava/lang/Object;Ljava/lang/Object;I[Ljava/lang/Object;)V",
                         {"Ljava/lang/Object;", "Ljava/lang/Object;", "I", "[Ljava/lang/Object;"}),
            (std::vector<Parameter>{
                {"Ljava/lang/Object;", CallbackParameter::KIND_THIS, -1, false},
                {"Ljava/lang/Object;", CallbackParameter::KIND_PARAM, 2, true},
                {"I", CallbackParameter::KIND_NONE, -1, false},
                {"[Ljava/lang/Object;", CallbackParameter::KIND_PARAMS, -1, false},
            }));
  EXPECT_EQ(parametersOf(probe,
                         "onExit(Ljava/lang/Object;Ljava/lang/String;Ljava/lang/Throwable;JJLjava/lang/String;"
                         "Ljava/lang/String;Ljava/lang/Class;Ljava/lang/Object;)V",
                         {"Ljava/lang/Object;", "Ljava/lang/String;", "Ljava/lang/Throwable;", "J", "J",
                          "Ljava/lang/String;", "Ljava/lang/String;", "Ljava/lang/Class;", "Ljava/lang/Object;"}),
            (std::vector<Parameter>{
                {"Ljava/lang/Object;", CallbackParameter::KIND_SEVERAL, -1, false},  // This and ReturnValue
                {"Ljava/lang/String;", CallbackParameter::KIND_METHOD_NAME, -1, false},
                {"Ljava/lang/Throwable;", CallbackParameter::KIND_THROWN_EXCEPTION, -1, false},
                {"J", CallbackParameter::KIND_ON_ENTER_RESULT, -1, false},
                {"J", CallbackParameter::KIND_METHOD_TIME_MS, -1, false},
                {"Ljava/lang/String;", CallbackParameter::KIND_METHOD_SIGNATURE, -1, false},
                {"Ljava/lang/String;", CallbackParameter::KIND_METHOD_PARAMETER_TYPES, -1, false},
                {"Ljava/lang/Class;", CallbackParameter::KIND_CLASS_REF, -1, false},
                {"Ljava/lang/Object;", CallbackParameter::KIND_SEVERAL, 1, false},  // Param(1), then ReturnValue
            }));
}

// javac lists no entry for the outer instance of an inner class's constructor: two entries for three
// arguments, typed by the first two.
TEST(ProbeAnnotationFixtures, FewerParameterEntriesThanArgumentsGiveOnlyThatMany) {
  const Fixture inner("com/brantel/probes/MapProbe$Inner.class");
  EXPECT_EQ(parametersOf(inner, "<init>(Lcom/brantel/probes/MapProbe;II)V",
                         {"Lcom/brantel/probes/MapProbe;", "I", "I"}),
            (std::vector<Parameter>{
                {"Lcom/brantel/probes/MapProbe;", CallbackParameter::KIND_PARAM, 1, false},
                {"I", CallbackParameter::KIND_NONE, -1, false},
            }));
}

TEST(ProbeAnnotationFixtures, EjbPatternsMatchVisibleAndInvisibleAnnotationsButNotNestedOnes) {
  const Fixture beans("annotated/Beans.class");
  const YString ejb("Ljavax/ejb/*");
  const YString stateless("Ljavax/ejb/Stateless;");
  const YString none("");
  EXPECT_TRUE(hasAnnotationMatching(ejb, beans.classLevel(), beans.pool()));
  const struct {
    const char* method;
    bool ejb;
    bool stateless;
  } cases[] = {
      {"visibleAfterNested()V", true, true},
      {"invisibleAfterNested()V", true, false},
      {"nestedOnly()V", false, false},
      {"plain()V", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method);
    const YVector<AttributeInfo*>& attributes = beans.method(c.method);
    EXPECT_EQ(hasAnnotationMatching(ejb, attributes, beans.pool()), c.ejb);
    EXPECT_EQ(hasAnnotationMatching(stateless, attributes, beans.pool()), c.stateless);
    EXPECT_TRUE(hasAnnotationMatching(none, attributes, beans.pool()));
  }
  // The fixture holds what it claims: the visible and the invisible case each use one attribute kind.
  beans.named<AnnotationsAttribute>(beans.method("visibleAfterNested()V"), "RuntimeVisibleAnnotations");
  beans.named<AnnotationsAttribute>(beans.method("invisibleAfterNested()V"), "RuntimeInvisibleAnnotations");
}

}  // namespace
