#include "agent/platform/NativeStack.h"

#include <execinfo.h>
#include <limits.h>
#include <link.h>
#include <stdlib.h>
#include <unistd.h>

int32_t captureReturnAddresses(void** addresses, int32_t maxFrames) {
  const int count = backtrace(addresses, maxFrames);
  return count < 0 ? 0 : count;
}

namespace {

struct ModuleSearch {
  uintptr_t address;
  bool found;
  bool isMainProgram;
  const char* name;
  uintptr_t base;
};

int checkModule(dl_phdr_info* info, size_t, void* data) {
  ModuleSearch& search = *static_cast<ModuleSearch*>(data);
  for (int i = 0; i < info->dlpi_phnum; i++) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    if (segment.p_type != PT_LOAD) continue;
    const uintptr_t start = info->dlpi_addr + segment.p_vaddr;
    if (search.address >= start && search.address - start < segment.p_memsz) {
      search.found = true;
      search.isMainProgram = info->dlpi_name == nullptr || info->dlpi_name[0] == 0;
      search.name = info->dlpi_name;
      search.base = info->dlpi_addr;
      return 1;
    }
  }
  return 0;
}

// The loader keeps names as they were asked for; a reader of the stack wants the file itself.
YString absolutePath(const char* path) {
  char resolved[PATH_MAX];
  if (realpath(path, resolved) != nullptr) return YString(resolved);
  return YString(path);
}

YString ownExecutablePath() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (length <= 0) return YString();
  path[length] = 0;
  return YString(path);
}

}  // namespace

void findModuleOfAddress(const void* address, YString& modulePath, uint64_t& moduleBase) {
  modulePath = YString();
  moduleBase = 0;
  ModuleSearch search = {reinterpret_cast<uintptr_t>(address), false, false, nullptr, 0};
  dl_iterate_phdr(checkModule, &search);
  if (!search.found) return;
  modulePath = search.isMainProgram ? ownExecutablePath() : absolutePath(search.name);
  moduleBase = search.base;
}
