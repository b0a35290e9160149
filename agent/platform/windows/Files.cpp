#include "agent/platform/Files.h"

#include <windows.h>
#include <aclapi.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include "agent/platform/windows/WideText.h"

namespace {

// Descriptors are never inherited by the processes the JVM starts (it lets children inherit handles).
int32_t openWith(const YString& path, int flags) {
  int fd = -1;
  if (_wsopen_s(&fd, wideData(toWideString(path)), flags | _O_BINARY | _O_NOINHERIT, _SH_DENYNO,
                _S_IREAD | _S_IWRITE) != 0) {
    return -1;
  }
  return fd;
}

}  // namespace

int32_t openFileForWrite(const YString& path) { return openWith(path, _O_WRONLY | _O_CREAT | _O_TRUNC); }

int32_t openFileCreateNew(const YString& path) { return openWith(path, _O_WRONLY | _O_CREAT | _O_EXCL); }

int32_t openFileReadWrite(const YString& path) { return openWith(path, _O_RDWR | _O_CREAT | _O_TRUNC); }

int32_t openExistingFileForWrite(const YString& path) { return openWith(path, _O_WRONLY); }

int32_t openFileForRead(const YString& path) { return openWith(path, _O_RDONLY); }

// "N" keeps the stream's handle from child processes, like _O_NOINHERIT above.
FILE* openFileStream(const YString& path, const char* mode) {
  if (mode == nullptr) return nullptr;
  YString modeText(mode);
  modeText.append('N');
  return _wfsopen(wideData(toWideString(path)), wideData(toWideString(modeText)), _SH_DENYNO);
}

bool deleteFile(const YString& path) { return DeleteFileW(wideData(toWideString(path))) != 0; }

int32_t readFile(int32_t fd, void* buffer, int32_t count) {
  if (count < 0) return -1;
  return _read(fd, buffer, unsigned(count));
}

bool writeFile(int32_t fd, const void* data, int32_t count) {
  if (count < 0) return false;
  const char* next = static_cast<const char*>(data);
  for (int32_t left = count; left > 0;) {
    const int n = _write(fd, next, unsigned(left));
    if (n <= 0) return false;
    next += n;
    left -= n;
  }
  return true;
}

int64_t seekFile(int32_t fd, int64_t offset) { return _lseeki64(fd, offset, SEEK_SET); }

void closeFile(int32_t fd) { _close(fd); }

FileHandle fileHandleOf(int32_t fd) { return _get_osfhandle(fd); }

bool isRegularFile(int32_t fd) {
  const HANDLE file = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (file == INVALID_HANDLE_VALUE || GetFileType(file) != FILE_TYPE_DISK) return false;
  BY_HANDLE_FILE_INFORMATION information;
  return GetFileInformationByHandle(file, &information) != 0 &&
         (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// A failed move must not let SetEndOfFile cut the file at the old position and report success.
bool setFileLength(FileHandle file, int64_t length) {
  const HANDLE handle = reinterpret_cast<HANDLE>(file);
  LONG high = LONG(length >> 32);
  SetLastError(NO_ERROR);
  const DWORD low = SetFilePointer(handle, LONG(length & 0xFFFFFFFF), &high, FILE_BEGIN);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return false;
  return SetEndOfFile(handle) != 0;
}

int64_t getFileSize(const YString& path) {
  struct _stat64 status;
  if (_wstat64(wideData(toWideString(path)), &status) != 0 || (status.st_mode & _S_IFDIR) != 0) return -1;
  return status.st_size;
}

bool isDirectory(const YString& path) {
  const DWORD attributes = GetFileAttributesW(wideData(toWideString(path)));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool createDirectory(const YString& path) { return CreateDirectoryW(wideData(toWideString(path)), nullptr) != 0; }

void listDirectory(const YString& directory, YVector<YString>& names) {
  WIN32_FIND_DATAW entry;
  const HANDLE search = FindFirstFileW(wideData(toWideString(directory + "*.*")), &entry);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    names.add(utf8FromWide(entry.cFileName));
  } while (FindNextFileW(search, &entry));
  FindClose(search);
}

// Adds "everyone may read and execute" (0x1200A9) to the file's access list.
void grantFileAccessToEveryone(const YWideString& path) {
  wchar_t* name = const_cast<wchar_t*>(wideData(path));
  PACL oldList = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(name, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &oldList, nullptr,
                            &descriptor) != ERROR_SUCCESS) {
    return;
  }
  SID_IDENTIFIER_AUTHORITY worldAuthority = SECURITY_WORLD_SID_AUTHORITY;
  PSID everyone = nullptr;
  if (AllocateAndInitializeSid(&worldAuthority, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone)) {
    EXPLICIT_ACCESS_A access = {};
    access.grfAccessPermissions = 0x1200A9;
    access.grfAccessMode = GRANT_ACCESS;
    access.grfInheritance = NO_INHERITANCE;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access.Trustee.ptstrName = static_cast<LPSTR>(everyone);
    PACL newList = nullptr;
    if (SetEntriesInAclA(1, &access, oldList, &newList) == ERROR_SUCCESS) {
      SetNamedSecurityInfoW(name, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, newList, nullptr);
      LocalFree(newList);
    }
    FreeSid(everyone);
  }
  LocalFree(descriptor);
}

YString getFullPath(const YString& path) {
  wchar_t full[260];
  if (_wfullpath(full, wideData(toWideString(path)), 260) == nullptr) return path;
  return utf8FromWide(full);
}
