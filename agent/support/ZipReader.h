#pragma once

#include <cstdint>

// Reads ZIP archives on disk (probe classes come from Java archives): opens one by file name, lists its
// entries and delivers an entry's uncompressed bytes into the caller's buffer over as many calls as the
// buffer size needs. Stored and deflated entries, optionally with the traditional PKWARE encryption;
// entries of 2 GiB or more and archives over several disks are refused. A handle serves one thread at a
// time. Every call stores its result in `lastZipResult` too; nothing is logged.

constexpr int32_t zipOk = 0;                    // success; unzipping: the entry is complete
constexpr int32_t zipCannotOpen = 0x200;        // the file cannot be opened or is no ZIP archive
constexpr int32_t zipMoreData = 0x600;          // unzipping: the buffer is full and more bytes follow
constexpr int32_t zipBadEntryHeader = 0x700;    // the entry's headers are unusable or disagree
constexpr int32_t zipBadExtraField = 0x800;     // the entry's local extra field cannot be read
constexpr int32_t zipPasswordFailed = 0x1000;   // unzipping: the password check failed
constexpr int32_t zipBadArgument = 0x10000;     // null handle, index out of range, no buffer
constexpr int32_t zipNotUnzipHandle = 0x80000;  // the handle is not an unzip handle
constexpr int32_t zipUnzipFailed = 0x5000000;   // unzipping: reading, decompression or the CRC failed

constexpr int32_t zipEntryNameUnits = 260;

struct ZipEntryInfo {
  // The entry's index; for index -1 the number of entries.
  int32_t index;
  // UTF-16, NUL-terminated.
  char16_t name[zipEntryNameUnits];
  // 0x01 read-only, 0x10 directory.
  uint32_t attributes;
  // FILETIME values: 100-ns units since 1601-01-01 UTC.
  int64_t accessTime;
  int64_t creationTime;
  int64_t modificationTime;
  int32_t compressedSize;
  int32_t uncompressedSize;
};

class ZipReader;

constexpr int32_t zipUnzipMode = 1;

struct ZipHandle {
  int32_t mode;
  ZipReader* reader;
};

// The result of the latest call below.
extern int32_t lastZipResult;

// Opens the archive; `password` (copied; may be null) decrypts encrypted entries. Null, with 0x200, when
// the file cannot be opened or holds no archive.
ZipHandle* openZipFile(const char16_t* fileName, const char* password);

// Fills `info` for entry `index` (0 up to the count), or only its index field with the number of entries
// for index -1. Closes the entry open for unzipping. 0, 0x700, 0x800, 0x10000 or 0x80000.
int32_t getZipEntry(ZipHandle* handle, int32_t index, ZipEntryInfo* info);

// Delivers the next bytes of entry `index` into `buffer`: 0 when they end the entry, 0x600 when the
// buffer is full and more follow, else an error (0x1000, 0x5000000, 0x10000, 0x80000). Called again with
// the same index while the result is 0x600; the last call delivers the uncompressed size minus what came
// before. An error closes the entry, so that the next call starts it afresh.
int32_t unzipEntryToMemory(ZipHandle* handle, int32_t index, void* buffer, int32_t length);

// Closes the archive and frees the handle. 0, 0x10000 or 0x80000.
int32_t closeZip(ZipHandle* handle);
