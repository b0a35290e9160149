#include "agent/platform/SystemInfo.h"

#include <pwd.h>
#include <string.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cstdio>
#include <initializer_list>

namespace {

// Leading decimal number of `text`, advancing past it and one following '.'.
uint32_t takeVersionNumber(const char*& text) {
  uint32_t value = 0;
  while (*text >= '0' && *text <= '9') value = value * 10 + uint32_t(*text++ - '0');
  if (*text == '.') text++;
  return value;
}

// The PRETTY_NAME of an os-release file, without its quotes; empty when the file has none.
YString prettyNameFrom(const char* path) {
  FILE* file = std::fopen(path, "r");
  if (file == nullptr) return YString();
  YString result;
  char line[512];
  while (std::fgets(line, sizeof(line), file) != nullptr) {
    if (strncmp(line, "PRETTY_NAME=", 12) != 0) continue;
    char* value = line + 12;
    value[strcspn(value, "\r\n")] = 0;
    size_t length = strlen(value);
    if (length >= 2 && (value[0] == '"' || value[0] == '\'') && value[length - 1] == value[0]) {
      value[length - 1] = 0;
      value++;
    }
    result = YString(value);
    break;
  }
  std::fclose(file);
  return result;
}

// The sum in bytes of the "Name:   123 kB" lines of /proc/self/status named by `fields`; -1 when one
// of them is missing.
int64_t ownStatusBytes(std::initializer_list<const char*> fields) {
  FILE* file = std::fopen("/proc/self/status", "r");
  if (file == nullptr) return -1;
  int64_t total = 0;
  size_t found = 0;
  char line[256];
  while (found < fields.size() && std::fgets(line, sizeof(line), file) != nullptr) {
    for (const char* field : fields) {
      const size_t fieldLength = strlen(field);
      long long kilobytes = 0;
      if (strncmp(line, field, fieldLength) == 0 && line[fieldLength] == ':' &&
          std::sscanf(line + fieldLength + 1, "%lld", &kilobytes) == 1) {
        total += int64_t(kilobytes) * 1024;
        found++;
      }
    }
  }
  std::fclose(file);
  return found == fields.size() ? total : -1;
}

}  // namespace

void getWindowsVersion(WindowsVersion& version) {
  version = WindowsVersion{0, 0, 0, 0, true};
  utsname names;
  if (uname(&names) != 0) return;
  const char* release = names.release;
  version.major = takeVersionNumber(release);
  version.minor = takeVersionNumber(release);
  version.build = takeVersionNumber(release);
}

const char* getPlatformDirName() { return "linux64"; }

bool is64BitMachine() { return true; }

YString getOsDisplayName() {
  YString name = prettyNameFrom("/etc/os-release");
  if (name.length == 0) name = prettyNameFrom("/usr/lib/os-release");
  if (name.length > 0) return name;
  utsname names;
  return uname(&names) == 0 ? YString(names.sysname) : YString("Linux");
}

YString getWindowsVersionText() {
  utsname names;
  return uname(&names) == 0 ? YString(names.release) : versionNumbersText(windowsVersion());
}

YString getComputerName() {
  char name[1025];
  if (gethostname(name, sizeof(name)) != 0) return YString();
  name[sizeof(name) - 1] = 0;
  return YString(name);
}

YString getUserName() {
  passwd entry;
  passwd* found = nullptr;
  char buffer[4096];
  if (getpwuid_r(geteuid(), &entry, buffer, sizeof(buffer), &found) != 0 || found == nullptr) return YString();
  return YString(found->pw_name);
}

// glibc's strerror_r comes in two forms; each overload takes the result of one.
[[maybe_unused]] static const char* messageOf(int result, const char* buffer) { return result == 0 ? buffer : nullptr; }
[[maybe_unused]] static const char* messageOf(const char* result, const char*) { return result; }

YString getRuntimeErrorMessage(int32_t errorNumber) {
  char buffer[1024] = {0};
  const char* message = messageOf(strerror_r(errorNumber, buffer, sizeof(buffer)), buffer);
  return message == nullptr ? YString() : YString(message);
}

int64_t getSystemPhysicalMemorySize() {
  struct sysinfo figures;
  if (sysinfo(&figures) != 0) return 0;
  return int64_t(figures.totalram) * int64_t(figures.mem_unit);
}

// Committed memory is the private writable memory: data segments and anonymous mappings, and the stack.
int64_t getProcessMemoryUsage() { return ownStatusBytes({"VmData", "VmStk"}); }

int64_t getProcessPhysicalMemoryUsage() { return ownStatusBytes({"VmRSS"}); }
