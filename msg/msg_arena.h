// Bump allocator for the records, cells and long values of one message body.
//
// A body built or decoded piece by piece would otherwise cost one block per
// record, per cell and per long value, each freed on its own. In the arena
// they are carved out of a few chunks one after the other and all go at once
// when the body is cleared: nothing is freed piece by piece.
//
// The first chunk holds a usual body (one record of a dozen cells); later
// chunks double in size up to kMaxChunk, and a larger request gets a chunk
// of its own. Reset() keeps the newest chunk when it is at most kKeptChunk
// bytes, so that a body reused message after message allocates nothing, and
// a body that once held a huge message does not keep its memory.
//
// Under AddressSanitizer the bytes of a chunk not handed out, and all of
// them after Reset(), are poisoned: a read past a piece or of a cleared body
// is still reported.
//
// Not thread-safe: it belongs to its body.
#pragma once

#include <cstddef>
#include <cstdint>

#include "msg/msg_pool.h"

#ifdef CHS_MSG_POOL_BYPASS
#include <sanitizer/asan_interface.h>
#define CHS_ARENA_POISON(address, bytes) ASAN_POISON_MEMORY_REGION(address, bytes)
#define CHS_ARENA_UNPOISON(address, bytes) ASAN_UNPOISON_MEMORY_REGION(address, bytes)
#else
#define CHS_ARENA_POISON(address, bytes) ((void)0)
#define CHS_ARENA_UNPOISON(address, bytes) ((void)0)
#endif

class MsgArena {
  public:
    static constexpr size_t kAlign = 16;
    static constexpr size_t kFirstChunk = 1024;
    static constexpr size_t kMaxChunk = 64 * 1024;
    static constexpr size_t kKeptChunk = 16 * 1024;

    MsgArena() = default;
    ~MsgArena() { FreeChunks(nullptr); }
    MsgArena(const MsgArena&) = delete;
    MsgArena& operator=(const MsgArena&) = delete;

    // `bytes` (> 0) aligned to kAlign, valid until Reset() or destruction;
    // null when memory is exhausted.
    void* Allocate(size_t bytes) noexcept {
        size_t rounded = (bytes + kAlign - 1) & ~(kAlign - 1);
        if (static_cast<size_t>(m_end - m_pos) >= rounded && rounded >= bytes) {
            unsigned char* block = m_pos;
            m_pos += rounded;
            CHS_ARENA_UNPOISON(block, bytes);
            return block;
        }
        return AllocateSlow(bytes);
    }

    // Forgets every allocation.
    void Reset() noexcept;

    // Bytes of the chunks held (for tests and figures).
    size_t ChunkBytes() const noexcept;

  private:
    struct alignas(kAlign) Chunk {
        Chunk* next;
        size_t size;  // bytes after the header
        unsigned char* Data() { return reinterpret_cast<unsigned char*>(this + 1); }
    };

    void* AllocateSlow(size_t bytes) noexcept;
    // Frees every chunk but `keep`.
    void FreeChunks(Chunk* keep) noexcept;

    unsigned char* m_pos = nullptr;
    unsigned char* m_end = nullptr;
    // Newest first; m_pos and m_end lie in the newest.
    Chunk* m_chunks = nullptr;
};
