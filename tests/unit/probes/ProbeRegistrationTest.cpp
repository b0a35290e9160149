// Probe classes registered by name: looked up with their inner classes in the directories and archives of
// the probe path, validated, and committed all or nothing. The classes are the compiled probe fixtures of
// tests/classfile/fixtures, which the build names in TALLYSCOPE_PROBE_FIXTURES.
#include <gtest/gtest.h>

#ifdef TALLYSCOPE_PROBE_FIXTURES

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "agent/probes/ClassLoadingProbe.h"
#include "agent/probes/ProbePath.h"
#include "agent/probes/ProbeRegistration.h"
#include "agent/probes/ProbeRegistry.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestDatabase.h"
#include "tests/support/ZipFixture.h"

namespace {

const std::string outer = "probes/valid/Outer";
const std::string first = "probes/valid/Outer$First";
const std::string second = "probes/valid/Outer$Second";
const std::string exitProbe = "probes/valid/ExitProbe";  // more than 1024 bytes: read in two chunks
const std::string enterReturn = "probes/valid/EnterReturnProbe";
const std::string noPattern = "probes/valid/NoPatternProbe";

std::string fixture(const std::string& internalName) {
  std::ifstream in(std::string(TALLYSCOPE_PROBE_FIXTURES) + "/" + internalName + ".class", std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_FALSE(bytes.empty()) << internalName;
  return bytes;
}

std::string javaName(std::string internalName) {
  std::replace(internalName.begin(), internalName.end(), '/', '.');
  return internalName;
}

std::vector<std::string> sorted(const YVectorSafe<YString>& list) {
  std::vector<std::string> out;
  for (int32_t i = 0; i < list.size; i++) out.emplace_back(list[i].data);
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string> classNames(const YVector<ProbeDescriptor*>& probes, int32_t from = 0) {
  std::vector<std::string> out;
  for (int32_t i = from; i < probes.size; i++) out.emplace_back(probes[i]->className.data);
  std::sort(out.begin(), out.end());
  return out;
}

std::string errors(const ProbeCreationResult& result) { return result.getErrorsText().data; }

std::string notFound(const std::string& internalName) {
  return "Error: probe class " + javaName(internalName) + ": class not found";
}

// Names the class in internal form.
std::string duplicate(const std::string& internalName) {
  return "Error: probe class " + internalName + ": probe class with such name has already been registered";
}

enum class Place { directory, storedArchive, deflatedArchive };

class ProbeRegistrationTest : public testing::Test {
 protected:
  TempDir work;
  TestDatabase database;  // for the Class Loading probe's table
  LogCapture log;
  const int32_t registeredBefore = ourProbeDescriptors.size;
  int32_t places = 0;

  void SetUp() override {
    savedPaths.addAll(probePathList);
    reset();
  }
  void TearDown() override {
    reset();
    probePathList.addAll(savedPaths);
  }

  // An empty probe path, and only the probes registered before the test.
  void reset() {
    probePathList.removeRange(0, probePathList.size);
    YCriticalSectionLock held(&probeRegistryLock(), "test");
    while (ourProbeDescriptors.size > registeredBefore) delete ourProbeDescriptors.pop();
    forgetClassLoadingProbeForTest();
  }

  // A new directory or archive holding the class files (internal names), on the probe path.
  std::string addPlace(Place place, const std::vector<std::pair<std::string, std::string>>& files) {
    const std::string name = "place" + std::to_string(places++);
    std::string path;
    if (place == Place::directory) {
      for (const auto& [file, bytes] : files) work.write(name + "/" + file + ".class", bytes);
      path = work.pathOf(name);
    } else {
      ZipFixture zip;
      zip.add("META-INF/MANIFEST.MF", "Manifest-Version: 1.0\n");
      for (const auto& [file, bytes] : files) {
        zip.add(file + ".class", bytes, place == Place::deflatedArchive ? 8 : 0);
      }
      path = work.write(name + ".jar", zip.bytes());
    }
    probePathList.add(YString(path.c_str()));
    return path;
  }
  std::string addPlace(Place place, const std::vector<std::string>& classes) {
    std::vector<std::pair<std::string, std::string>> files;
    for (const std::string& name : classes) files.emplace_back(name, fixture(name));
    return addPlace(place, files);
  }

  // As start-up registers: the names, then the commit when nothing failed.
  static void registerNames(const std::vector<std::string>& names, ProbeCreationResult& result,
                            int32_t initialState = 0) {
    YVector<YString> list;
    for (const std::string& name : names) list.add(YString(name.c_str()));
    registerProbesByName(list, initialState, result);
    if (result.isSuccessful()) checkProbeNotRegistered(result);
  }

 private:
  YVector<YString> savedPaths;
};

TEST_F(ProbeRegistrationTest, AClassComesWithItsInnerClassesFromDirectoriesAndArchives) {
  for (const Place place : {Place::directory, Place::storedArchive, Place::deflatedArchive}) {
    SCOPED_TRACE(int(place));
    reset();
    addPlace(place, {enterReturn, outer, first, second, exitProbe});
    ProbeCreationResult result;
    registerNames({javaName(outer), javaName(exitProbe)}, result);
    ASSERT_TRUE(result.isSuccessful()) << errors(result);
    EXPECT_EQ((std::vector<std::string>{javaName(exitProbe), javaName(outer), javaName(first), javaName(second)}),
              sorted(result.examinedClasses));
    EXPECT_EQ((std::vector<std::string>{exitProbe, first, second}), classNames(result.probes));
    EXPECT_EQ((std::vector<std::string>{exitProbe, first, second}), classNames(ourProbeDescriptors, registeredBefore));
    EXPECT_EQ(0, result.probes[0]->state);
  }
}

TEST_F(ProbeRegistrationTest, TheBuiltInClassLoadingProbeIsMadeNotLookedUp) {
  const TopProbe* builtIn = getTopProbe(YString("com.brantel.probes.builtin.ClassLoading"));
  const int32_t tablesBefore = builtIn->tableIds.size;
  ProbeCreationResult result;
  registerNames({javaName(enterReturn), "com.brantel.probes.builtin.ClassLoading", javaName(outer)}, result);
  EXPECT_EQ(notFound(enterReturn) + "\n" + notFound(outer), errors(result));
  EXPECT_EQ(tablesBefore + 1, builtIn->tableIds.size);

  ProbeCreationResult alone;
  registerNames({"com.brantel.probes.builtin.ClassLoading"}, alone);
  EXPECT_TRUE(alone.isSuccessful()) << errors(alone);
}

TEST_F(ProbeRegistrationTest, AnInnerClassAloneFindsItsNameInADirectoryButNotInAnArchive) {
  addPlace(Place::directory, {first});
  ProbeCreationResult inDirectory;
  registerNames({javaName(outer)}, inDirectory);
  EXPECT_TRUE(inDirectory.isSuccessful()) << errors(inDirectory);
  EXPECT_EQ(std::vector<std::string>{javaName(first)}, sorted(inDirectory.examinedClasses));
  reset();

  addPlace(Place::storedArchive, {first, second});
  ProbeCreationResult inArchive;
  registerNames({javaName(outer)}, inArchive);
  EXPECT_EQ(notFound(outer), errors(inArchive));
  EXPECT_EQ((std::vector<std::string>{javaName(first), javaName(second)}), sorted(inArchive.examinedClasses));
  EXPECT_EQ(registeredBefore, ourProbeDescriptors.size);

  // The name is still looked for further on, where its inner classes come a second time.
  addPlace(Place::directory, {outer, first, second});
  ProbeCreationResult further;
  registerNames({javaName(outer)}, further);
  EXPECT_EQ(duplicate(first) + "\n" + duplicate(second), errors(further));
  EXPECT_EQ(registeredBefore, ourProbeDescriptors.size);
}

// A later path holds a broken file of the same name, which would fail the registration if it were read.
TEST_F(ProbeRegistrationTest, TheFirstPathHoldingANameWins) {
  const std::vector<std::pair<std::string, std::string>> broken{{enterReturn, "no class file"}};
  const struct {
    Place winner;
    Place later;
  } cases[] = {{Place::directory, Place::directory},
               {Place::deflatedArchive, Place::directory},
               {Place::directory, Place::storedArchive}};
  for (const auto& c : cases) {
    SCOPED_TRACE(int(c.winner) * 10 + int(c.later));
    reset();
    addPlace(c.winner, {enterReturn});
    addPlace(c.later, broken);
    ProbeCreationResult result;
    registerNames({javaName(enterReturn)}, result);
    EXPECT_TRUE(result.isSuccessful()) << errors(result);
    EXPECT_EQ(std::vector<std::string>{enterReturn}, classNames(result.probes));
  }
}

TEST_F(ProbeRegistrationTest, ClassesWithoutProbesFailTheirName) {
  addPlace(Place::directory, {noPattern, outer});
  ProbeCreationResult result;
  registerNames({javaName(noPattern), javaName(outer)}, result);
  const std::string none = "Error: no probes found in classes: ";
  EXPECT_EQ(none + javaName(noPattern) + "\n" + none + javaName(outer), errors(result));
  const std::vector<std::string> entries = log.entries();
  const std::string missing = "warning: missing inner class: " + javaName(first);
  EXPECT_NE(entries.end(), std::find(entries.begin(), entries.end(), missing));
  EXPECT_EQ(registeredBefore, ourProbeDescriptors.size);
}

TEST_F(ProbeRegistrationTest, UnreadableFilesAndEntriesFailTheRegistration) {
  // A "class file" that is a directory opens but cannot be read.
  std::filesystem::create_directories(work.pathOf("place0/" + exitProbe + ".class"));
  probePathList.add(YString(work.pathOf("place0").c_str()));
  places++;
  ProbeCreationResult unreadable;
  registerNames({javaName(exitProbe)}, unreadable);
  EXPECT_EQ("Error: failed to read " + work.pathOf("place0/" + exitProbe + ".class"), errors(unreadable));
  reset();

  ZipFixture zip;
  zip.add(first + ".class", fixture(first), 8).crcXor = 1;
  zip.add(outer + ".class", fixture(outer));
  zip.add(second + ".class", fixture(second));
  const std::string archive = work.write("broken.jar", zip.bytes());
  probePathList.add(YString(archive.c_str()));
  ProbeCreationResult broken;
  registerNames({javaName(outer)}, broken);
  EXPECT_EQ("Error: unzip failed: " + first + ".class in " + archive, errors(broken));
  EXPECT_EQ(registeredBefore, ourProbeDescriptors.size);
  reset();

  // A path that is neither directory nor archive holds nothing.
  probePathList.add(YString(work.write("notes.txt", "not an archive").c_str()));
  ProbeCreationResult nowhere;
  registerNames({javaName(enterReturn)}, nowhere);
  EXPECT_EQ(notFound(enterReturn), errors(nowhere));
}

TEST_F(ProbeRegistrationTest, AClassRegisteredTwiceIsRefusedTheSecondTime) {
  addPlace(Place::directory, {enterReturn, outer, first, second});
  ProbeCreationResult once;
  registerNames({javaName(enterReturn)}, once);
  ASSERT_TRUE(once.isSuccessful()) << errors(once);
  ProbeDescriptor* const kept = ourProbeDescriptors[registeredBefore];

  ProbeCreationResult again;
  registerNames({javaName(enterReturn)}, again);
  EXPECT_EQ(duplicate(enterReturn), errors(again));
  ASSERT_EQ(registeredBefore + 1, ourProbeDescriptors.size);
  EXPECT_EQ(kept, ourProbeDescriptors[registeredBefore]);

  // Naming a class and its inner class reaches the inner class twice: nothing of it is registered.
  ProbeCreationResult twiceInOne;
  registerNames({javaName(outer), javaName(first)}, twiceInOne);
  EXPECT_EQ(duplicate(first), errors(twiceInOne));
  EXPECT_EQ(registeredBefore + 1, ourProbeDescriptors.size);
}

}  // namespace

#endif  // TALLYSCOPE_PROBE_FIXTURES
