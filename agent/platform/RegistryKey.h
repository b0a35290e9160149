#pragma once

#include <cstdint>

// A key of the registry, opened or created in one of its two views. Results are Windows error codes: 0
// on success, 2 for a key or value that does not exist, 5 for access denied, 234 for a value larger
// than the buffer. On Linux the registry is a store of files under the agent home: one file per key,
// each write atomic (a temporary file renamed into place) and serialised between processes by a lock,
// the two views and the three roots kept apart, key and value names compared without regard to ASCII
// case as Windows compares them.

enum RegistryRoot : int32_t { REGISTRY_CLASSES_ROOT = 1, REGISTRY_CURRENT_USER = 2, REGISTRY_LOCAL_MACHINE = 3 };

enum class RegistryAccess { queryValue, setValue, readWrite, all };

constexpr uint32_t REGISTRY_STRING = 1;  // REG_SZ
constexpr uint32_t REGISTRY_DWORD = 4;   // REG_DWORD

class RegistryKey {
 public:
  RegistryKey() = default;
  ~RegistryKey() { close(); }
  RegistryKey(const RegistryKey&) = delete;
  RegistryKey& operator=(const RegistryKey&) = delete;

  // `view64` chooses the 64-bit view, else the 32-bit one. `path` is a NUL-terminated UTF-16 key path
  // with "\" between its names.
  int32_t open(RegistryRoot root, const char16_t* path, bool view64, RegistryAccess access);
  // Opens the key with all access, creating it and the keys above it when they do not exist.
  int32_t create(RegistryRoot root, const char16_t* path, bool view64);

  // Up to `size` bytes of the value's data into `data`; `size` becomes the bytes delivered. The type is
  // not checked.
  int32_t queryValue(const char16_t* name, void* data, uint32_t& size) const;
  int32_t setValue(const char16_t* name, uint32_t type, const void* data, uint32_t size) const;
  int32_t deleteValue(const char16_t* name) const;
  int32_t close();

 private:
  intptr_t handle = 0;  // the HKEY on Windows; on Linux the open key of the store
};
