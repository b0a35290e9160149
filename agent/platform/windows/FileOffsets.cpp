#include "agent/platform/FileOffsets.h"

#include <io.h>
#include <stdio.h>

int64_t getFileOffset(int32_t fd) { return _lseeki64(fd, 0, SEEK_CUR); }

int64_t seekFileToEnd(int32_t fd) { return _lseeki64(fd, 0, SEEK_END); }
