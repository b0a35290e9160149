#include "agent/platform/Processes.h"

#include <windows.h>
#include <psapi.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <cstring>

#include "agent/platform/windows/WideText.h"

// ExitProcess would run the detach routines of every DLL, this one's static destructors among them.
void exitProcessImmediately(int32_t exitCode) {
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(exitCode));
  for (;;) Sleep(INFINITE);
}

namespace {

using NtQueryInformationProcessFunction = LONG(WINAPI*)(HANDLE, ULONG, void*, ULONG, ULONG*);

// Outside the documented API, so it is looked up at run time; once, since the answer never changes.
NtQueryInformationProcessFunction ntQueryInformationProcess() {
  static const NtQueryInformationProcessFunction function = []() -> NtQueryInformationProcessFunction {
    HMODULE ntdll = LoadLibraryW(L"ntdll.dll");
    if (ntdll == nullptr) return nullptr;
    void* found = reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQueryInformationProcess"));
    if (found == nullptr) {
      FreeLibrary(ntdll);
      return nullptr;
    }
    return reinterpret_cast<NtQueryInformationProcessFunction>(found);
  }();
  return function;
}

bool readMemory(HANDLE process, uint64_t address, void* target, size_t count) {
  SIZE_T done = 0;
  return ReadProcessMemory(process, reinterpret_cast<const void*>(address), target, count, &done) && done == count;
}

uint64_t pointerAt(const unsigned char* record, size_t offset) {
  uint64_t value;
  std::memcpy(&value, record + offset, sizeof(value));
  return value;
}

// Where the 64-bit process records keep what is needed: the basic information (48 bytes) holds the
// address of the environment block at 8, the environment block (712 bytes) that of the process
// parameters at 32, and the first 128 bytes of the parameters end with the command line's counted
// string: its length in bytes at 112 and the address of its characters at 120.
constexpr size_t basicInformationSize = 48;
constexpr size_t environmentBlockOffset = 8;
constexpr size_t environmentBlockSize = 712;
constexpr size_t parametersOffset = 32;
constexpr size_t parametersSize = 128;
constexpr size_t commandLineLengthOffset = 112;
constexpr size_t commandLineBufferOffset = 120;

YWideString readCommandLine(HANDLE process, NtQueryInformationProcessFunction query) {
  unsigned char basic[basicInformationSize];
  ULONG returned = 0;
  if (query(process, 0, basic, sizeof(basic), &returned) != 0) return YWideString();
  unsigned char environment[environmentBlockSize];
  if (!readMemory(process, pointerAt(basic, environmentBlockOffset), environment, sizeof(environment))) {
    return YWideString();
  }
  unsigned char parameters[parametersSize];
  if (!readMemory(process, pointerAt(environment, parametersOffset), parameters, sizeof(parameters))) {
    return YWideString();
  }
  uint16_t lengthBytes;
  std::memcpy(&lengthBytes, parameters + commandLineLengthOffset, sizeof(lengthBytes));
  const int32_t units = lengthBytes / 2;
  if (units == 0) return YWideString();
  char16_t* text = newWideBuffer(units + 1);
  YWideString line;
  if (readMemory(process, pointerAt(parameters, commandLineBufferOffset), text, size_t(units) * 2)) {
    line = YWideString(text);
  }
  freeBlock(text);
  return line;
}

// The arguments of `line` as CommandLineToArgvW splits them. It parses its first token as a program
// name, where backslashes and quotes follow other rules, so a line that holds no program name gets a
// stand-in one that is dropped again.
void appendSplit(YVector<YString>& arguments, const YString& line, bool startsWithProgramName) {
  const YWideString wide = toWideString(startsWithProgramName ? line : YString("_ ") + line);
  int count = 0;
  LPWSTR* split = CommandLineToArgvW(wideData(wide), &count);
  if (split == nullptr) return;
  for (int i = startsWithProgramName ? 0 : 1; i < count; i++) arguments.add(utf8FromWide(split[i]));
  LocalFree(split);
}

bool isBlankOrControl(char c) { return c >= 1 && c <= 32; }

// The executable name that a process snapshot gives for `pid`; false when the process is not in it.
bool snapshotName(uint32_t pid, YString& name) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof(entry);
  bool found = false;
  for (BOOL more = Process32FirstW(snapshot, &entry); more && !found; more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == pid) {
      name = utf8FromWide(entry.szExeFile);
      found = true;
    }
  }
  CloseHandle(snapshot);
  return found;
}

// The image path with its device name replaced by the drive letter that maps to it.
YString drivePathOfImage(const YString& imagePath) {
  YString deviceNames[24];
  wchar_t drive[3] = L"C:";
  wchar_t device[127];
  for (int32_t i = 0; i < 24; i++) {
    drive[0] = wchar_t(L'C' + i);
    if (QueryDosDeviceW(drive, device, 127) != 0) deviceNames[i] = utf8FromWide(device);
  }
  return drivePathOf(imagePath, deviceNames);
}

YString ownExecutablePath() {
  constexpr DWORD capacity = 32768;
  wchar_t* path = reinterpret_cast<wchar_t*>(newWideBuffer(capacity));
  const DWORD length = GetModuleFileNameW(nullptr, path, capacity);
  const YString result = length > 0 && length < capacity ? utf8FromWide(path) : YString();
  freeBlock(path);
  return result;
}

// The account name of the token's user, without its domain; empty on failure.
YString accountNameOfToken(HANDLE token) {
  DWORD size = 0;
  if (GetTokenInformation(token, TokenUser, nullptr, 0, &size) || GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return YString();
  }
  constexpr DWORD capacity = 32768;
  wchar_t* account = reinterpret_cast<wchar_t*>(newWideBuffer(2 * capacity));
  wchar_t* domain = account + capacity;
  YString name;
  if (void* user = LocalAlloc(LPTR, size)) {
    DWORD accountLength = capacity;
    DWORD domainLength = capacity;
    SID_NAME_USE use;
    if (GetTokenInformation(token, TokenUser, user, size, &size) &&
        LookupAccountSidW(nullptr, static_cast<TOKEN_USER*>(user)->User.Sid, account, &accountLength, domain,
                          &domainLength, &use)) {
      name = utf8FromWide(account);
    }
    LocalFree(user);
  }
  freeBlock(account);
  return name;
}

}  // namespace

uint32_t getOwnPid() {
  static const uint32_t pid = GetCurrentProcessId();
  return pid;
}

void getOwnCommandLine(YVector<YString>& arguments) { getCommandLineByPid(arguments, getOwnPid()); }

void getCommandLineByPid(YVector<YString>& arguments, uint32_t pid) {
  const YWideString line = pid == getOwnPid() ? YWideString(reinterpret_cast<const char16_t*>(GetCommandLineW()))
                                              : getOtherProcessCommandLine(pid);
  splitCommandLine(arguments, toUtf8String(line), getProcessPathByPid(pid));
}

void splitCommandLine(YVector<YString>& arguments, const YString& commandLine, const YString& executablePath) {
  if (commandLine.length == 0) {
    if (executablePath.length > 0) arguments.add(executablePath);
    return;
  }
  // An unquoted path with blanks stays whole; the path must end where an argument ends.
  const int32_t pathLength = executablePath.length;
  if (pathLength > 0 && commandLine.startsWith(executablePath) &&
      (commandLine.length == pathLength || isBlankOrControl(commandLine.data[pathLength]))) {
    arguments.add(executablePath);
    const YString rest = commandLine.substringFrom(pathLength).trim();
    if (rest.length > 0) appendSplit(arguments, rest, false);
    return;
  }
  appendSplit(arguments, commandLine, true);
}

YWideString getOtherProcessCommandLine(uint32_t pid) {
  const NtQueryInformationProcessFunction query = ntQueryInformationProcess();
  if (query == nullptr) return YWideString();
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
  if (process == nullptr) return YWideString();
  const YWideString line = readCommandLine(process, query);
  CloseHandle(process);
  return line;
}

YString drivePathOf(const YString& devicePath, const YString* deviceNames) {
  for (int32_t i = 0; i < 24; i++) {
    const YString& device = deviceNames[i];
    // "\Device\HarddiskVolume1" must not take the paths of "\Device\HarddiskVolume10".
    if (device.length == 0 || !devicePath.startsWith(device) ||
        (devicePath.length > device.length && devicePath.data[device.length] != '\\')) {
      continue;
    }
    YString path;
    path.append(char('C' + i));
    path.append(':');
    path.append(devicePath.substringFrom(device.length));
    return path;
  }
  return devicePath;
}

YString getProcessPathByPid(uint32_t pid) {
  if (pid == getOwnPid()) return ownExecutablePath();
  YString fallback;
  if (!snapshotName(pid, fallback)) return YString();
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
  if (process == nullptr) return fallback;
  wchar_t path[MAX_PATH + 1] = {0};
  YString result;
  if (K32GetModuleFileNameExW(process, nullptr, path, MAX_PATH) > 0) {
    result = utf8FromWide(path);
  } else if (K32GetProcessImageFileNameW(process, path, MAX_PATH) > 0) {
    result = drivePathOfImage(utf8FromWide(path));
  }
  CloseHandle(process);
  return result.length > 0 ? result : fallback;
}

bool getAllPids(YVector<uint32_t>& pids) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    pids.add(entry.th32ProcessID);
  }
  CloseHandle(snapshot);
  return true;
}

bool isProcessRunning(uint32_t pid) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
  const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return running;
}

void getSpecialJavaPids(YVector<uint32_t>* pids) {
  if (pids == nullptr) assertionFailed("assertion failed: value is NULL", "OsSpecific", 1026);
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return;
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID != getOwnPid() && isSpecialJavaProcessName(utf8FromWide(entry.szExeFile))) {
      pids->add(entry.th32ProcessID);
    }
  }
  CloseHandle(snapshot);
}

YString getProcessOwnerByPid(uint32_t pid) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return YString();
  YString owner;
  HANDLE token = nullptr;
  if (OpenProcessToken(process, TOKEN_QUERY, &token)) {
    owner = accountNameOfToken(token);
    CloseHandle(token);
  }
  CloseHandle(process);
  return owner;
}
