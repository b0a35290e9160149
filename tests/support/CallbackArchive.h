#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "agent/core/CallbackJar.h"

// One entry of the agent's embedded Java-side archive ("com/brantel/runtime/Callback.class"), for tests
// that need the real classes; empty when the archive has no such stored entry. Reads the central
// directory, every offset checked against the archive's bounds.
inline std::vector<uint8_t> callbackArchiveEntry(const std::string& name) {
  const YVector<unsigned char> archive = assembleCallbackJar();
  const size_t size = size_t(archive.size);
  const auto has = [size](size_t at, size_t length) { return at <= size && length <= size - at; };
  const auto u16 = [&](size_t at) { return uint32_t(archive.data[at]) | uint32_t(archive.data[at + 1]) << 8; };
  const auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
  constexpr size_t endSize = 22, centralSize = 46, localSize = 30;
  if (size < endSize) return {};
  size_t end = size - endSize;
  while (u32(end) != 0x06054b50) {
    if (end == 0) return {};
    end--;
  }
  size_t at = u32(end + 16);
  for (uint32_t entry = 0, count = u16(end + 10); entry < count; entry++) {
    if (!has(at, centralSize) || u32(at) != 0x02014b50) return {};
    const size_t nameLength = u16(at + 28);
    const size_t next = at + centralSize + nameLength + u16(at + 30) + u16(at + 32);
    if (!has(at + centralSize, nameLength)) return {};
    if (std::string(reinterpret_cast<const char*>(archive.data) + at + centralSize, nameLength) == name) {
      const size_t local = u32(at + 42), length = u32(at + 20);
      if (u16(at + 10) != 0 || !has(local, localSize)) return {};
      const size_t data = local + localSize + u16(local + 26) + u16(local + 28);
      if (!has(data, length)) return {};
      return std::vector<uint8_t>(archive.data + data, archive.data + data + length);
    }
    at = next;
  }
  return {};
}
