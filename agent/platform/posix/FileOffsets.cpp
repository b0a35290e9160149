#include "agent/platform/FileOffsets.h"

#include <unistd.h>

int64_t getFileOffset(int32_t fd) { return lseek(fd, 0, SEEK_CUR); }

int64_t seekFileToEnd(int32_t fd) { return lseek(fd, 0, SEEK_END); }
