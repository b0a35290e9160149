// The probe registry's records and lookups, and the texts a registration's result collects and reports.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/core/Options.h"
#include "agent/core/StartupProbeModes.h"
#include "agent/probes/ProbeCreationResult.h"
#include "agent/probes/ProbeRegistry.h"
#include "tests/support/LogCapture.h"

namespace {

// A descriptor with no callbacks, linked into the record of its class's probe name.
ProbeDescriptor* makeDescriptor(const char* className) {
  return new ProbeDescriptor(YString(className), YString(), YString(), YString(), nullptr, nullptr, nullptr, false,
                             false, false, false, YString(), YString(), YVector<YString>(),
                             getTopProbe(YString(className)), false);
}

bool holds(const TopProbe* probe, const ProbeDescriptor* descriptor) {
  for (int32_t i = 0; i < probe->descriptors.size; i++) {
    if (probe->descriptors[i] == descriptor) return true;
  }
  return false;
}

TEST(ProbeRegistry, InnerClassesAndSlashFormsShareTheirOuterNamesRecord) {
  TopProbe* deep = getTopProbe(YString("x/y/Probe$Inner$Deep"));
  EXPECT_STREQ("x.y.Probe", deep->name.data);
  EXPECT_EQ(deep, getTopProbe(YString("x.y.Probe")));
  EXPECT_EQ(deep, findTopProbe(YString("x.y.Probe")));
  EXPECT_EQ(nullptr, findTopProbe(YString("x.y.Probe$Inner")));
  EXPECT_NE(deep, getTopProbe(YString("x.y.ProbeX")));
}

TEST(ProbeRegistry, NewNamesTakeTheirStartupModeOrOn) {
  startupProbeModes().set(YString("x.y.AutoProbe"), PROBE_AUTO);
  EXPECT_EQ(PROBE_AUTO, getTopProbe(YString("x/y/AutoProbe$1"))->mode);
  EXPECT_EQ(PROBE_ON, getTopProbe(YString("x.y.Unlisted"))->mode);
  startupProbeModes().remove(YString("x.y.AutoProbe"));
}

TEST(ProbeRegistry, NameTexts) {
  struct Case {
    const char* name;
    const char* typeDescriptor;
    const char* shortened;
  } cases[] = {
      {"", "", ""},
      {"x.y.Ann", "Lx/y/Ann;", "x.y.Ann"},
      {"com/brantel/probes/builtin/Databases", "Lcom/brantel/probes/builtin/Databases;", ".Databases"},
      {"com/brantel/probes/builtin/Outer$Inner", "Lcom/brantel/probes/builtin/Outer$Inner;", ".Outer$Inner"},
  };
  for (const Case& c : cases) {
    EXPECT_STREQ(c.typeDescriptor, toTypeDescriptor(YString(c.name)).data) << c.name;
    EXPECT_STREQ(c.shortened, shortenBuiltinProbeName(YString(c.name)).data) << c.name;
  }
}

TEST(ProbeRegistry, DescriptorsLinkAndUnlinkThemselves) {
  ProbeDescriptor* first = makeDescriptor("x/y/Linked");
  ProbeDescriptor* inner = makeDescriptor("x/y/Linked$Inner");
  TopProbe* owner = getTopProbe(YString("x.y.Linked"));
  EXPECT_EQ(owner, inner->owner);
  EXPECT_TRUE(holds(owner, first) && holds(owner, inner));
  EXPECT_EQ(1, first->state);
  delete first;
  ASSERT_EQ(1, owner->descriptors.size);
  EXPECT_TRUE(holds(owner, inner));

  // A descriptor its owner no longer lists leaves the list as it is.
  owner->descriptors.remove(0);
  ProbeDescriptor* other = makeDescriptor("x/y/Linked$Other");
  delete inner;
  ASSERT_EQ(1, owner->descriptors.size);
  EXPECT_TRUE(holds(owner, other));
  delete other;
}

TEST(ProbeRegistry, DescriptorsKeepTheirPatternsAndEachDeclaredExceptionOnce) {
  YVector<YString> exceptions;
  for (const char* name : {"java/io/IOException", "java/lang/Exception", "java/io/IOException"}) {
    exceptions.add(YString(name));
  }
  ProbeDescriptor descriptor(YString("com/brantel/probes/builtin/CpuTracingSupport"), YString("()V"), YString(),
                             YString(), nullptr, nullptr, nullptr, false, false, false, false, YString(),
                             YString(), exceptions, getTopProbe(YString("com.brantel.probes.builtin.CpuTracingSupport")),
                             false);
  EXPECT_TRUE(descriptor.isCpuTracingSupport);
  ASSERT_EQ(2, descriptor.callbackExceptions.size);
  EXPECT_STREQ("java/lang/Exception", descriptor.callbackExceptions[1].data);
  descriptor.addMethodPattern(YString("*"), YString("get*"), YString("(*)"), YString("*"), YString("x.y.Ann"),
                              YString(), true);
  ASSERT_EQ(1, descriptor.patternCount());
  EXPECT_STREQ("Lx/y/Ann;", descriptor.classAnnotationPatterns[0].data);
  EXPECT_STREQ("", descriptor.methodAnnotationPatterns[0].data);
  EXPECT_TRUE(descriptor.negated[0]);
}

TEST(ProbeCreationResult, ErrorTexts) {
  ProbeCreationResult empty;
  EXPECT_TRUE(empty.isSuccessful());
  EXPECT_STREQ("", empty.getErrorsText().data);

  ProbeCreationResult result;
  result.addError(YString("invalid class file"));
  result.addClassError(YString("x.y.P"), YString("class must be public"));
  result.addMethodError(YString("x.y.P"), YString("onExit"), YString("callback must be public static"));
  result.addParameterError(YString("x.y.P"), YString("onEnter"), 0, YString("parameter must be annotated"));
  EXPECT_FALSE(result.isSuccessful());
  EXPECT_STREQ(
      "Error: invalid class file\n"
      "Error: probe class x.y.P: class must be public\n"
      "Error: probe class x.y.P, method onExit: callback must be public static\n"
      "Error: probe class x.y.P, method onEnter, parameter #1: parameter must be annotated",
      result.getErrorsText().data);
}

TEST(ProbeCreationResult, ClassListsAndMissingInnerClasses) {
  LogCapture log;
  ProbeCreationResult result;
  for (const char* name : {"x.y.P", "x.y.P$A"}) result.examinedClasses.add(YString(name));
  for (const char* name : {"x.y.P$A", "x.y.P$B", "x.y.P$C"}) result.declaredInnerClasses.add(YString(name));
  EXPECT_STREQ("x.y.P, x.y.P$A", result.getClassNamesText().data);
  result.warnMissingInnerClasses();
  EXPECT_EQ((std::vector<std::string>{"warning: missing inner class: x.y.P$B", "warning: missing inner class: x.y.P$C"}),
            log.entries());
  EXPECT_TRUE(result.isSuccessful());
}

TEST(ProbeCreationResult, AFailedResultDestroysItsGoodProbes) {
  TopProbe* owner = getTopProbe(YString("x.y.Failing"));
  {
    ProbeCreationResult result;
    result.probes.add(makeDescriptor("x/y/Failing"));
    result.addClassError(YString("x.y.Failing$Bad"), YString("class must be public"));
    EXPECT_EQ(1, owner->descriptors.size);
  }
  EXPECT_EQ(0, owner->descriptors.size);
  EXPECT_EQ(owner, findTopProbe(YString("x.y.Failing")));

  // A successful result leaves its probes to the registry.
  ProbeDescriptor* kept = nullptr;
  {
    ProbeCreationResult result;
    kept = makeDescriptor("x/y/Failing");
    result.probes.add(kept);
  }
  EXPECT_TRUE(holds(owner, kept));
  delete kept;
}

// The debug category is read on the first report of the process, so the one report of this test runs with it.
TEST(ProbeCreationResult, ReportNamesEachProbeOnceAndWithDebugItsClasses) {
  globalOptions().debugCategories.add(YString("bci"));
  ProbeDescriptor* earlier = makeDescriptor("x/y/Reported$Old");
  ProbeCreationResult result;
  for (const char* name : {"x/y/Reported", "x/y/Reported$A", "com/brantel/probes/builtin/Databases",
                           "x/y/Reported$B"}) {
    result.probes.add(makeDescriptor(name));
  }
  LogCapture log;
  reportProbeCreationResult(result);
  EXPECT_EQ(std::vector<std::string>{"Successfully registered probes: 2\n"
                                     "  Registered: x.y.Reported\n"
                                     "    class: x.y.Reported$Old\n"
                                     "    class: x.y.Reported\n"
                                     "    class: x.y.Reported$A\n"
                                     "    class: x.y.Reported$B\n"
                                     "  Registered: .Databases\n"
                                     "    class: .Databases"},
            log.entries());
  result.probes.deleteElements();
  delete earlier;
}

}  // namespace
