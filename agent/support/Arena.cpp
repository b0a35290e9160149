#include "agent/support/Arena.h"

#include <cstdlib>

Arena::~Arena() {
  while (chunks != nullptr) {
    Chunk* next = chunks->next;
    std::free(chunks);
    chunks = next;
  }
}

void* Arena::newChunk(size_t size) {
  if (size > SIZE_MAX - sizeof(Chunk)) throw std::bad_alloc();
  auto* chunk = static_cast<Chunk*>(std::malloc(sizeof(Chunk) + size));
  if (chunk == nullptr) throw std::bad_alloc();
  chunk->next = chunks;
  chunks = chunk;
  return chunk + 1;
}

namespace {

// Where a block came from, kept before the object in a header that keeps the object aligned.
constexpr size_t headerSize = alignof(std::max_align_t);
constexpr uint32_t heapBlock = 0x48454150;
constexpr uint32_t arenaBlock = 0x4152454e;

void* withHeader(void* block, uint32_t origin) {
  if (block == nullptr) throw std::bad_alloc();
  *static_cast<uint32_t*>(block) = origin;
  return static_cast<char*>(block) + headerSize;
}

}  // namespace

void* ArenaAllocated::operator new(size_t size) {
  if (size > SIZE_MAX - headerSize) throw std::bad_alloc();
  return withHeader(std::malloc(headerSize + size), heapBlock);
}

void* ArenaAllocated::operator new(size_t size, Arena* arena) {
  if (arena == nullptr) return operator new(size);
  if (size > SIZE_MAX - headerSize) throw std::bad_alloc();
  return withHeader(arena->allocate(headerSize + size), arenaBlock);
}

void ArenaAllocated::operator delete(void* object) {
  if (object == nullptr) return;
  char* block = static_cast<char*>(object) - headerSize;
  if (*reinterpret_cast<const uint32_t*>(block) == heapBlock) std::free(block);
}

void ArenaAllocated::operator delete(void* object, Arena*) { operator delete(object); }
