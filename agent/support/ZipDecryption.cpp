#include "agent/support/ZipDecryption.h"

#include <array>

namespace {

// The CRC-32 table of the ZIP format's key update (reflected polynomial 0xEDB88320).
constexpr std::array<uint32_t, 256> makeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; n++) {
    uint32_t c = n;
    for (int k = 0; k < 8; k++) c = (c & 1) != 0 ? 0xEDB88320 ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}

constexpr std::array<uint32_t, 256> crcTable = makeCrcTable();

uint32_t crcStep(uint32_t crc, unsigned char byte) { return crcTable[(crc ^ byte) & 0xFF] ^ (crc >> 8); }

}  // namespace

ZipDecryptionKeys::ZipDecryptionKeys(const char* password) : keys{0x12345678, 0x23456789, 0x34567890} {
  if (password == nullptr) return;
  for (const char* c = password; *c != 0; c++) update(static_cast<unsigned char>(*c));
}

void ZipDecryptionKeys::update(unsigned char plain) {
  keys[0] = crcStep(keys[0], plain);
  keys[1] = (keys[1] + (keys[0] & 0xFF)) * 134775813 + 1;
  keys[2] = crcStep(keys[2], static_cast<unsigned char>(keys[1] >> 24));
}

void ZipDecryptionKeys::decrypt(unsigned char* bytes, int32_t count) {
  for (int32_t i = 0; i < count; i++) {
    const uint32_t temp = (keys[2] & 0xFFFF) | 2;
    const unsigned char plain = static_cast<unsigned char>(bytes[i] ^ ((temp * (temp ^ 1)) >> 8));
    update(plain);
    bytes[i] = plain;
  }
}
