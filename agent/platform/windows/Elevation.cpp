#include "agent/platform/Elevation.h"

#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include "agent/platform/windows/WideText.h"

bool queryAdministratorMembership() {
  SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
  PSID administrators = nullptr;
  if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0,
                                0, 0, 0, &administrators)) {
    return IsUserAnAdmin() != FALSE;
  }
  BOOL member = FALSE;
  const BOOL checked = CheckTokenMembership(nullptr, administrators, &member);
  FreeSid(administrators);
  if (!checked) return IsUserAnAdmin() != FALSE;
  return member != FALSE;
}

bool runAsAdministrator(const YString& file, const YString& parameters, int32_t* exitCode, bool hidden) {
  const YWideString wideFile = toWideString(file);
  const YWideString wideParameters = toWideString(parameters);
  SHELLEXECUTEINFOW launch;
  ZeroMemory(&launch, sizeof(launch));
  launch.cbSize = sizeof(launch);
  launch.fMask = SEE_MASK_NOASYNC | (exitCode != nullptr ? SEE_MASK_NOCLOSEPROCESS : 0);
  launch.lpVerb = L"runas";
  launch.lpFile = wideData(wideFile);
  launch.lpParameters = wideData(wideParameters);
  launch.nShow = hidden ? SW_HIDE : SW_SHOWNORMAL;
  if (!ShellExecuteExW(&launch)) return false;
  if (exitCode != nullptr && launch.hProcess != nullptr) {
    WaitForSingleObject(launch.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(launch.hProcess, &code);
    *exitCode = int32_t(code);
    CloseHandle(launch.hProcess);
  }
  return true;
}
