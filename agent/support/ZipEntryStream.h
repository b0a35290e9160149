#pragma once

#include <zlib.h>

#include <cstdint>
#include <memory>

#include "agent/support/ZipArchive.h"
#include "agent/support/ZipDecryption.h"

enum class ZipReadStatus { more, complete, passwordError, dataError };

struct ZipReadResult {
  int32_t delivered;
  ZipReadStatus status;
};

// The uncompressed bytes of one entry, delivered piece by piece: compressed data are read in blocks of
// 16384 bytes, decrypted when the entry is encrypted, and copied (stored) or inflated (deflated). The
// entry is complete when the deflate stream ends or the uncompressed size is delivered; it is correct only
// when the CRC-32 of what was delivered is the one the header names.
class ZipEntryStream {
 public:
  ZipEntryStream() = default;
  ~ZipEntryStream();
  ZipEntryStream(const ZipEntryStream&) = delete;
  ZipEntryStream& operator=(const ZipEntryStream&) = delete;

  // Prepares to read the entry whose data begin at `dataPosition`. False for an entry that cannot be
  // read: sizes of 2 GiB or more, a stored entry whose sizes do not agree, an inflater that cannot start.
  bool open(const ZipCentralHeader& header, int64_t dataPosition, const char* password);

  // Fills `out` with up to `length` next bytes, never more than are still to come. `dataError` when the
  // data cannot be read or decompressed, stop short of the size or fail the CRC check; `passwordError`
  // when the encryption header's check byte is wrong. A stream that failed is discarded, never read again.
  ZipReadResult read(ZipArchive& archive, unsigned char* out, int32_t length);

 private:
  bool refill(ZipArchive& archive);
  void consume(int32_t count);

  static constexpr int32_t inputBufferSize = 16384;
  static constexpr int32_t encryptionHeaderSize = 12;

  std::unique_ptr<unsigned char[]> input;
  int32_t inputStart = 0;
  int32_t inputAvailable = 0;
  z_stream inflater = {};
  bool inflating = false;
  uint32_t expectedCrc = 0;
  uint32_t crc = 0;
  int64_t compressedLeft = 0;
  int64_t uncompressedLeft = 0;
  int64_t dataPosition = 0;
  uint16_t method = 0;
  std::unique_ptr<ZipDecryptionKeys> decryption;
  int32_t headerLeft = 0;
  unsigned char checkByte = 0;
  bool complete = false;
};
