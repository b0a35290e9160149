#include "agent/probes/ProbeIgnoredPrefixes.h"

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

}  // namespace

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
