#include "msg/msg_arena.h"

#include <new>

void* MsgArena::AllocateSlow(size_t bytes) noexcept {
    if (bytes == 0 || bytes > kMaxChunk * 4) {
        // No body holds a piece this large (a cell value is at most 64 KiB).
        return nullptr;
    }
    size_t rounded = (bytes + kAlign - 1) & ~(kAlign - 1);
    // Heap blocks of kFirstChunk bytes in all, header included, double from there.
    size_t next = m_chunks == nullptr ? kFirstChunk - sizeof(Chunk) : m_chunks->size * 2 + sizeof(Chunk);
    if (next > kMaxChunk) {
        next = kMaxChunk;
    }
    size_t size = rounded > next ? rounded : next;
    void* memory = ::operator new(sizeof(Chunk) + size, std::nothrow);
    if (memory == nullptr) {
        return nullptr;
    }
    Chunk* chunk = ::new (memory) Chunk{nullptr, size};
    CHS_ARENA_POISON(chunk->Data(), size);
    CHS_ARENA_UNPOISON(chunk->Data(), bytes);
    if (rounded > next) {
        // A piece larger than the next chunk gets one of its own behind the
        // newest, so that the newest keeps its room.
        if (m_chunks != nullptr) {
            chunk->next = m_chunks->next;
            m_chunks->next = chunk;
            return chunk->Data();
        }
    }
    chunk->next = m_chunks;
    m_chunks = chunk;
    m_pos = chunk->Data() + rounded;
    m_end = chunk->Data() + size;
    return chunk->Data();
}

void MsgArena::Reset() noexcept {
    Chunk* keep = m_chunks != nullptr && m_chunks->size <= kKeptChunk ? m_chunks : nullptr;
    FreeChunks(keep);
    m_chunks = keep;
    m_pos = keep != nullptr ? keep->Data() : nullptr;
    m_end = keep != nullptr ? keep->Data() + keep->size : nullptr;
    if (keep != nullptr) {
        CHS_ARENA_POISON(keep->Data(), keep->size);
    }
}

size_t MsgArena::ChunkBytes() const noexcept {
    size_t total = 0;
    for (const Chunk* chunk = m_chunks; chunk != nullptr; chunk = chunk->next) {
        total += sizeof(Chunk) + chunk->size;
    }
    return total;
}

void MsgArena::FreeChunks(Chunk* keep) noexcept {
    Chunk* chunk = m_chunks;
    while (chunk != nullptr) {
        Chunk* next = chunk->next;
        if (chunk != keep) {
            CHS_ARENA_UNPOISON(chunk->Data(), chunk->size);
            chunk->~Chunk();
            ::operator delete(chunk);
        }
        chunk = next;
    }
    if (keep != nullptr) {
        keep->next = nullptr;
    }
    m_chunks = nullptr;
    m_pos = nullptr;
    m_end = nullptr;
}
