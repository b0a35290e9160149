#include "agent/platform/Processes.h"

namespace {

bool endsWith(const YString& text, const char* suffix) {
  const int32_t suffixLength = YString(suffix).length;
  return text.length >= suffixLength && text.substringFrom(text.length - suffixLength).equals(suffix);
}

}  // namespace

bool isSpecialJavaProcessName(const YString& executableName) {
  YString name(executableName);
  for (int32_t i = 0; i < name.length; i++) {
    if (name.data[i] >= 'A' && name.data[i] <= 'Z') name.data[i] = char(name.data[i] - 'A' + 'a');
  }
  if (name.equals("java.exe") || name.equals("javaw.exe") || name.equals("wasservice.exe")) return true;
  return name.startsWith(YString("tomcat")) && endsWith(name, ".exe");
}
