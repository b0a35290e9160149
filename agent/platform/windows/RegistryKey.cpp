#include "agent/platform/RegistryKey.h"

#include <windows.h>

namespace {

HKEY rootKey(RegistryRoot root) {
  switch (root) {
    case REGISTRY_CLASSES_ROOT:
      return HKEY_CLASSES_ROOT;
    case REGISTRY_CURRENT_USER:
      return HKEY_CURRENT_USER;
    default:
      return HKEY_LOCAL_MACHINE;
  }
}

// The view is always chosen, never left to the process's bitness.
REGSAM toRegistryViewFlag(bool view64) { return view64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY; }

REGSAM accessMask(RegistryAccess access) {
  switch (access) {
    case RegistryAccess::queryValue:
      return KEY_QUERY_VALUE;
    case RegistryAccess::setValue:
      return KEY_SET_VALUE;
    case RegistryAccess::readWrite:
      return KEY_READ | KEY_WRITE;
    default:
      return KEY_ALL_ACCESS;
  }
}

const wchar_t* wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

}  // namespace

int32_t RegistryKey::open(RegistryRoot root, const char16_t* path, bool view64, RegistryAccess access) {
  close();
  HKEY key = nullptr;
  const LONG error = RegOpenKeyExW(rootKey(root), wide(path), 0, accessMask(access) | toRegistryViewFlag(view64), &key);
  if (error == ERROR_SUCCESS) handle = reinterpret_cast<intptr_t>(key);
  return int32_t(error);
}

int32_t RegistryKey::create(RegistryRoot root, const char16_t* path, bool view64) {
  close();
  HKEY key = nullptr;
  const LONG error = RegCreateKeyExW(rootKey(root), wide(path), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                     KEY_ALL_ACCESS | toRegistryViewFlag(view64), nullptr, &key, nullptr);
  if (error == ERROR_SUCCESS) handle = reinterpret_cast<intptr_t>(key);
  return int32_t(error);
}

int32_t RegistryKey::queryValue(const char16_t* name, void* data, uint32_t& size) const {
  DWORD bytes = size;
  const LONG error =
      RegQueryValueExW(reinterpret_cast<HKEY>(handle), wide(name), nullptr, nullptr, static_cast<BYTE*>(data), &bytes);
  size = bytes;
  return int32_t(error);
}

int32_t RegistryKey::setValue(const char16_t* name, uint32_t type, const void* data, uint32_t size) const {
  return int32_t(
      RegSetValueExW(reinterpret_cast<HKEY>(handle), wide(name), 0, type, static_cast<const BYTE*>(data), size));
}

int32_t RegistryKey::deleteValue(const char16_t* name) const {
  return int32_t(RegDeleteValueW(reinterpret_cast<HKEY>(handle), wide(name)));
}

int32_t RegistryKey::close() {
  if (handle == 0) return ERROR_SUCCESS;
  const LONG error = RegCloseKey(reinterpret_cast<HKEY>(handle));
  handle = 0;
  return int32_t(error);
}
