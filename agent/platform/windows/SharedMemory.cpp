#include "agent/platform/SharedMemory.h"

#include <windows.h>
#include <aclapi.h>

#include "agent/platform/windows/WideText.h"
#include "agent/support/YString.h"

namespace {

// Security attributes that give the well-known group Everyone full access to a section, so that agents
// and hosts of every user meet in it. Owns what it allocates.
class OpenToEveryone {
 public:
  OpenToEveryone() : everyone(nullptr), accessList(nullptr), descriptor(nullptr) {
    SID_IDENTIFIER_AUTHORITY worldAuthority = SECURITY_WORLD_SID_AUTHORITY;
    if (!AllocateAndInitializeSid(&worldAuthority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone)) {
      everyone = nullptr;
    }
    EXPLICIT_ACCESS_A entry{};
    entry.grfAccessPermissions = 0xF003F;
    entry.grfAccessMode = SET_ACCESS;
    entry.grfInheritance = NO_INHERITANCE;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    entry.Trustee.ptstrName = static_cast<LPSTR>(everyone);
    if (everyone == nullptr || SetEntriesInAclA(1, &entry, nullptr, &accessList) != ERROR_SUCCESS) accessList = nullptr;
    descriptor = static_cast<PSECURITY_DESCRIPTOR>(LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH));
    if (descriptor == nullptr) return;
    InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(descriptor, TRUE, accessList, FALSE);
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = descriptor;
    attributes.bInheritHandle = FALSE;
  }
  ~OpenToEveryone() {
    if (everyone != nullptr) FreeSid(everyone);
    if (accessList != nullptr) LocalFree(accessList);
    if (descriptor != nullptr) LocalFree(descriptor);
  }
  OpenToEveryone(const OpenToEveryone&) = delete;
  OpenToEveryone& operator=(const OpenToEveryone&) = delete;

  bool made() const { return descriptor != nullptr; }
  SECURITY_ATTRIBUTES attributes{};

 private:
  PSID everyone;
  PACL accessList;
  PSECURITY_DESCRIPTOR descriptor;
};

}  // namespace

// The mapping handle and the view stay open until the process ends. A new section's pages are zero.
SharedMemoryArea openSharedMemory(const char* name, int32_t size) {
  SharedMemoryArea area{nullptr, false, SharedMemoryFailure::noMapping};
  if (name == nullptr || size <= 0) return area;
  OpenToEveryone security;
  if (!security.made()) {
    area.failure = SharedMemoryFailure::noSecurityDescriptor;
    return area;
  }
  const YWideString wideName = toWideString(YString(name));
  HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, &security.attributes, PAGE_READWRITE, 0, DWORD(size),
                                      wideData(wideName));
  area.isFirst = GetLastError() != ERROR_ALREADY_EXISTS;
  if (mapping == nullptr) return area;
  void* view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, SIZE_T(size));
  if (view == nullptr) {
    CloseHandle(mapping);
    area.failure = SharedMemoryFailure::noView;
    return area;
  }
  area.view = view;
  area.failure = SharedMemoryFailure::none;
  return area;
}
