#include "agent/platform/SystemInfo.h"

#include <windows.h>
#include <psapi.h>

#include <cstring>
#include <cwchar>

#include "agent/platform/windows/WideText.h"

// GetVersionExA admits only to the version the executable's manifest names; the product version of
// kernel32.dll tells the real one.
static void readKernelProductVersion(WindowsVersion& version) {
  wchar_t systemDirectory[246];
  const UINT length = GetSystemDirectoryW(systemDirectory, 246);
  if (length == 0 || length >= 246) return;
  YWideString path(reinterpret_cast<const char16_t*>(systemDirectory));
  path.append(u"\\kernel32.dll");
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(wideData(path), &ignored);
  if (size == 0) return;
  unsigned char* resource = allocZeroed<unsigned char>(size);
  VS_FIXEDFILEINFO* info = nullptr;
  UINT infoLength = 0;
  if (GetFileVersionInfoW(wideData(path), 0, size, resource) &&
      VerQueryValueW(resource, L"\\", reinterpret_cast<void**>(&info), &infoLength) && info != nullptr) {
    version.major = HIWORD(info->dwProductVersionMS);
    version.minor = LOWORD(info->dwProductVersionMS);
    version.build = HIWORD(info->dwProductVersionLS);
  }
  freeBlock(resource);
}

void getWindowsVersion(WindowsVersion& version) {
  version = WindowsVersion{0, 0, 0, 0, false};
  OSVERSIONINFOEXA record;
  std::memset(&record, 0, sizeof(record));
  record.dwOSVersionInfoSize = sizeof(record);
  if (GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&record))) {
    version.platformId = record.dwPlatformId;
    version.major = record.dwMajorVersion;
    version.minor = record.dwMinorVersion;
    version.build = record.dwBuildNumber;
    version.isWorkstation = record.wProductType == VER_NT_WORKSTATION;
  }
  readKernelProductVersion(version);
}

const char* getPlatformDirName() { return "win64"; }

bool is64BitMachine() { return true; }

YString windowsProductName(const WindowsVersion& version) {
  if (version.platformId == VER_PLATFORM_WIN32_NT) {
    const bool workstation = version.isWorkstation;
    if (version.major == 6) {
      switch (version.minor) {
        case 0: return YString(workstation ? "Windows Vista" : "Windows Server 2008");
        case 1: return YString(workstation ? "Windows 7" : "Windows Server 2008 R2");
        case 2: return YString(workstation ? "Windows 8" : "Windows Server 2012");
        case 3: return YString(workstation ? "Windows 8.1" : "Windows Server 2012 R2");
      }
    } else if (version.major == 10 && version.minor == 0) {
      if (workstation) return YString("Windows 10");
      return YString(version.build < 17763 ? "Windows Server 2016" : "Windows Server 2019");
    }
  }
  return YString("Windows (") + versionNumbersText(version) + ")";
}

YString getOsDisplayName() { return windowsProductName(windowsVersion()); }

YString getWindowsVersionText() { return versionNumbersText(windowsVersion()); }

YString getComputerName() {
  wchar_t name[1024];
  DWORD size = 1024;
  if (!GetComputerNameExW(ComputerNameDnsHostname, name, &size)) return YString();
  return utf8FromWide(name);
}

YString getUserName() {
  wchar_t name[1024];
  DWORD size = 1024;
  if (!GetUserNameW(name, &size)) return YString();
  return utf8FromWide(name);
}

YString getRuntimeErrorMessage(int32_t errorNumber) {
  wchar_t message[1024];
  if (_wcserror_s(message, 1024, errorNumber) != 0) return YString();
  return utf8FromWide(message);
}

int64_t getSystemPhysicalMemorySize() {
  MEMORYSTATUSEX status;
  status.dwLength = sizeof(status);
  if (!GlobalMemoryStatusEx(&status)) return 0;
  return int64_t(status.ullTotalPhys);
}

int64_t getProcessMemoryUsage() {
  PROCESS_MEMORY_COUNTERS counters;
  if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) return -1;
  return int64_t(counters.PagefileUsage);
}

int64_t getProcessPhysicalMemoryUsage() {
  PROCESS_MEMORY_COUNTERS counters;
  if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) return -1;
  return int64_t(counters.WorkingSetSize);
}
