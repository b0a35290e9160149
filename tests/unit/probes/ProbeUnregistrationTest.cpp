// Taking probe classes out of the registry by name, and listing probe names by activity mode.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "agent/probes/ProbeActivityModes.h"
#include "agent/probes/ProbeRegistration.h"
#include "agent/probes/ProbeRegistry.h"

namespace {

std::vector<std::string> strings(const YVector<YString>& list) {
  std::vector<std::string> out;
  for (int32_t i = 0; i < list.size; i++) out.emplace_back(list[i].data);
  return out;
}

// Registers descriptors of its own and takes out whatever of them is left when it ends.
class ProbeUnregistrationTest : public testing::Test {
 protected:
  const int32_t registeredBefore = ourProbeDescriptors.size;

  void TearDown() override {
    YCriticalSectionLock held(&probeRegistryLock(), "test");
    while (ourProbeDescriptors.size > registeredBefore) delete ourProbeDescriptors.pop();
  }

  static ProbeDescriptor* registerDescriptor(const char* className, int32_t state) {
    auto descriptor = new ProbeDescriptor(YString(className), YString(), YString(), YString(), nullptr, nullptr,
                                          nullptr, false, false, false, false, YString(), YString(),
                                          YVector<YString>(), getTopProbe(YString(className)), false);
    descriptor->state = state;
    YCriticalSectionLock held(&probeRegistryLock(), "test");
    ourProbeDescriptors.add(descriptor);
    return descriptor;
  }

  std::vector<std::string> registered() const {
    std::vector<std::string> out;
    for (int32_t i = registeredBefore; i < ourProbeDescriptors.size; i++) {
      out.emplace_back(ourProbeDescriptors[i]->className.data);
    }
    return out;
  }
};

TEST_F(ProbeUnregistrationTest, ANameMatchesItsClassAndInnerClassesInEitherForm) {
  for (const char* name : {"x.y.P", "x/y/P"}) {
    SCOPED_TRACE(name);
    TearDown();
    registerDescriptor("x/y/P", PROBE_STATE_NEW);
    registerDescriptor("x/y/PX", PROBE_STATE_NEW);
    registerDescriptor("x/y/P$Inner", PROBE_STATE_NEW);
    YVector<YString> removed;
    // Both were never woven into loaded classes: they go at once, and nothing needs retransforming.
    EXPECT_FALSE(unregisterProbe(YString(name), &removed));
    EXPECT_EQ((std::vector<std::string>{"x/y/P", "x/y/P$Inner"}), strings(removed));
    EXPECT_EQ(std::vector<std::string>{"x/y/PX"}, registered());
    EXPECT_EQ(0, findTopProbe(YString("x.y.P"))->descriptors.size);
  }
}

TEST_F(ProbeUnregistrationTest, AnAppliedClassStaysUntilItsClassesAreRetransformed) {
  registerDescriptor("u/Applied", PROBE_STATE_NEW);
  ProbeDescriptor* const applied = registerDescriptor("u/Applied$Woven", PROBE_STATE_APPLIED);
  registerDescriptor("u/Applied$Fresh", PROBE_STATE_NEW);
  YVector<YString> removed;
  EXPECT_TRUE(unregisterProbe(YString("u.Applied"), &removed));
  EXPECT_EQ((std::vector<std::string>{"u/Applied", "u/Applied$Woven", "u/Applied$Fresh"}), strings(removed));
  ASSERT_EQ(std::vector<std::string>{"u/Applied$Woven"}, registered());
  EXPECT_EQ(PROBE_STATE_UNREGISTERING, applied->state);

  YVector<YString> none;
  EXPECT_FALSE(unregisterProbe(YString("u.Other"), &none));
  EXPECT_EQ(0, none.size);
}

TEST_F(ProbeUnregistrationTest, NamesByModeHaveClassesOrTables) {
  registerDescriptor("m/OnProbe", PROBE_STATE_APPLIED);
  registerDescriptor("m/AutoProbe$Inner", PROBE_STATE_APPLIED);
  getTopProbe(YString("m.AutoProbe"))->mode = PROBE_AUTO;
  getTopProbe(YString("m.TableOnly"))->mode = PROBE_AUTO;
  getTopProbe(YString("m.TableOnly"))->tableIds.add(40);
  getTopProbe(YString("m.Empty"))->mode = PROBE_AUTO;

  YVector<YString> names;
  names.add(YString("stale"));
  getProbeNamesByMode(&names, PROBE_AUTO);
  std::vector<std::string> listed = strings(names);
  EXPECT_EQ((std::vector<std::string>{"m.AutoProbe", "m.TableOnly"}),
            std::vector<std::string>(listed.end() - 2, listed.end()));
  getProbeNamesByMode(&names, PROBE_ON);
  listed = strings(names);
  EXPECT_NE(listed.end(), std::find(listed.begin(), listed.end(), "m.OnProbe"));
  EXPECT_EQ(listed.end(), std::find(listed.begin(), listed.end(), "m.AutoProbe"));
  EXPECT_EQ(listed.end(), std::find(listed.begin(), listed.end(), "stale"));
}

}  // namespace
