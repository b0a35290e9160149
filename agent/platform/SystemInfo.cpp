#include "agent/platform/SystemInfo.h"

// The parts of the system queries that are the same on every platform.

const WindowsVersion& windowsVersion() {
  static const WindowsVersion version = [] {
    WindowsVersion filled;
    getWindowsVersion(filled);
    return filled;
  }();
  return version;
}

YString versionNumbersText(const WindowsVersion& version) {
  YString text(int64_t(version.major));
  text.append(".");
  text.appendLong(version.minor);
  text.append(".");
  text.appendLong(version.build);
  return text;
}
