#include "msg/msg_pool.h"

#include <mutex>
#include <new>

void MsgPoolThrowBadAlloc() { throw std::bad_alloc(); }

#ifdef CHS_MSG_POOL_BYPASS

namespace msg_pool_detail {

void* AllocSlow(size_t bytes) noexcept { return ::operator new(bytes == 0 ? 1 : bytes, std::nothrow); }

void FreeSlow(void* block, size_t) noexcept { ::operator delete(block); }

}  // namespace msg_pool_detail

MsgPoolStats GetMsgPoolStats() { return MsgPoolStats{false, 0, 0}; }

#else

namespace msg_pool_detail {

__thread ThreadCache t_cache;

namespace {

constexpr size_t ClassSize(size_t cls) { return (cls + 1) * kGranule; }
constexpr uint32_t ThreadCap(size_t cls) {
    return static_cast<uint32_t>(MSG_POOL_THREAD_CLASS_BYTES / ClassSize(cls) > MSG_POOL_MIN_THREAD_BLOCKS
                                     ? MSG_POOL_THREAD_CLASS_BYTES / ClassSize(cls)
                                     : MSG_POOL_MIN_THREAD_BLOCKS);
}
constexpr size_t DepotCap(size_t cls) { return MSG_POOL_DEPOT_CLASS_BYTES / ClassSize(cls); }

enum ThreadState : unsigned char { THREAD_FRESH = 0, THREAD_CACHING, THREAD_GONE };

void Push(BlockList& list, void* block) {
    FreeBlock* node = static_cast<FreeBlock*>(block);
    node->next = list.head;
    list.head = node;
    ++list.count;
}

void* Pop(BlockList& list) {
    FreeBlock* node = list.head;
    list.head = node->next;
    --list.count;
    return node;
}

// Moves up to `limit` blocks from the front of `from` to `to`.
void Move(BlockList& from, BlockList& to, size_t limit) {
    while (from.head != nullptr && limit-- > 0) {
        Push(to, Pop(from));
    }
}

void FreeAll(BlockList& list) {
    while (list.head != nullptr) {
        ::operator delete(Pop(list));
    }
}

struct Depot {
    std::mutex lock;
    BlockList lists[kClassCount] = {};
};

// Never destroyed: threads may give their blocks back after static destruction began.
Depot& TheDepot() {
    static Depot* depot = new Depot();
    return *depot;
}

// Gives the blocks of `from` to the depot up to its cap and the rest to the heap.
void GiveBack(BlockList& from, size_t cls) {
    Depot& depot = TheDepot();
    {
        std::lock_guard<std::mutex> guard(depot.lock);
        BlockList& shared = depot.lists[cls];
        if (shared.count < DepotCap(cls)) {
            Move(from, shared, DepotCap(cls) - shared.count);
        }
    }
    FreeAll(from);
}

void FlushThreadCache() {
    t_cache.state = THREAD_GONE;
    for (size_t cls = 0; cls < kClassCount; ++cls) {
        t_cache.lists[cls].cap = 0;
        if (t_cache.lists[cls].count != 0) {
            GiveBack(t_cache.lists[cls], cls);
        }
    }
}

struct ThreadExitFlush {
    ~ThreadExitFlush() { FlushThreadCache(); }
};

// The thread is about to keep blocks: make sure it gives them back when it
// ends. False once it has ended (its other thread_local objects may still
// free cells): then blocks go straight to and from the heap.
bool StartCaching() {
    if (t_cache.state == THREAD_CACHING) {
        return true;
    }
    if (t_cache.state == THREAD_GONE) {
        return false;
    }
    static thread_local ThreadExitFlush flush;
    (void)flush;
    for (size_t cls = 0; cls < kClassCount; ++cls) {
        t_cache.lists[cls].cap = ThreadCap(cls);
    }
    t_cache.state = THREAD_CACHING;
    return true;
}

}  // namespace

void* AllocSlow(size_t bytes) noexcept {
    size_t cls = (bytes - 1) / kGranule;
    if (cls >= kClassCount) {
        return ::operator new(bytes == 0 ? 1 : bytes, std::nothrow);
    }
    if (StartCaching()) {
        BlockList& mine = t_cache.lists[cls];
        {
            Depot& depot = TheDepot();
            std::lock_guard<std::mutex> guard(depot.lock);
            Move(depot.lists[cls], mine, mine.cap / 2);
        }
        if (mine.head != nullptr) {
            return Pop(mine);
        }
    }
    return ::operator new(ClassSize(cls), std::nothrow);
}

void FreeSlow(void* block, size_t bytes) noexcept {
    size_t cls = (bytes - 1) / kGranule;
    if (block == nullptr) {
        return;
    }
    if (cls >= kClassCount || !StartCaching()) {
        ::operator delete(block);
        return;
    }
    BlockList& mine = t_cache.lists[cls];
    if (mine.count >= mine.cap) {
        // Half goes, so that a thread alternating between freeing and
        // building does not move a batch on every call.
        BlockList batch{nullptr, 0, 0};
        Move(mine, batch, mine.cap / 2);
        GiveBack(batch, cls);
    }
    Push(mine, block);
}

}  // namespace msg_pool_detail

MsgPoolStats GetMsgPoolStats() {
    using namespace msg_pool_detail;
    MsgPoolStats stats{true, 0, 0};
    for (const BlockList& list : t_cache.lists) {
        stats.threadBlocks += list.count;
    }
    Depot& depot = TheDepot();
    std::lock_guard<std::mutex> guard(depot.lock);
    for (const BlockList& list : depot.lists) {
        stats.depotBlocks += list.count;
    }
    return stats;
}

#endif
