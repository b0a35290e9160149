#pragma once

#include <zlib.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

// Writes ZIP archives for tests, byte by byte: local headers with the data, the central directory and the
// end record; stored or raw-deflated entries, optionally encrypted with the traditional PKWARE cipher.
// Knobs let a test break one thing at a time. Offsets are relative to the archive's start, so an archive
// after prefix bytes is one appended to other data.

struct ZipFixtureEntry {
  std::string name;
  std::string data;
  uint16_t method = 0;     // 0 stored, 8 deflated
  std::string password;    // not empty: encrypted
  uint8_t hostSystem = 0;  // the high byte of "version made by": 0 FAT, 3 Unix, 11 NTFS
  uint32_t externalAttributes = 0;
  uint32_t dosDateTime = 0x52DC5041;  // 2021-06-28 10:02:02, the time in the low half
  std::string localExtra;             // the local header's extra field
  bool dataDescriptor = false;        // flag bit 3: the local header leaves CRC and sizes 0, a descriptor follows
  // Faults.
  int32_t localMethod = -1;            // the local header names this method instead
  uint32_t crcXor = 0;                 // both headers name the CRC changed by these bits
  int64_t centralCompressedSize = -1;  // the central header claims these sizes instead
  int64_t centralUncompressedSize = -1;
  int64_t centralLocalOffset = -1;  // the central header's local header offset instead
  bool writeDataAsIs = false;       // the data go in unchanged whatever the method, as a broken stream would
};

// A "UT" extra field record with these flags and times (Unix seconds), in the order given.
inline std::string utExtraRecord(uint8_t flags, const std::vector<int32_t>& times) {
  std::string data(1, char(flags));
  for (const int32_t t : times) {
    for (int shift = 0; shift < 32; shift += 8) data += char(uint32_t(t) >> shift);
  }
  std::string record("UT");
  record += char(data.size() & 0xFF);
  record += char(data.size() >> 8);
  return record + data;
}

class ZipFixture {
 public:
  std::string prefix;  // bytes before the archive
  std::string comment;
  std::vector<ZipFixtureEntry> entries;
  // Faults of the end record.
  int32_t entryCountOverride = -1;
  uint16_t diskNumber = 0;
  int64_t directoryOffsetShift = 0;

  ZipFixtureEntry& add(const std::string& name, const std::string& data, uint16_t method = 0) {
    ZipFixtureEntry entry;
    entry.name = name;
    entry.data = data;
    entry.method = method;
    entries.push_back(entry);
    return entries.back();
  }

  std::string bytes() const {
    std::string archive;
    std::vector<Written> written;
    for (const ZipFixtureEntry& entry : entries) written.push_back(writeLocal(entry, archive));
    const size_t directoryOffset = archive.size();
    for (size_t i = 0; i < entries.size(); i++) writeCentral(entries[i], written[i], archive);
    const size_t directorySize = archive.size() - directoryOffset;
    const uint16_t count = uint16_t(entryCountOverride >= 0 ? entryCountOverride : int32_t(entries.size()));
    put32(archive, 0x06054b50);
    put16(archive, diskNumber);
    put16(archive, diskNumber);
    put16(archive, count);
    put16(archive, count);
    put32(archive, uint32_t(directorySize));
    put32(archive, uint32_t(int64_t(directoryOffset) + directoryOffsetShift));
    put16(archive, uint16_t(comment.size()));
    return prefix + archive + comment;
  }

  // Raw deflate (no zlib header), as ZIP stores it.
  static std::string deflateRaw(const std::string& data) {
    z_stream stream = {};
    if (deflateInit2(&stream, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
      throw std::runtime_error("deflateInit2");
    std::string out(deflateBound(&stream, uLong(data.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = uInt(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
    stream.avail_out = uInt(out.size());
    const int code = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    if (code != Z_STREAM_END) throw std::runtime_error("deflate");
    return out;
  }

  static uint32_t crcOf(const std::string& data) {
    return uint32_t(crc32(0, reinterpret_cast<const Bytef*>(data.data()), uInt(data.size())));
  }

 private:
  struct Written {
    uint32_t crc;
    uint32_t compressedSize;
    uint32_t offset;
  };

  static void put16(std::string& out, uint32_t value) {
    out += char(value & 0xFF);
    out += char((value >> 8) & 0xFF);
  }

  static void put32(std::string& out, uint32_t value) {
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
  }

  static uint16_t flagsOf(const ZipFixtureEntry& entry) {
    return uint16_t((entry.password.empty() ? 0 : 0x1) | (entry.dataDescriptor ? 0x8 : 0));
  }

  // The cipher's own key schedule, kept apart from the reader's so that the two check each other.
  struct Keys {
    uint32_t k[3] = {0x12345678, 0x23456789, 0x34567890};
    static uint32_t crcByte(uint32_t crc, uint8_t b) {
      const uint8_t one = b;
      return ~uint32_t(crc32(~crc, &one, 1));
    }
    void update(uint8_t plain) {
      k[0] = crcByte(k[0], plain);
      k[1] = (k[1] + (k[0] & 0xFF)) * 134775813 + 1;
      k[2] = crcByte(k[2], uint8_t(k[1] >> 24));
    }
    uint8_t encrypt(uint8_t plain) {
      const uint32_t t = (k[2] | 2) & 0xFFFF;
      const uint8_t cipher = uint8_t(plain ^ uint8_t((t * (t ^ 1)) >> 8));
      update(plain);
      return cipher;
    }
  };

  // Twelve header bytes, the last the check byte, then the data, all encrypted.
  static std::string encrypt(const ZipFixtureEntry& entry, uint32_t crc, const std::string& data) {
    Keys keys;
    for (const char c : entry.password) keys.update(uint8_t(c));
    std::string plain;
    for (int i = 0; i < 11; i++) plain += char(i * 37 + 5);
    plain += char(entry.dataDescriptor ? entry.dosDateTime >> 8 : crc >> 24);
    plain += data;
    std::string cipher;
    for (const char c : plain) cipher += char(keys.encrypt(uint8_t(c)));
    return cipher;
  }

  static Written writeLocal(const ZipFixtureEntry& entry, std::string& archive) {
    const uint32_t crc = crcOf(entry.data) ^ entry.crcXor;
    std::string stored = entry.method == 8 && !entry.writeDataAsIs ? deflateRaw(entry.data) : entry.data;
    if (!entry.password.empty()) stored = encrypt(entry, crc, stored);
    const Written written{crc, uint32_t(stored.size()), uint32_t(archive.size())};
    put32(archive, 0x04034b50);
    put16(archive, 20);
    put16(archive, flagsOf(entry));
    put16(archive, entry.localMethod >= 0 ? uint16_t(entry.localMethod) : entry.method);
    put32(archive, entry.dosDateTime);
    put32(archive, entry.dataDescriptor ? 0 : crc);
    put32(archive, entry.dataDescriptor ? 0 : written.compressedSize);
    put32(archive, entry.dataDescriptor ? 0 : uint32_t(entry.data.size()));
    put16(archive, uint16_t(entry.name.size()));
    put16(archive, uint16_t(entry.localExtra.size()));
    archive += entry.name + entry.localExtra + stored;
    if (entry.dataDescriptor) {
      put32(archive, 0x08074b50);
      put32(archive, crc);
      put32(archive, written.compressedSize);
      put32(archive, uint32_t(entry.data.size()));
    }
    return written;
  }

  static void writeCentral(const ZipFixtureEntry& entry, const Written& written, std::string& archive) {
    put32(archive, 0x02014b50);
    put16(archive, uint32_t(entry.hostSystem) << 8 | 20);
    put16(archive, 20);
    put16(archive, flagsOf(entry));
    put16(archive, entry.method);
    put32(archive, entry.dosDateTime);
    put32(archive, written.crc);
    put32(archive, entry.centralCompressedSize >= 0 ? uint32_t(entry.centralCompressedSize) : written.compressedSize);
    put32(archive,
          entry.centralUncompressedSize >= 0 ? uint32_t(entry.centralUncompressedSize) : uint32_t(entry.data.size()));
    put16(archive, uint16_t(entry.name.size()));
    put16(archive, 0);
    put16(archive, 0);
    put16(archive, 0);
    put16(archive, 0);
    put32(archive, entry.externalAttributes);
    put32(archive, entry.centralLocalOffset >= 0 ? uint32_t(entry.centralLocalOffset) : written.offset);
    archive += entry.name;
  }
};
