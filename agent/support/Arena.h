#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

// Memory for many small objects that die together: blocks are cut in order from chunks that grow by
// doubling, and nothing is given back before the arena goes, which frees every chunk at once. Blocks are
// aligned for any object. Not thread-safe: an arena belongs to one owner, used under that owner's lock.
class Arena {
 public:
  Arena() = default;
  ~Arena();
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;

  void* allocate(size_t size) {
    const size_t rounded = (size + alignment - 1) & ~(alignment - 1);
    if (rounded < size) throw std::bad_alloc();
    if (rounded <= size_t(limit - cursor)) {
      void* block = cursor;
      cursor += rounded;
      return block;
    }
    // A block larger than half a chunk gets a chunk of its own, and the current chunk stays in use.
    if (rounded > nextChunkSize / 2) return newChunk(rounded);
    cursor = static_cast<char*>(newChunk(nextChunkSize));
    limit = cursor + nextChunkSize;
    if (nextChunkSize < largestChunkSize) nextChunkSize *= 2;
    void* block = cursor;
    cursor += rounded;
    return block;
  }

  // A copy of `count` bytes (which may be 0).
  uint8_t* copy(const void* bytes, size_t count) {
    auto* block = static_cast<uint8_t*>(allocate(count == 0 ? 1 : count));
    if (count > 0) std::memcpy(block, bytes, count);
    return block;
  }

 private:
  static constexpr size_t alignment = alignof(std::max_align_t);
  static constexpr size_t firstChunkSize = 16 * 1024;
  static constexpr size_t largestChunkSize = 1024 * 1024;

  // The header stands before the chunk's blocks and keeps their alignment.
  struct alignas(std::max_align_t) Chunk {
    Chunk* next;
  };

  // The blocks of a new chunk of `size` bytes.
  void* newChunk(size_t size);

  Chunk* chunks = nullptr;
  char* cursor = nullptr;
  char* limit = nullptr;
  size_t nextChunkSize = firstChunkSize;
};

// A base for objects that live in an arena or on the heap and are deleted alike: `new (arena) T(...)`
// places one in the arena (a null arena means the heap), plain `new` on the heap, and `delete` destroys
// either but frees only a heap block; an arena's blocks go with the arena, which must outlive them.
class ArenaAllocated {
 public:
  static void* operator new(size_t size);
  // Inline: every entry and attribute of a class file comes through here.
  static void* operator new(size_t size, Arena* arena) {
    if (arena == nullptr) return operator new(size);
    if (size > SIZE_MAX - headerSize) throw std::bad_alloc();
    void* block = arena->allocate(headerSize + size);
    *static_cast<uint32_t*>(block) = arenaBlock;
    return static_cast<char*>(block) + headerSize;
  }
  static void operator delete(void* object);
  // For a constructor that throws after `new (arena)`.
  static void operator delete(void* object, Arena* arena);

  // Whether the object lives in an arena, whose end frees it without a delete.
  static bool inArena(const void* object) {
    return *reinterpret_cast<const uint32_t*>(static_cast<const char*>(object) - headerSize) == arenaBlock;
  }

  // Where a block came from, kept before the object in a header that keeps the object aligned.
  static constexpr size_t headerSize = alignof(std::max_align_t);
  static constexpr uint32_t heapBlock = 0x48454150;
  static constexpr uint32_t arenaBlock = 0x4152454e;
};
