#include "agent/core/SessionName.h"

#include "agent/support/CommonUtils.h"
#include "agent/support/FileUtils.h"

namespace {

bool isJavaLauncher(const YString& fileName) {
  const YString lower = toLowerAscii(fileName);
  return lower.equals("java") || lower.equals("java.exe") || lower.equals("javaw") || lower.equals("javaw.exe");
}

// Options whose value is the next argument; skipped together with it.
bool takesValue(const YString& arg) {
  static const char* const options[] = {"-cp", "-classpath", "--module-path", "-p", "--patch-module",
                                        "--upgrade-module-path"};
  for (const char* option : options) {
    if (arg.equals(option)) return true;
  }
  return arg.startsWith(YString("--add"));
}

bool isIdeLauncherClass(const YString& arg) {
  return arg.equals("com.intellij.rt.execution.application.AppMain") ||
         arg.equals("com.intellij.rt.execution.application.AppMainV2");
}

// The index of the main class or JAR argument, or -1 when the arguments hold none.
int32_t findMainArgument(const YVector<YString>& args) {
  bool ideLauncherSeen = false;
  for (int32_t i = 1; i < args.size; i++) {
    const YString& arg = args[i];
    if (takesValue(arg)) {
      i++;
    } else if (!ideLauncherSeen && isIdeLauncherClass(arg)) {
      ideLauncherSeen = true;
    } else if (arg.length != 0 && arg.data[0] != '-') {
      return i;  // an empty argument names nothing and is passed over
    }
  }
  return -1;
}

const char* serverNameOf(const YString& mainClass) {
  if (mainClass.contains("com.sun.enterprise.glassfish.bootstrap.ASMain")) return "GlassFish";
  if (mainClass.contains("org.apache.catalina.startup.Bootstrap")) return "Tomcat";
  if (mainClass.contains("org.eclipse.jetty.start.Main")) return "Jetty";
  return nullptr;
}

}  // namespace

YString removeSuffixIgnoreCase(const YString& text, const YString& suffix) {
  if (suffix.length > text.length) return text;
  const YString tail = toLowerAscii(text.substringFrom(text.length - suffix.length));
  return tail.equals(toLowerAscii(suffix)) ? text.substring(0, text.length - suffix.length) : text;
}

YString getSessionName(const YVector<YString>& args, bool hostRecognition) {
  if (args.size == 0) return YString("unknown");
  const YString executable = fileNameOfPath(args[0]);
  if (!isJavaLauncher(executable)) return executable;
  const int32_t mainIndex = findMainArgument(args);
  if (mainIndex < 0) return executable;

  YString name = fileNameOfPath(args[mainIndex]);
  bool isHost;
  if (args[mainIndex - 1].equals("-jar")) {
    isHost = name.equals("brantel.jar");
    name = removeSuffixIgnoreCase(name, YString(".jar"));
  } else {
    if (const char* server = serverNameOf(name)) return YString(server);
    isHost = name.equals("com.brantel.Main");
    name = name.substringAfterLast('.');
  }
  return isHost && hostRecognition ? YString("TallyScope-ui") : name;
}
