#include "agent/platform/ProcessBitness.h"

#include <elf.h>
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <string>

// /proc/<pid>/exe opens the running image itself, even when its file was replaced or deleted since; its
// ELF class is the bitness of the process.
int32_t getProcessBitness(uint32_t pid) {
  if (pid == 0 || pid > uint32_t(INT32_MAX)) return -2;
  const std::string path = "/proc/" + std::to_string(pid) + "/exe";
  const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (file < 0) return -2;
  unsigned char ident[EI_NIDENT];
  const ssize_t count = read(file, ident, sizeof(ident));
  close(file);
  if (count != ssize_t(sizeof(ident)) || ident[EI_MAG0] != ELFMAG0 || ident[EI_MAG1] != ELFMAG1 ||
      ident[EI_MAG2] != ELFMAG2 || ident[EI_MAG3] != ELFMAG3) {
    return -3;
  }
  if (ident[EI_CLASS] == ELFCLASS64) return 64;
  if (ident[EI_CLASS] == ELFCLASS32) return 32;
  return -3;
}
