#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/core/SessionName.h"

namespace {

YVector<YString> argumentsOf(const std::vector<std::string>& arguments) {
  YVector<YString> vector;
  for (const std::string& argument : arguments) vector.add(YString(argument.c_str()));
  return vector;
}

struct NameCase {
  std::vector<std::string> arguments;
  bool hostRecognition;
  const char* expected;
};

}  // namespace

TEST(SessionName, DerivesTheNameFromTheCommandLine) {
  const NameCase cases[] = {
      {{"C:\\jdk\\bin\\java.exe", "-Xmx1g", "-cp", "lib;app.jar", "p.q.server.Main", "run"}, true, "Main"},
      {{"java", "-jar", "D:\\tools\\Report.JAR"}, true, "Report"},
      {{"/usr/bin/java", "-jar", "/opt/tools/report.jar", "-v"}, true, "report"},
      {{"javaw", "-cp", "x", "org.apache.catalina.startup.Bootstrap", "start"}, true, "Tomcat"},
      {{"java", "-cp", "g", "com.sun.enterprise.glassfish.bootstrap.ASMain"}, true, "GlassFish"},
      {{"java", "org.eclipse.jetty.start.Main"}, true, "Jetty"},
      {{"java", "--add-opens", "java.base/java.lang=ALL-UNNAMED", "-p", "mods", "p.q.App"}, true, "App"},
      {{"java", "--module-path", "m", "--upgrade-module-path", "u", "--patch-module", "x=y", "-classpath", "c", "A"},
       true, "A"},
      {{"java", "-m", "p.q/p.q.Main"}, true, "Main"},
      {{"java", "com.intellij.rt.execution.application.AppMain", "p.q.Tool"}, true, "Tool"},
      {{"java", "com.intellij.rt.execution.application.AppMainV2", "p.q.Tool"}, true, "Tool"},
      // Only the first IDE launcher is passed over; a second one is the main class.
      {{"java", "com.intellij.rt.execution.application.AppMain", "com.intellij.rt.execution.application.AppMain"},
       true, "AppMain"},
      {{"JAVA.EXE", "Foo"}, true, "Foo"},
      {{"java", "-version"}, true, "java"},
      {{"C:\\jdk\\bin\\java.exe", "-version"}, true, "java.exe"},
      {{"myservice.exe", "p.q.Main"}, true, "myservice.exe"},
      {{"/opt/jdk/bin/java", "p.q.Main"}, true, "Main"},
      {{"javaw", "-jar", "C:\\Program Files\\app\\brantel.jar"}, true, "TallyScope-ui"},
      {{"javaw", "-jar", "C:\\Program Files\\app\\brantel.jar"}, false, "brantel"},
      {{"java", "-cp", "lib", "com.brantel.Main"}, true, "TallyScope-ui"},
      {{"java", "-cp", "lib", "com.brantel.Main"}, false, "Main"},
      {{"java", "-cp"}, true, "java"},
      {{"java", "", "-ea", "", "p.Main"}, true, "Main"},
      {{"java", ""}, true, "java"},
      {{}, true, "unknown"},
  };
  for (const NameCase& c : cases) {
    std::string line;
    for (const std::string& argument : c.arguments) line += argument + " | ";
    EXPECT_STREQ(getSessionName(argumentsOf(c.arguments), c.hostRecognition).data, c.expected) << line;
  }
}

TEST(SessionName, RemovesASuffixInEitherCase) {
  const struct {
    const char* text;
    const char* expected;
  } cases[] = {{"A.JAR", "A"}, {"a.Jar", "a"}, {"jar", "jar"}, {".jar", ""}, {"x.jar.bak", "x.jar.bak"}, {"", ""}};
  for (const auto& c : cases) {
    EXPECT_STREQ(removeSuffixIgnoreCase(YString(c.text), YString(".jar")).data, c.expected) << c.text;
  }
}
