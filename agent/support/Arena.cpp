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

void* ArenaAllocated::operator new(size_t size) {
  if (size > SIZE_MAX - headerSize) throw std::bad_alloc();
  void* block = std::malloc(headerSize + size);
  if (block == nullptr) throw std::bad_alloc();
  *static_cast<uint32_t*>(block) = heapBlock;
  return static_cast<char*>(block) + headerSize;
}

void ArenaAllocated::operator delete(void* object) {
  if (object == nullptr) return;
  char* block = static_cast<char*>(object) - headerSize;
  if (*reinterpret_cast<const uint32_t*>(block) == heapBlock) std::free(block);
}

void ArenaAllocated::operator delete(void* object, Arena*) { operator delete(object); }
