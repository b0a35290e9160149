#pragma once

#include <cstdint>

// The traditional PKWARE stream cipher of ZIP entries: three keys seeded from the password, each
// decrypted byte feeding back into them.
class ZipDecryptionKeys {
 public:
  // A null password leaves the keys at their initial values.
  explicit ZipDecryptionKeys(const char* password);

  // Decrypts `count` bytes in place.
  void decrypt(unsigned char* bytes, int32_t count);

 private:
  void update(unsigned char plain);

  uint32_t keys[3];
};
