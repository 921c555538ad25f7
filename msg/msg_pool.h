// Block cache for the small pieces of message bodies: cells, records, long
// cell values and the record table of a body.
//
// A body of N cells would otherwise cost about 2N heap calls to build and as
// many to free. Blocks of up to MSG_POOL_MAX_BLOCK bytes come in classes of
// 16 bytes; a freed block goes to a list of the freeing thread and is handed
// out again by that thread without a lock. Bodies are often built on one
// thread (the transport's reader) and freed on another (a task thread), so
// a thread that holds more than its cap of one class moves a batch to a
// shared depot, where the building thread picks it up. The depot has a cap
// too; what exceeds it goes back to the heap, so that the blocks of one huge
// message from a peer are not kept for good. A thread that ends gives its
// blocks to the depot (or the heap).
//
// Under AddressSanitizer the cache is bypassed: every block is a heap block
// of its own, so that use after free and leaks are still reported.
//
// Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__SANITIZE_ADDRESS__)
#define CHS_MSG_POOL_BYPASS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CHS_MSG_POOL_BYPASS 1
#endif
#endif

constexpr size_t MSG_POOL_MAX_BLOCK = 256;
// Bytes of one class a thread keeps (at least MSG_POOL_MIN_THREAD_BLOCKS blocks), and the depot keeps.
constexpr size_t MSG_POOL_THREAD_CLASS_BYTES = 8192;
constexpr size_t MSG_POOL_MIN_THREAD_BLOCKS = 32;
constexpr size_t MSG_POOL_DEPOT_CLASS_BYTES = 65536;

// A block of at least `bytes` bytes, aligned for any object up to 16 bytes;
// null when memory is exhausted. Blocks above MSG_POOL_MAX_BLOCK come from the heap.
inline void* MsgPoolAlloc(size_t bytes) noexcept;
// A block from the calling thread's list only, without a lock or a heap
// call; null when that list is empty (then use MsgPoolAlloc).
inline void* MsgPoolTryAlloc(size_t bytes) noexcept;
// Gives back a block of MsgPoolAlloc(bytes) or MsgPoolTryAlloc(bytes);
// `bytes` must be the size it was asked with. Any thread may give back any
// block. Null does nothing.
inline void MsgPoolFree(void* block, size_t bytes) noexcept;

struct MsgPoolStats {
    bool enabled;         // false when the cache is bypassed (AddressSanitizer)
    size_t threadBlocks;  // blocks the calling thread keeps
    size_t depotBlocks;   // blocks in the shared depot
};
MsgPoolStats GetMsgPoolStats();

// Standard allocator over the pool, for small containers of message objects.
template <typename T>
struct MsgPoolAllocator {
    using value_type = T;
    MsgPoolAllocator() noexcept = default;
    template <typename U>
    MsgPoolAllocator(const MsgPoolAllocator<U>&) noexcept {}
    T* allocate(size_t count);
    void deallocate(T* items, size_t count) noexcept { MsgPoolFree(items, count * sizeof(T)); }
    template <typename U>
    bool operator==(const MsgPoolAllocator<U>&) const noexcept {
        return true;
    }
    template <typename U>
    bool operator!=(const MsgPoolAllocator<U>&) const noexcept {
        return false;
    }
};

// Raises std::bad_alloc.
[[noreturn]] void MsgPoolThrowBadAlloc();

template <typename T>
T* MsgPoolAllocator<T>::allocate(size_t count) {
    if (count > static_cast<size_t>(-1) / sizeof(T)) {
        MsgPoolThrowBadAlloc();
    }
    void* items = MsgPoolAlloc(count * sizeof(T));
    if (items == nullptr) {
        MsgPoolThrowBadAlloc();
    }
    return static_cast<T*>(items);
}

// ---- the lock-free part, inline: one list operation of the calling thread ----

namespace msg_pool_detail {

constexpr size_t kGranule = 16;
constexpr size_t kClassCount = MSG_POOL_MAX_BLOCK / kGranule;

struct FreeBlock {
    FreeBlock* next;
};

// The free blocks of one class a thread keeps. `cap` is 0 until the thread
// has arranged to give its blocks back when it ends, and again after that.
struct BlockList {
    FreeBlock* head;
    uint32_t count;
    uint32_t cap;
};

// Zero-initialised and trivially destructible. Declared __thread rather
// than thread_local: such a variable cannot have a dynamic initialiser, so
// other files reach it without a call to an initialisation wrapper.
struct ThreadCache {
    BlockList lists[kClassCount];
    unsigned char state;
};
extern __thread ThreadCache t_cache;

void* AllocSlow(size_t bytes) noexcept;
void FreeSlow(void* block, size_t bytes) noexcept;

}  // namespace msg_pool_detail

#ifdef CHS_MSG_POOL_BYPASS

inline void* MsgPoolTryAlloc(size_t) noexcept { return nullptr; }
inline void* MsgPoolAlloc(size_t bytes) noexcept { return msg_pool_detail::AllocSlow(bytes); }
inline void MsgPoolFree(void* block, size_t bytes) noexcept { msg_pool_detail::FreeSlow(block, bytes); }

#else

inline void* MsgPoolTryAlloc(size_t bytes) noexcept {
    using namespace msg_pool_detail;
    size_t cls = (bytes - 1) / kGranule;  // 0 bytes wrap to null
    if (cls < kClassCount) {
        BlockList& list = t_cache.lists[cls];
        FreeBlock* block = list.head;
        if (block != nullptr) {
            list.head = block->next;
            --list.count;
            return block;
        }
    }
    return nullptr;
}

inline void* MsgPoolAlloc(size_t bytes) noexcept {
    void* block = MsgPoolTryAlloc(bytes);
    return block != nullptr ? block : msg_pool_detail::AllocSlow(bytes);
}

inline void MsgPoolFree(void* block, size_t bytes) noexcept {
    using namespace msg_pool_detail;
    size_t cls = (bytes - 1) / kGranule;
    if (block != nullptr && cls < kClassCount) {
        BlockList& list = t_cache.lists[cls];
        if (list.count < list.cap) {
            FreeBlock* node = static_cast<FreeBlock*>(block);
            node->next = list.head;
            list.head = node;
            ++list.count;
            return;
        }
    }
    FreeSlow(block, bytes);
}

#endif
