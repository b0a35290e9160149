#include "agent/platform/TempFiles.h"

#include <windows.h>
#include <errno.h>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include "agent/platform/windows/WideText.h"

// _O_CREAT with _O_EXCL is CreateFileW's CREATE_NEW: it fails on anything already there, a reparse
// point included. Not inherited by the processes the JVM starts.
int32_t createPrivateFile(const YString& path, bool& exists) {
  int fd = -1;
  const errno_t error = _wsopen_s(&fd, wideData(toWideString(path)),
                                  _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _SH_DENYNO,
                                  _S_IREAD | _S_IWRITE);
  exists = error == EEXIST;
  return error == 0 ? fd : -1;
}

int32_t openOwnFileForRead(const YString& path) {
  const DWORD attributes = GetFileAttributesW(wideData(toWideString(path)));
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) != 0) {
    return -1;
  }
  int fd = -1;
  const errno_t error =
      _wsopen_s(&fd, wideData(toWideString(path)), _O_RDONLY | _O_BINARY | _O_NOINHERIT, _SH_DENYNO, 0);
  return error == 0 ? fd : -1;
}

bool replaceFile(const YString& from, const YString& to) {
  return MoveFileExW(wideData(toWideString(from)), wideData(toWideString(to)), MOVEFILE_REPLACE_EXISTING) != 0;
}
