// Arbitrary bytes as the settings files a user edits by hand: one file that a settings directory of its
// own holds as "sampling.txt", "tracing.txt", "bci_filter.txt" and "probe_ignored_prefixes.txt", read the
// way the agent reads each (the CPU settings as a recording starts, with their wall-time filter lines;
// the probe prefix list and the bci filter list as at start-up), and as a line list like
// "disable_natives.txt". Nothing may fail. A file reads back as exactly its bytes, the lines come out
// trimmed and without comments, the settings stay in range, and every filter line matches the method its
// own patterns spell (a pattern matches its own text), unless an excepting line matches it too. The
// wall-time filters are parsed as setGlobalFilters parses them, without its pass over a database's
// methods, which would take nine tenths of the time.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "agent/classfile/Filter.h"
#include "agent/core/Options.h"
#include "agent/probes/ProbeEligibility.h"
#include "agent/recording/SamplingSettings.h"
#include "agent/recording/TracingSettings.h"
#include "agent/support/AgentDirectories.h"
#include "agent/support/CommonUtils.h"
#include "agent/support/Log.h"
#include "agent/support/NamedLocks.h"
#include "tests/support/TempDir.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

void discard(const YString&) {}

bool sameText(const YString& text, const uint8_t* bytes, size_t size) {
  return size_t(text.length) == size && (size == 0 || std::memcmp(text.data, bytes, size) == 0);
}

// What trimming drops: control characters and blanks.
bool isBlank(char c) { return c >= 1 && c <= 32; }

void checkLines(const YString& text) {
  YVector<YString> lines;
  lines.add(YString("left over"));
  parseLines(&lines, text);
  int32_t breaks = 0;
  for (int32_t i = 0; i < text.length; i++) breaks += text.data[i] == '\n' || text.data[i] == '\r';
  require(lines.size <= breaks + 1);
  for (int32_t i = 0; i < lines.size; i++) {
    const YString& line = lines[i];
    require(line.length > 0 && line.data[0] != '#' && !isBlank(line.data[0]) && !isBlank(line.data[line.length - 1]));
    require(line.indexOf("\n") < 0 && line.indexOf("\r") < 0);
  }
}

const char* textOr(const char* pattern) { return pattern != nullptr ? pattern : "any"; }

// A listed line matches the method its own patterns spell, unless an excepting line matches that too.
void checkFilterList(const YString& text) {
  const FilterList list(text);
  for (int32_t i = 0; i < list.filters.size; i++) {
    const Filter& filter = *list.filters[i];
    const char* className = textOr(filter.classPattern);
    const char* methodName = textOr(filter.methodPattern);
    const char* parameters = textOr(filter.parameterListPattern);
    require(filter.matches(className, methodName, parameters));
    if (filter.type != filterListed) continue;
    bool excepted = false;
    for (int32_t k = 0; k < list.filters.size; k++) {
      const Filter& other = *list.filters[k];
      excepted = excepted || (other.type == filterExcepted && other.matches(className, methodName, parameters));
    }
    require(list.matchesMethod(className, methodName, parameters) == !excepted);
    list.matchesName(className);
  }
}

// The wall-time lines of the CPU settings, as the start of each recording loads them from its file.
void loadCpuSettings() {
  YCriticalSectionLock held(&ourLock(), "Fuzz:1");
  samplingSettings.load(getSamplingSettingsText(nullptr));
  require(samplingSettings.samplingPeriodMs >= 1 && samplingSettings.cpuThresholdMs >= 1);
  initTracingSettings(tracingSettings, getTracingSettingsText(nullptr));
  for (const YVector<YString>* lines : {&samplingSettings.wallTimePatterns, &tracingSettings.wallTimePatterns}) {
    for (int32_t i = 0; i < lines->size; i++) {
      const std::unique_ptr<Filter> filter(parseFilterSpec(lines->get(i), filterWallTime));
      if (filter != nullptr) {
        require(filter->matches(textOr(filter->classPattern), textOr(filter->methodPattern),
                                textOr(filter->parameterListPattern)));
      }
    }
  }
}

// One file under every name, so that each input is written once.
const std::string& settingsFile() {
  static const TempDir home;
  static const std::string file = [] {
    setenv("BRANTEL_HOME", home.path().c_str(), 1);
    const std::string written = home.write(".tallyscope/settings.txt", "");
    const YString directory = getSettingsDir();
    for (const char* name : {"sampling.txt", "tracing.txt", "bci_filter.txt", "probe_ignored_prefixes.txt"}) {
      std::filesystem::create_symlink(written, std::string(directory.data) + name);
    }
    return written;
  }();
  return file;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setLogSink(&discard);
  settingsFile();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  std::ofstream(settingsFile(), std::ios::binary) << std::string(reinterpret_cast<const char*>(bytes), size);
  const YString text = readSettingsFile(YString(), "tracing.txt", "built in");
  require(sameText(text, bytes, size));

  checkLines(text);
  checkFilterList(text);
  loadCpuSettings();

  ourIgnoredPrefixes = YVectorSafe<YString>();
  ourReincludedPrefixes = YVectorSafe<YString>();
  loadProbeIgnoredPrefixes();
  for (int32_t i = 0; i < ourIgnoredPrefixes.size; i++) canProbeClass(ourIgnoredPrefixes[i], YString("*"));
  for (int32_t i = 0; i < ourReincludedPrefixes.size; i++) canProbeClass(ourReincludedPrefixes[i], YString("*"));
  bciFilterList().matchesMethod("app.Main", "main", "(java.lang.String[])");
  return 0;
}
