#include "agent/platform/RegistryKey.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <new>

#include "agent/support/AgentDirectories.h"
#include "agent/support/YString.h"
#include "agent/support/YVector.h"

// The store lies in "<agent home>/.tallyscope-registry/<view64|view32>/<HKCR|HKCU|HKLM>/". A key is a
// directory named after it ("<name>.key", the name folded to lower case and every character but a
// letter, a digit, '_' and '-' written as "%xxxx"), holding its subkeys and the file "values":
// records of {u32 type, u32 name length in UTF-16 units, the name, u32 data size, the data}, little
// endian. A write takes the flock of the key's "lock" file, reads the values, writes them all to a
// temporary file and renames it over "values", so that readers, who take no lock, always see a whole
// file and two writers never lose each other's values.

namespace {

constexpr int32_t errorSuccess = 0;
constexpr int32_t errorNotFound = 2;
constexpr int32_t errorAccessDenied = 5;
constexpr int32_t errorDiskFull = 112;
constexpr int32_t errorMoreData = 234;
constexpr int32_t errorGeneral = 31;
constexpr int32_t errorOutOfMemory = 14;

struct OpenKey {
  YString directory;  // ends with '/'
  RegistryAccess access;
};

int32_t errorOf(int error) {
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
      return errorAccessDenied;
    case ENOENT:
    case ENOTDIR:
      return errorNotFound;
    case ENOSPC:
    case EDQUOT:
      return errorDiskFull;
    default:
      return errorGeneral;
  }
}

char16_t foldCase(char16_t unit) { return unit >= 'A' && unit <= 'Z' ? char16_t(unit + ('a' - 'A')) : unit; }

size_t unitCount(const char16_t* text) {
  size_t count = 0;
  while (text != nullptr && text[count] != 0) count++;
  return count;
}

// The directory of root\path in the view; false for a path with an empty name in it.
bool keyDirectory(RegistryRoot root, const char16_t* path, bool view64, YString& directory,
                  YVector<YString>* levels) {
  directory = getAgentHomeDir();
  directory.append("/.tallyscope-registry/");
  directory.append(view64 ? "view64/" : "view32/");
  directory.append(root == REGISTRY_CLASSES_ROOT ? "HKCR/" : root == REGISTRY_CURRENT_USER ? "HKCU/" : "HKLM/");
  if (levels != nullptr) levels->add(directory);
  const size_t length = unitCount(path);
  size_t start = 0;
  while (start < length) {
    size_t end = start;
    while (end < length && path[end] != u'\\') end++;
    if (end == start) return false;
    for (size_t i = start; i < end; i++) {
      const char16_t unit = foldCase(path[i]);
      if ((unit >= 'a' && unit <= 'z') || (unit >= '0' && unit <= '9') || unit == '_' || unit == '-') {
        directory.append(char(unit));
      } else {
        directory.append("%");
        directory.append(toHex(unit, 4));
      }
    }
    directory.append(".key/");
    if (levels != nullptr) levels->add(directory);
    start = end + 1;
  }
  return true;
}

// The whole file, or false with `error` set.
bool readAll(const YString& path, YVector<uint8_t>& bytes, int32_t& error) {
  const int fd = ::open(path.data, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd == -1) {
    error = errorOf(errno);
    return false;
  }
  uint8_t chunk[8192];
  for (;;) {
    const ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      error = errorOf(errno);
      ::close(fd);
      return false;
    }
    bytes.addRange(chunk, int32_t(got));
  }
  ::close(fd);
  return true;
}

uint32_t readU32(const uint8_t* at) {
  return uint32_t(at[0]) | uint32_t(at[1]) << 8 | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24;
}

void appendU32(YVector<uint8_t>& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.add(uint8_t(value >> shift));
}

// One record of the values file, as offsets into its bytes.
struct ValueRecord {
  int32_t start;      // of the record
  int32_t nameAt;     // UTF-16LE units
  uint32_t nameUnits;
  uint32_t type;
  int32_t dataAt;
  uint32_t dataSize;
  int32_t end;        // of the record
};

// The next whole record at `offset`; false at the end or where the rest is not one.
bool nextRecord(const YVector<uint8_t>& bytes, int32_t offset, ValueRecord& record) {
  const int64_t size = bytes.size;
  if (offset + 8 > size) return false;
  record.start = offset;
  record.type = readU32(bytes.data + offset);
  record.nameUnits = readU32(bytes.data + offset + 4);
  const int64_t nameEnd = int64_t(offset) + 8 + int64_t(record.nameUnits) * 2;
  if (nameEnd + 4 > size) return false;
  record.nameAt = offset + 8;
  record.dataSize = readU32(bytes.data + nameEnd);
  const int64_t end = nameEnd + 4 + int64_t(record.dataSize);
  if (end > size) return false;
  record.dataAt = int32_t(nameEnd + 4);
  record.end = int32_t(end);
  return true;
}

bool nameMatches(const YVector<uint8_t>& bytes, const ValueRecord& record, const char16_t* name) {
  const size_t units = unitCount(name);
  if (units != record.nameUnits) return false;
  for (size_t i = 0; i < units; i++) {
    const uint8_t* at = bytes.data + record.nameAt + 2 * i;
    const char16_t stored = char16_t(at[0] | at[1] << 8);
    if (foldCase(stored) != foldCase(name[i])) return false;
  }
  return true;
}

// The record of the name, or false.
bool findRecord(const YVector<uint8_t>& bytes, const char16_t* name, ValueRecord& found) {
  ValueRecord record;
  for (int32_t offset = 0; nextRecord(bytes, offset, record); offset = record.end) {
    if (nameMatches(bytes, record, name)) {
      found = record;
      return true;
    }
  }
  return false;
}

// Writes the values file anew through a temporary file renamed over it.
int32_t replaceValues(const YString& directory, const YVector<uint8_t>& bytes) {
  YString temporary(directory);
  temporary.append("values.");
  temporary.appendLong(int64_t(getpid()));
  temporary.append(".");
  temporary.appendLong(int64_t(uintptr_t(pthread_self()) & 0x7fffffff));
  const int fd = ::open(temporary.data, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd == -1) return errorOf(errno);
  int32_t written = 0;
  while (written < bytes.size) {
    const ssize_t put = ::write(fd, bytes.data + written, size_t(bytes.size - written));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      const int32_t error = errorOf(put < 0 ? errno : ENOSPC);
      ::close(fd);
      ::unlink(temporary.data);
      return error;
    }
    written += int32_t(put);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    const int32_t error = errorOf(errno);
    ::unlink(temporary.data);
    return error;
  }
  YString target(directory);
  target.append("values");
  if (::rename(temporary.data, target.data) != 0) {
    const int32_t error = errorOf(errno);
    ::unlink(temporary.data);
    return error;
  }
  return errorSuccess;
}

// Runs `change` on the key's values under the key's lock and stores what it leaves; `change` returns an
// error code, and nothing is stored unless it is 0.
template <class Change>
int32_t changeValues(const OpenKey& key, Change change) {
  YString lockPath(key.directory);
  lockPath.append("lock");
  const int lock = ::open(lockPath.data, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (lock == -1) return errorOf(errno);
  while (::flock(lock, LOCK_EX) != 0 && errno == EINTR) {
  }
  YString valuesPath(key.directory);
  valuesPath.append("values");
  int32_t error = errorSuccess;
  try {
    YVector<uint8_t> bytes;
    if (readAll(valuesPath, bytes, error)) {
      error = change(bytes);
      if (error == errorSuccess) error = replaceValues(key.directory, bytes);
    }
  } catch (const std::bad_alloc&) {
    error = errorOutOfMemory;
  }
  ::close(lock);
  return error;
}

bool allowsWriting(RegistryAccess access) { return access != RegistryAccess::queryValue; }

}  // namespace

int32_t RegistryKey::open(RegistryRoot root, const char16_t* path, bool view64, RegistryAccess access) {
  close();
  YString directory;
  if (!keyDirectory(root, path, view64, directory, nullptr)) return errorNotFound;
  YString values(directory);
  values.append("values");
  struct stat status;
  if (::stat(values.data, &status) != 0) return errorOf(errno);
  if (!S_ISREG(status.st_mode)) return errorNotFound;
  if (::access(values.data, R_OK) != 0) return errorAccessDenied;
  if (allowsWriting(access) && ::access(directory.data, W_OK) != 0) return errorAccessDenied;
  OpenKey* key = new (std::nothrow) OpenKey{directory, access};
  if (key == nullptr) return errorGeneral;
  handle = reinterpret_cast<intptr_t>(key);
  return errorSuccess;
}

int32_t RegistryKey::create(RegistryRoot root, const char16_t* path, bool view64) {
  YString directory;
  YVector<YString> levels;
  if (!keyDirectory(root, path, view64, directory, &levels)) return errorNotFound;
  // The store's own directories come first, then the root and every key down to this one, each with
  // its values file.
  YString store = getAgentHomeDir();
  store.append("/.tallyscope-registry/");
  YString view(store);
  view.append(view64 ? "view64/" : "view32/");
  for (const YString* made : {&store, &view}) {
    if (::mkdir(made->data, 0700) != 0 && errno != EEXIST) return errorOf(errno);
  }
  for (int32_t i = 0; i < levels.size; i++) {
    if (::mkdir(levels[i].data, 0700) != 0 && errno != EEXIST) return errorOf(errno);
    YString values(levels[i]);
    values.append("values");
    const int fd = ::open(values.data, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd != -1) {
      ::close(fd);
    } else if (errno != EEXIST) {
      return errorOf(errno);
    }
  }
  return open(root, path, view64, RegistryAccess::all);
}

int32_t RegistryKey::queryValue(const char16_t* name, void* data, uint32_t& size) const {
  if (handle == 0) return errorGeneral;
  const OpenKey& key = *reinterpret_cast<const OpenKey*>(handle);
  YString valuesPath(key.directory);
  valuesPath.append("values");
  YVector<uint8_t> bytes;
  int32_t error = errorSuccess;
  try {
    if (!readAll(valuesPath, bytes, error)) return error;
  } catch (const std::bad_alloc&) {
    return errorOutOfMemory;
  }
  ValueRecord record;
  if (!findRecord(bytes, name, record)) return errorNotFound;
  if (record.dataSize > size) {
    size = record.dataSize;
    return errorMoreData;
  }
  std::memcpy(data, bytes.data + record.dataAt, record.dataSize);
  size = record.dataSize;
  return errorSuccess;
}

int32_t RegistryKey::setValue(const char16_t* name, uint32_t type, const void* data, uint32_t size) const {
  if (handle == 0) return errorGeneral;
  const OpenKey& key = *reinterpret_cast<const OpenKey*>(handle);
  if (!allowsWriting(key.access)) return errorAccessDenied;
  return changeValues(key, [&](YVector<uint8_t>& bytes) {
    ValueRecord record;
    if (findRecord(bytes, name, record)) bytes.removeRange(record.start, record.end);
    const size_t units = unitCount(name);
    appendU32(bytes, type);
    appendU32(bytes, uint32_t(units));
    for (size_t i = 0; i < units; i++) {
      bytes.add(uint8_t(name[i]));
      bytes.add(uint8_t(name[i] >> 8));
    }
    appendU32(bytes, size);
    bytes.addRange(static_cast<const uint8_t*>(data), int32_t(size));
    return errorSuccess;
  });
}

int32_t RegistryKey::deleteValue(const char16_t* name) const {
  if (handle == 0) return errorGeneral;
  const OpenKey& key = *reinterpret_cast<const OpenKey*>(handle);
  if (!allowsWriting(key.access)) return errorAccessDenied;
  return changeValues(key, [&](YVector<uint8_t>& bytes) {
    ValueRecord record;
    if (!findRecord(bytes, name, record)) return errorNotFound;
    bytes.removeRange(record.start, record.end);
    return errorSuccess;
  });
}

int32_t RegistryKey::close() {
  delete reinterpret_cast<OpenKey*>(handle);
  handle = 0;
  return errorSuccess;
}
