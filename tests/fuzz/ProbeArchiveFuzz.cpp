// Arbitrary bytes as an archive on the probe class path, searched as a registration by name searches it:
// the entries of the wanted probe classes and of their inner classes are unzipped and validated as probe
// classes. Whatever comes in, the registration ends with probes or with errors, never both, its probes
// are the wanted classes or their inner classes, and a second search of the same archive comes to the
// very same result.
//
// Seeds: started with a corpus directory that has no "seeds" folder, the target first writes archives
// there of the compiled probe classes the search wants (stored and deflated, one with other entries
// around them), taken from the class seeds that the build compiled.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "agent/probes/ProbeCreationResult.h"
#include "agent/probes/ProbePath.h"
#include "agent/probes/ProbeRegistration.h"
#include "agent/probes/ProbeRegistry.h"
#include "agent/support/Log.h"
#include "tests/fuzz/CorpusSeeds.h"
#include "tests/support/TempDir.h"
#include "tests/support/ZipFixture.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

void discard(const YString&) {}

// The classes a registration asks for (Java form), and the files of their classes among the seeds.
const char* const wantedNames[] = {"weaving.probes.EverythingProbe", "probes.valid.Outer"};
const char* const classFiles[] = {"weaving/probes/EverythingProbe.class", "probes/valid/Outer.class",
                                  "probes/valid/Outer$First.class", "probes/valid/Outer$Second.class"};

std::string seedClass(const char* file) {
  std::ifstream in(std::filesystem::path(TALLYSCOPE_FUZZ_CLASSES) / file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeSeeds(const std::filesystem::path& directory) {
  std::vector<ZipFixture> archives(3);
  for (const char* file : classFiles) {
    archives[0].add(file, seedClass(file));
    archives[1].add(file, seedClass(file), 8);
  }
  archives[2].add("META-INF/MANIFEST.MF", "Manifest-Version: 1.0\n");
  archives[2].add(classFiles[1], seedClass(classFiles[1]), 8);
  archives[2].add("probes/valid/Outer$Third.class", "not a class");
  archives[2].add(classFiles[2], seedClass(classFiles[2]));
  std::filesystem::create_directories(directory);
  for (size_t i = 0; i < archives.size(); i++) {
    std::ofstream(directory / ("seed" + std::to_string(i) + ".jar"), std::ios::binary) << archives[i].bytes();
  }
}

bool isWantedOrInner(const YString& internalName) {
  for (const char* name : wantedNames) {
    const YString wanted = YString(name).replaceAll(".", "/");
    if (internalName.equals(wanted) || internalName.startsWith(wanted + "$")) return true;
  }
  return false;
}

// The registration's errors, or its probes' names; the probes, which nobody registers, go.
YString search() {
  YVector<YString> names;
  for (const char* name : wantedNames) names.add(YString(name));
  ProbeCreationResult result;
  registerProbesByName(names, PROBE_STATE_NEW, result);
  if (!result.isSuccessful()) {
    require(result.getErrorsText().length > 0);
    return result.getErrorsText();
  }
  YString found("probes:");
  for (int32_t i = 0; i < result.probes.size; i++) {
    require(isWantedOrInner(result.probes[i]->className));
    found.append(' ');
    found.append(result.probes[i]->className);
  }
  result.probes.deleteElements();
  return found;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  setLogSink(&discard);
  seedFirstCorpusFolder(*argc, *argv, writeSeeds);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  static const TempDir directory;
  static const std::string path = directory.pathOf("probes.jar");
  directory.write("probes.jar", std::string(reinterpret_cast<const char*>(bytes), size));
  probePathList = YVector<YString>();
  probePathList.add(YString(path.c_str()));

  const YString first = search();
  require(first.equals(search()));
  return 0;
}
