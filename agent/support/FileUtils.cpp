#include "agent/support/FileUtils.h"

#include <memory>

#include "agent/platform/Directories.h"
#include "agent/support/CommonUtils.h"
#include "agent/support/FatalError.h"

namespace {

constexpr int32_t streamBlockSize = 1024;
constexpr int32_t descriptorBlockSize = 10240;

void assertNotNull(const void* value, int32_t line) {
  if (value == nullptr) assertionFailed("assertion failed: value is NULL", "FileUtils", line);
}

bool isSeparator(char c) { return c == '/' || c == '\\'; }

YString withTrailingSeparator(const YString& directory) {
  YString result(directory);
  if (result.length == 0 || !isSeparator(result.data[result.length - 1])) result.append(pathSeparator);
  return result;
}

bool endsWith(const YString& text, const char* suffix) {
  const YString tail(suffix);
  return text.length >= tail.length && text.substringFrom(text.length - tail.length).equals(tail);
}

// Only Windows has drives; on Linux "C:" is an ordinary name.
bool isDrive(const YString& component) {
  if (pathSeparator != '\\' || component.length != 2 || component.data[1] != ':') return false;
  const char letter = component.data[0];
  return (letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z');
}

}  // namespace

void FileDescriptorGuard::close() {
  if (fd < 0) return;
  closeFile(fd);
  fd = -1;
}

BufferedFileReader::BufferedFileReader(int32_t fd, unsigned char* buffer, int32_t bufferSize)
    : bufferSize(bufferSize), buffer(buffer), filled(0), position(0), fd(fd) {}

int32_t BufferedFileReader::readByte() {
  if (filled < 0) return 0;
  if (position < filled) return buffer[position++];
  const int32_t n = readFile(fd, buffer, bufferSize);
  if (n <= 0) {
    filled = -1;
    return 0;
  }
  filled = n;
  position = 1;
  return buffer[0];
}

void BufferedFileReader::seek(int64_t offset) {
  if (filled < 0) return;
  filled = seekFile(fd, offset) == offset ? 0 : -1;
  position = 0;
}

YString readTextFile(FILE* stream) {
  YString text;
  if (stream == nullptr) return text;
  char block[streamBlockSize];
  size_t n;
  while ((n = std::fread(block, 1, sizeof(block), stream)) > 0) {
    text.reserve(int64_t(text.length) + int64_t(n) + 1);
    for (size_t i = 0; i < n; i++) text.append(block[i]);
  }
  return text;
}

YString readFileText(const YString& path) {
  const FileStreamGuard stream(openFileStream(path, "r"));
  return readTextFile(stream.get());
}

void readFileBytes(const YString& path, YVector<unsigned char>* out) {
  const FileStreamGuard stream(openFileStream(path, "rb"));
  if (stream == nullptr) return;
  readStreamBytes(stream.get(), out);
}

void readStreamBytes(FILE* stream, YVector<unsigned char>* out) {
  assertNotNull(stream, 69);
  assertNotNull(out, 70);
  unsigned char block[streamBlockSize];
  size_t n;
  while ((n = std::fread(block, 1, sizeof(block), stream)) > 0) {
    for (size_t i = 0; i < n; i++) out->add(block[i]);
  }
}

void readFdFully(int32_t fd, YVector<unsigned char>* out) {
  assertNotNull(out, 87);
  std::unique_ptr<unsigned char[]> block(new unsigned char[descriptorBlockSize]);
  int32_t n;
  while ((n = readFile(fd, block.get(), descriptorBlockSize)) > 0) {
    for (int32_t i = 0; i < n; i++) out->add(block[i]);
  }
}

void makeDirectories(const YString& path) {
  if (path.length == 0) assertionFailed("assertion failed", "FileUtils", 190);
  if (isDirectory(path)) return;
  YVector<YString> components;
  splitByDelimiters(path, "/\\", components);
  YString prefix;
  if (isSeparator(path.data[0])) prefix.append(pathSeparator);
  for (int32_t i = 0; i < components.size; i++) {
    if (i > 0) prefix.append(pathSeparator);
    prefix.append(components[i]);
    if (i == 0 && isDrive(components[i])) continue;
    createDirectory(prefix);
  }
}

void listFiles(const YString& directory, YVector<YString>* out) {
  assertNotNull(out, 337);
  listDirectory(withTrailingSeparator(directory), *out);
}

void listClassFiles(const YString& directory, const YString& className, YVector<YString>* out) {
  assertNotNull(out, 231);
  const char separator[] = {pathSeparator, 0};
  YString searchDirectory = withTrailingSeparator(directory.replaceAll("/", separator).replaceAll("\\", separator));
  const YString relativePath = className.replaceAll(".", separator);
  const YString simpleName = relativePath.substringAfterLast(pathSeparator);
  searchDirectory.append(relativePath.substring(0, relativePath.length - simpleName.length));

  const YString ownFile = simpleName + ".class";
  const YString nestedPrefix = simpleName + "$";
  YVector<YString> names;
  listDirectory(searchDirectory, names);
  for (int32_t i = 0; i < names.size; i++) {
    const YString& name = names[i];
    if (name.equals(ownFile) || (name.startsWith(nestedPrefix) && endsWith(name, ".class"))) {
      out->add(searchDirectory + name);
    }
  }
}

YString fileNameOfPath(const YString& path) { return path.substringAfterLast('/').substringAfterLast('\\'); }
