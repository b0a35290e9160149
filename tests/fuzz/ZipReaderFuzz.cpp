// Arbitrary bytes as an archive file, read as the probe loader reads one: opened without a password and
// with one taken from the input's last bytes, every entry listed (the count first, then in order, then a
// few out of order), every entry unzipped through a 1024-byte buffer until the result is no longer 0x600,
// with an unzip interrupted by a listing on the way. Whatever comes in, every result is one of the
// documented codes, a listed entry's name is terminated and its sizes are not negative, no entry takes
// more calls than its size needs, and nothing crashes, leaks or hangs.
//
// Seeds: started with a corpus directory that has no "seeds" folder, the target first writes a few small
// archives there (stored, deflated, encrypted with the password "secret" that ends the archive, with data
// descriptors, "UT" times, a name too long to keep, other data before and a comment after).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

#include "agent/support/YString.h"
#include "agent/support/ZipReader.h"
#include "tests/fuzz/CorpusSeeds.h"
#include "tests/support/TempDir.h"
#include "tests/support/ZipFixture.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

bool isOneOf(int32_t result, std::initializer_list<int32_t> codes) {
  for (const int32_t code : codes) {
    if (result == code) return true;
  }
  return false;
}

void writeSeeds(const std::filesystem::path& directory) {
  std::vector<ZipFixture> archives(4);
  archives[0].add("a.txt", "stored text");
  archives[0].add("dir/b.txt", std::string(3000, 'b') + "end", 8).localExtra = utExtraRecord(7, {1, 2, 3});
  archives[1].add("plain", "not secret", 8);
  archives[1].add("stored", "secret stored").password = "secret";
  archives[1].add("deflated", std::string(2000, 'd'), 8).password = "secret";
  archives[1].comment = "secret";
  ZipFixtureEntry& described = archives[2].add("described", "with a data descriptor", 8);
  described.dataDescriptor = true;
  described.password = "secret";
  archives[2].add("unix", "").hostSystem = 3;
  archives[2].comment = "secret";
  archives[3].prefix = "other data first";
  archives[3].add(std::string(257, 'n') + "\xe2\x82\xac" + std::string(40, 'n'), "a long name");
  archives[3].add("x", "x");
  archives[3].comment = "a comment";
  std::filesystem::create_directories(directory);
  for (size_t i = 0; i < archives.size(); i++) {
    std::ofstream(directory / ("seed" + std::to_string(i) + ".zip"), std::ios::binary) << archives[i].bytes();
  }
}

void readArchive(const std::u16string& path, const char* password, int64_t fileSize) {
  ZipHandle* zip = openZipFile(path.c_str(), password);
  if (zip == nullptr) {
    require(lastZipResult == zipCannotOpen);
    return;
  }
  require(lastZipResult == zipOk);
  ZipEntryInfo info;
  require(getZipEntry(zip, -1, &info) == zipOk);
  const int32_t count = info.index;
  require(count >= 0 && count <= 0xFFFF);

  // The limit of calls: what the listed size needs, or what the file could inflate to (at most 1032
  // bytes of output for each byte of input).
  std::vector<int64_t> callLimits(size_t(count), (fileSize * 1032) / 1024 + 2);
  for (int32_t i = 0; i < count; i++) {
    const int32_t result = getZipEntry(zip, i, &info);
    require(isOneOf(result, {zipOk, zipBadEntryHeader, zipBadExtraField}));
    if (result != zipOk) continue;
    require(info.index == i && info.compressedSize >= 0 && info.uncompressedSize >= 0);
    bool terminated = false;
    for (const char16_t unit : info.name) terminated = terminated || unit == 0;
    require(terminated);
    callLimits[size_t(i)] = info.uncompressedSize / 1024 + 2;
  }
  for (const int32_t i : {count - 1, 0, count / 2, count - 1}) {
    if (i >= 0 && i < count) require(isOneOf(getZipEntry(zip, i, &info), {zipOk, zipBadEntryHeader, zipBadExtraField}));
  }

  char buffer[1024];
  bool interrupted = false;
  for (int32_t i = 0; i < count; i++) {
    int32_t result = zipMoreData;
    int64_t calls = 0;
    while (result == zipMoreData) {
      require(++calls <= callLimits[size_t(i)]);
      result = unzipEntryToMemory(zip, i, buffer, sizeof(buffer));
      require(isOneOf(result, {zipOk, zipMoreData, zipPasswordFailed, zipUnzipFailed}));
      // Once, a listing in the middle of an entry: the entry starts again afterwards.
      if (!interrupted && calls == 2 && result == zipMoreData) {
        interrupted = true;
        getZipEntry(zip, count - 1, &info);
        calls = 0;
      }
    }
  }
  require(closeZip(zip) == zipOk);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  seedFirstCorpusFolder(*argc, *argv, writeSeeds);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  static const TempDir directory;
  static const std::string path = directory.pathOf("fuzz.zip");
  static const YWideString widePath = toWideString(YString(path.c_str()));
  directory.write("fuzz.zip", std::string(reinterpret_cast<const char*>(bytes), size));
  const std::u16string name(widePath.data, size_t(widePath.length));

  // The password: the input's last bytes, up to six, cut at a NUL.
  const size_t tail = size < 6 ? size : 6;
  std::string password(reinterpret_cast<const char*>(bytes + size - tail), tail);
  password = password.substr(0, password.find('\0'));

  readArchive(name, nullptr, int64_t(size));
  readArchive(name, password.c_str(), int64_t(size));
  return 0;
}
