#include "agent/support/ZipEntryStream.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint16_t encryptedFlag = 0x1;
constexpr uint16_t dataDescriptorFlag = 0x8;
constexpr uint16_t storedMethod = 0;

}  // namespace

ZipEntryStream::~ZipEntryStream() {
  if (inflating) inflateEnd(&inflater);
}

bool ZipEntryStream::open(const ZipCentralHeader& header, int64_t dataStart, const char* password) {
  if (!hasSupportedSizes(header)) return false;
  const bool encrypted = (header.flags & encryptedFlag) != 0;
  headerLeft = encrypted ? encryptionHeaderSize : 0;
  // Copying stored data stops at the uncompressed size, so sizes that disagree would leave bytes unread
  // or run out before the end.
  if (header.method == storedMethod &&
      int64_t(header.compressedSize) != int64_t(header.uncompressedSize) + headerLeft) {
    return false;
  }
  if (header.method != storedMethod) {
    if (inflateInit2(&inflater, -MAX_WBITS) != Z_OK) return false;
    inflating = true;
  }
  input.reset(new unsigned char[inputBufferSize]);
  method = header.method;
  expectedCrc = header.crc;
  compressedLeft = header.compressedSize;
  uncompressedLeft = header.uncompressedSize;
  dataPosition = dataStart;
  if (encrypted) {
    decryption.reset(new ZipDecryptionKeys(password));
    // With a data descriptor the CRC is not known when the header is encrypted; the time stands in.
    checkByte = static_cast<unsigned char>((header.flags & dataDescriptorFlag) != 0 ? header.dosDateTime >> 8
                                                                                    : header.crc >> 24);
  }
  return true;
}

bool ZipEntryStream::refill(ZipArchive& archive) {
  const int32_t count = int32_t(std::min<int64_t>(inputBufferSize, compressedLeft));
  if (!archive.readAt(dataPosition, input.get(), count)) return false;
  if (decryption) decryption->decrypt(input.get(), count);
  dataPosition += count;
  compressedLeft -= count;
  inputStart = 0;
  inputAvailable = count;
  return true;
}

void ZipEntryStream::consume(int32_t count) {
  inputStart += count;
  inputAvailable -= count;
}

ZipReadResult ZipEntryStream::read(ZipArchive& archive, unsigned char* out, int32_t length) {
  if (complete) return {0, ZipReadStatus::complete};
  const int32_t wanted = int32_t(std::min<int64_t>(length, uncompressedLeft));
  int32_t delivered = 0;
  bool streamEnded = false;
  // The encryption header is checked even for an entry without data, so a wrong password never passes.
  while (headerLeft > 0 || (delivered < wanted && !streamEnded)) {
    if (inputAvailable == 0 && compressedLeft > 0 && !refill(archive)) return {0, ZipReadStatus::dataError};
    if (headerLeft > 0) {
      if (inputAvailable == 0) return {0, ZipReadStatus::dataError};
      const int32_t skipped = std::min(headerLeft, inputAvailable);
      const unsigned char last = input[inputStart + skipped - 1];
      consume(skipped);
      headerLeft -= skipped;
      if (headerLeft == 0 && last != checkByte) return {0, ZipReadStatus::passwordError};
      continue;
    }
    int32_t produced;
    if (method == storedMethod) {
      if (inputAvailable == 0) return {0, ZipReadStatus::dataError};
      produced = std::min(inputAvailable, wanted - delivered);
      std::memcpy(out + delivered, input.get() + inputStart, size_t(produced));
      consume(produced);
    } else {
      const uInt room = uInt(wanted - delivered);
      inflater.next_in = input.get() + inputStart;
      inflater.avail_in = uInt(inputAvailable);
      inflater.next_out = out + delivered;
      inflater.avail_out = room;
      const int code = inflate(&inflater, Z_SYNC_FLUSH);
      const int32_t consumed = inputAvailable - int32_t(inflater.avail_in);
      produced = int32_t(room - inflater.avail_out);
      consume(consumed);
      if (code == Z_STREAM_END) {
        streamEnded = true;
      } else if (code != Z_OK && code != Z_BUF_ERROR) {
        return {0, ZipReadStatus::dataError};
      } else if (consumed == 0 && produced == 0 && (inputAvailable > 0 || compressedLeft == 0)) {
        // The stream wants more than the entry's compressed bytes, or is stuck: never loop on it.
        return {0, ZipReadStatus::dataError};
      }
    }
    crc = uint32_t(crc32(crc, out + delivered, uInt(produced)));
    delivered += produced;
  }
  uncompressedLeft -= delivered;
  if (streamEnded && uncompressedLeft != 0) return {0, ZipReadStatus::dataError};
  complete = streamEnded || uncompressedLeft == 0;
  if (complete && crc != expectedCrc) return {0, ZipReadStatus::dataError};
  return {delivered, complete ? ZipReadStatus::complete : ZipReadStatus::more};
}
