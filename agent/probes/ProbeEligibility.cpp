#include "agent/probes/ProbeEligibility.h"

#include "agent/core/Options.h"
#include "agent/probes/ProbeRegistry.h"
#include "agent/support/CommonUtils.h"
#include "agent/support/Log.h"

YVectorSafe<YString> ourIgnoredPrefixes;
YVectorSafe<YString> ourReincludedPrefixes;

namespace {

// The JVM's core packages and the agent's own runtime classes.
constexpr const char* DEFAULT_IGNORED_PREFIXES =
    "java.security.AccessController\n"
    "java.util.ResourceBundle\n"
    "sun.misc.\n"
    "jdk.internal.\n"
    "sun.util.\n"
    "sun.invoke.util.\n"
    "sun.nio.cs.\n"
    "java.lang.\n"
    "sun.reflect.\n"
    "java.util.\n"
    "java.security.\n"
    "com.ibm.\n"
    "+com.ibm.db2.\n"
    "com.brantel.Constants\n"
    "com.brantel.probes.\n"
    "com.brantel.runtime.\n"
    "com.brantel.util.Asserts\n"
    "com.brantel.util.Strings\n"
    "com.brantel.util.Util\n"
    "org.apache.tools.ant.taskdefs\n"
    "org.netbeans.TopSecurityManager\n";

FilterList*& bciFilter() {
  static FilterList* filter = nullptr;
  return filter;
}

// Generated lambda classes are never probed unless the option that turns the exclusion off is given.
bool lambdasExcluded() {
  static const bool excluded = !globalOptions().hasOption("_no_FIX_20151029_1");
  return excluded;
}

bool isSlashOrDot(char c) { return c == '/' || c == '.'; }

// Whether `text` begins with `prefix`, reading '/' and '.' as the same character; `whole` asks for the
// whole text.
bool beginsAcrossForms(const YString& text, const YString& prefix, bool whole) {
  if (text.length < prefix.length || (whole && text.length != prefix.length)) return false;
  for (int32_t i = 0; i < prefix.length; i++) {
    const char a = text.data[i];
    const char b = prefix.data[i];
    if (a != b && !(isSlashOrDot(a) && isSlashOrDot(b))) return false;
  }
  return true;
}

bool beginsWithAny(const YString& name, const YVectorSafe<YString>& prefixes) {
  for (int32_t i = 0; i < prefixes.size; i++) {
    if (name.startsWith(prefixes[i])) return true;
  }
  return false;
}

}  // namespace

bool canProbeClass(const YString& className, const YString& pattern) {
  if (!matchesWildcardStrings(pattern, className)) return false;
  if (lambdasExcluded() && className.contains("$$Lambda$")) return false;
  if (!beginsWithAny(className, ourReincludedPrefixes)) {
    for (int32_t i = 0; i < ourIgnoredPrefixes.size; i++) {
      const YString& prefix = ourIgnoredPrefixes[i];
      if (className.startsWith(prefix) && !pattern.startsWith(prefix)) return false;
    }
  }
  YCriticalSectionLock held(&probeRegistryLock(), "ProbeEligibility:canProbeClass");
  for (int32_t i = 0; i < ourProbeDescriptors.size; i++) {
    const YString& probeClass = ourProbeDescriptors[i]->className;
    if (beginsAcrossForms(className, probeClass, true) && !beginsAcrossForms(pattern, probeClass, false)) {
      return false;
    }
  }
  return true;
}

const FilterList& bciFilterList() {
  static const FilterList empty{YString()};
  const FilterList* filter = bciFilter();
  return filter != nullptr ? *filter : empty;
}

void loadProbeIgnoredPrefixes() {
  YVector<YString> lines;
  parseLines(&lines, readSettingsFile(YString(), "probe_ignored_prefixes.txt", DEFAULT_IGNORED_PREFIXES));
  for (int32_t i = 0; i < lines.size; i++) {
    const YString& line = lines[i];
    if (line.length == 0 || line.data[0] != '+') {
      ourIgnoredPrefixes.add(line);
    } else if (line.length > 1) {
      ourReincludedPrefixes.add(line.substringFrom(1));
    }
  }
  const YString filter = readSettingsFile(YString(), "bci_filter.txt", "");
  if (filter.length > 0) logMessage(YString("bci_filter.txt specified:\n") + filter + "\n");
  // Loaded once at start-up, before the first class is instrumented; a second load replaces the list.
  delete bciFilter();
  bciFilter() = new FilterList(filter);
}
