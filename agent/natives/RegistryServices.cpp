#include "agent/natives/RegistryServices.h"

#include <cstdlib>

#include "agent/platform/RegistryKey.h"
#include "agent/support/Log.h"
#include "agent/support/YString.h"

namespace {

constexpr int32_t stringBufferBytes = 65536;
constexpr uint32_t stringQueryBytes = 32768;

bool isView64(int32_t view) { return view == 1; }

YString utf8(const char16_t* text) { return text == nullptr ? YString() : toUtf8String(YWideString(text)); }

int32_t unitCount(const char16_t* text) {
  int32_t count = 0;
  while (text != nullptr && text[count] != 0) count++;
  return count;
}

void logOpenFailure(const char* function, int32_t error, const char16_t* key) {
  YString line("[");
  line.append(function);
  line.append("] RegOpenKeyExW returned ");
  line.appendLong(error);
  line.append(" key=");
  line.append(utf8(key));
  logMessage(line);
}

}  // namespace

char16_t* getWinRegStringValueImpl(int32_t hive, const char16_t* key, const char16_t* name, int32_t view) {
  if (hive < REGISTRY_CLASSES_ROOT || hive > REGISTRY_LOCAL_MACHINE) {
    YString line("[getRegistryStringValue] Invalid hKey: ");
    line.appendLong(hive);
    logMessage(line);
    return nullptr;
  }
  RegistryKey opened;
  const int32_t openError = opened.open(RegistryRoot(hive), key, isView64(view), RegistryAccess::queryValue);
  if (openError != 0) {
    logOpenFailure("getRegistryStringValue", openError, key);
    return nullptr;
  }
  auto* buffer = static_cast<char16_t*>(std::malloc(stringBufferBytes));
  if (buffer == nullptr) return nullptr;
  buffer[0] = 0;
  uint32_t size = stringQueryBytes;
  const int32_t queryError = opened.queryValue(name, buffer, size);
  opened.close();
  if (queryError != 0) {
    YString line("[getRegistryStringValue] RegQueryValueExW returned ");
    line.appendLong(queryError);
    line.append(" key=");
    line.append(utf8(key));
    line.append(" name=");
    line.append(utf8(name));
    logMessage(line);
    std::free(buffer);
    return nullptr;
  }
  // The text ends with the data delivered, whether or not it was stored with a terminator.
  buffer[size / 2] = 0;
  return buffer;
}

int32_t getWinRegIntValueImpl(const char16_t* key, const char16_t* name, int32_t view) {
  RegistryKey opened;
  const int32_t openError = opened.open(REGISTRY_LOCAL_MACHINE, key, isView64(view), RegistryAccess::queryValue);
  if (openError != 0) {
    logOpenFailure("getRegistryIntValue", openError, key);
    return 0;
  }
  uint32_t value = 0;
  uint32_t size = sizeof value;
  // A value that is missing, or is no DWORD, reads as 0.
  if (opened.queryValue(name, &value, size) != 0 || size != sizeof value) return 0;
  return int32_t(value);
}

int32_t createWinRegKeyImpl(const char16_t* key, int32_t view) {
  RegistryKey created;
  return created.create(REGISTRY_LOCAL_MACHINE, key, isView64(view));
}

void setWinRegStringValueImpl(const char16_t* key, const char16_t* name, const char16_t* value, int32_t view) {
  RegistryKey opened;
  const int32_t openError = opened.open(REGISTRY_LOCAL_MACHINE, key, isView64(view), RegistryAccess::readWrite);
  if (openError != 0) {
    logOpenFailure("setRegistryStringValue", openError, key);
    return;
  }
  static const char16_t empty[] = {0};
  const char16_t* text = value != nullptr ? value : empty;
  // With its terminator, so that every reader finds the text's end.
  opened.setValue(name, REGISTRY_STRING, text, uint32_t(unitCount(text) + 1) * 2);
}

void setWinRegIntValueImpl(const char16_t* key, const char16_t* name, int32_t value, int32_t view) {
  RegistryKey opened;
  const int32_t openError = opened.open(REGISTRY_LOCAL_MACHINE, key, isView64(view), RegistryAccess::readWrite);
  if (openError != 0) {
    logOpenFailure("setRegistryIntValue", openError, key);
    return;
  }
  const uint32_t dword = uint32_t(value);
  opened.setValue(name, REGISTRY_DWORD, &dword, sizeof dword);
}

int32_t deleteWinRegValueImpl(const char16_t* key, const char16_t* name, int32_t view) {
  RegistryKey opened;
  const int32_t openError = opened.open(REGISTRY_LOCAL_MACHINE, key, isView64(view), RegistryAccess::setValue);
  if (openError != 0) return openError;
  opened.deleteValue(name);
  return opened.close();
}
