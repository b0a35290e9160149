#include "agent/core/AgentPropagation.h"

#include "agent/platform/Directories.h"
#include "agent/platform/Environment.h"
#include "agent/platform/YCriticalSection.h"
#include "agent/support/CommonUtils.h"
#include "agent/support/Log.h"

namespace {

// The platform words: the library's file name, the variable in which a child's loader searches for it,
// the separator of that variable's entries, and whether paths use backslashes.
#ifdef _WIN32
constexpr char libraryFileName[] = "tallyscope.dll";
constexpr char librarySearchVariable[] = "PATH";
constexpr char searchListSeparator = ';';
constexpr bool backslashPaths = true;
#else
constexpr char libraryFileName[] = "libtallyscope.so";
constexpr char librarySearchVariable[] = "LD_LIBRARY_PATH";
constexpr char searchListSeparator = ':';
constexpr bool backslashPaths = false;
#endif

struct PropagationState {
  bool prepared = false;
  YString agentDirectories;  // empty: unknown, and then nothing is ever changed
  YString savedToolOptions;  // JAVA_TOOL_OPTIONS as found, without the tokens loading this agent
  YString libraryPathForTest;
};

// Never destroyed: the Java side may call in while the process exits.
PropagationState& state() {
  static PropagationState* const instance = new PropagationState();
  return *instance;
}

// Preparation and the setters take turns, so that no caller sees half-made state.
YCriticalSection& propagationLock() {
  static YCriticalSection* const lock = new YCriticalSection("AgentPropagationLock");
  return *lock;
}

YString agentLibraryPath() {
  const YString& forTest = state().libraryPathForTest;
  return forTest.length > 0 ? forTest : getAgentLibraryPath();
}

YString replaceChar(const YString& text, char from, char to) {
  YString result(text);
  for (int32_t i = 0; i < result.length; i++) {
    if (result.data[i] == from) result.data[i] = to;
  }
  return result;
}

bool endsWith(const YString& text, const YString& suffix) {
  return suffix.length <= text.length &&
         YString::search(text.data + text.length - suffix.length, suffix.length, suffix.data, suffix.length) == 0;
}

// The standard white space of the "C" locale; bytes of UTF-8 sequences are never blank.
bool isBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool loadsThisAgent(const YString& token) {
  return token.contains("tallyscope") && (token.contains("-agentlib") || token.contains("-agentpath"));
}

bool holdsDoubleQuote(const YString& optionString) {
  if (!optionString.contains("\"")) return false;
  logMessage("warning: JAVA_TOOL_OPTIONS will not be set: the agent's options contain a double quote");
  return true;
}

// Caller holds propagationLock.
void prepareLocked() {
  PropagationState& s = state();
  if (s.prepared) return;
  s.prepared = true;
  s.agentDirectories = getTsAgentLibraryDirs();
  if (s.agentDirectories.length == 0) {
    logMessage(
        "warning: JAVA_TOOL_OPTIONS will not be set: agent directories were not specified and could not be "
        "obtained");
    return;
  }
  YVector<YString> tokens;
  splitAtSpaces(y_getenv("JAVA_TOOL_OPTIONS"), tokens);
  for (int32_t i = 0; i < tokens.size; i++) {
    if (loadsThisAgent(tokens[i])) continue;
    if (s.savedToolOptions.length > 0) s.savedToolOptions.append(' ');
    s.savedToolOptions.append(tokens[i]);
  }
  const YString oldSearchPath = y_getenv(librarySearchVariable);
  logMessage(YString(librarySearchVariable) + " old value: " + oldSearchPath.data);
  if (oldSearchPath.contains(s.agentDirectories.data)) return;
  YString searchPath = s.agentDirectories;
  // An empty entry in LD_LIBRARY_PATH means the current directory: none is added on Linux.
  if (backslashPaths || oldSearchPath.length > 0) {
    searchPath.append(searchListSeparator);
    searchPath.append(oldSearchPath);
  }
  y_setenv(librarySearchVariable, searchPath.data);
}

}  // namespace

void prepareAgentPropagation() {
  YCriticalSectionLock guard(&propagationLock(), "AgentPropagation");
  prepareLocked();
}

void setJavaToolOptionsWithAgent(const YString& optionString) {
  if (holdsDoubleQuote(optionString)) return;
  YCriticalSectionLock guard(&propagationLock(), "AgentPropagation");
  prepareLocked();
  const PropagationState& s = state();
  if (s.agentDirectories.length == 0) return;
  y_setenv("JAVA_TOOL_OPTIONS", (buildAgentLibOption(optionString) + " " + s.savedToolOptions).data);
}

void setJavaToolOptionsWithoutAgent() {
  YCriticalSectionLock guard(&propagationLock(), "AgentPropagation");
  prepareLocked();
  const PropagationState& s = state();
  if (s.agentDirectories.length == 0) return;
  y_setenv("JAVA_TOOL_OPTIONS", s.savedToolOptions.data);
}

void getTsEnvKeysAndValues(const YString& optionString, YVector<YString>& out) {
  if (holdsDoubleQuote(optionString)) return;
  YCriticalSectionLock guard(&propagationLock(), "AgentPropagation");
  prepareLocked();
  const PropagationState& s = state();
  if (s.agentDirectories.length == 0) return;
  out.add(librarySearchVariable);
  out.add(s.agentDirectories);
  out.add("JAVA_TOOL_OPTIONS");
  out.add(buildAgentLibOption(optionString));
}

YString getTsAgentLibraryDirs(const YString& libraryPath) {
  if (libraryPath.length == 0) {
    logMessage("warning: getTsAgentLibraryDirs: empty path returned from getAgentLibraryPath()");
    return YString();
  }
  const YString path = backslashPaths ? replaceChar(libraryPath, '\\', '/') : libraryPath;
  const YString fileSuffix = YString("/") + libraryFileName;
  if (!endsWith(toLowerAscii(path), fileSuffix)) {
    logMessage(YString("warning: getTsAgentLibraryDirs: unexpected file name: ") + path.data);
    return YString();
  }
  const YString directory = path.substring(0, path.length - fileSuffix.length);
  if (!endsWith(directory, "/32") && !endsWith(directory, "/64")) {
    logMessage(YString("warning: getTsAgentLibraryDirs: directory name ends with neither 32 nor 64: ") + path.data);
    return YString();
  }
  // The library's directory is one of the pair; its parent holds both.
  const YString parent = directory.substring(0, directory.length - 3);
  YString result = parent + "/32";
  result.append(searchListSeparator);
  result.append(parent + "/64");
  if (backslashPaths) result = replaceChar(result, '/', '\\');
  logMessage(YString("getTsAgentLibraryDirs: result=") + result.data);
  return result;
}

YString getTsAgentLibraryDirs() { return getTsAgentLibraryDirs(agentLibraryPath()); }

YString buildAgentLibOption(const YString& optionString) {
  return YString("\"-agentlib:tallyscope=") + optionString + "\"";
}

void splitAtSpaces(const YString& text, YVector<YString>& out) {
  YString token;
  char quote = 0;
  for (int32_t i = 0; i < text.length; i++) {
    const char c = text.data[i];
    if (quote == 0 && isBlank(c)) {
      if (token.length > 0) out.add(token);
      token = YString();
      continue;
    }
    if (c == '\'' || c == '"') {
      if (quote == 0) {
        quote = c;
      } else if (quote == c) {
        quote = 0;
      }
    }
    token.append(c);
  }
  if (token.length > 0) out.add(token);
}

void restartAgentPropagationForTest(const YString& libraryPath) {
  YCriticalSectionLock guard(&propagationLock(), "AgentPropagation");
  PropagationState& s = state();
  s = PropagationState();
  s.libraryPathForTest = libraryPath;
}
