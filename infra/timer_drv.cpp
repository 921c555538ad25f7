#include "infra/timer_drv.h"

#include <sys/select.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <functional>
#include <exception>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "infra/chs_log.h"
#include "infra/fdsa_flow_mon.h"

void (*g_pfnClockTracePoint)() = nullptr;

namespace {

constexpr uint32_t kFlowModule = 550;
constexpr uint32_t kFlowTypeClock = 4;
constexpr uint32_t kFlowTypeWorker = 2;
constexpr FDSA_FLOW_PARA_S kFlowPair = {1, 3600};
constexpr unsigned int kRecycleSpanMs = 1000;

// Whole revolutions a far-list value stands for. A registration with r
// remaining ticks meets its slot floor((r - 1) / 1024) times before the visit
// that fires it (the first visit comes 1 to 1024 ticks after the insertion).
inline uint64_t Rounds(uint64_t remain) { return remain == 0 ? 0 : (remain - 1) / TimerDrvClass::kSlots; }

// Never destroyed: detached workers may run the recycler while the process
// exits.
std::mutex& RecycleMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}

std::set<TimerBaseClass*>& RecycleList() {
    static auto* list = new std::set<TimerBaseClass*>;
    return *list;
}

std::atomic<TimerDrvClass*> g_instance{nullptr};

// Starts a prepared registration on `drv`; on failure stops its timer object
// and destroys the registration.
bool StartPrepared(TimerDrvClass& drv, TimerHelperClass* helper) {
    if (helper == nullptr) {
        CHS_LOG(3, LOGID_INFRA, "Failed to start timer because the timer pointer is null.");
        return false;
    }
    if (drv.StartTimer(helper)) {
        return true;
    }
    CHS_LOG_PRINT(3, LOGID_INFRA, "Failed to start timer ", helper->m_strName);
    helper->Stop();
    delete helper;
    return false;
}

bool StartCallback(TimerDrvClass& drv, void (*callback)(TimerHelperClass&), const std::string& name, bool repeat,
                   unsigned int milliseconds) {
    if (callback == nullptr) {
        CHS_LOG(3, LOGID_INFRA, "Failed to start timer because the timer's callback is null.");
        return false;
    }
    auto* timer = new TimerWapperClass(callback, !repeat);
    auto* helper = new TimerHelperClass(timer, name, repeat, milliseconds / TimerDrvClass::kTickMs);
    return StartPrepared(drv, helper);
}

}  // namespace

// ---------------------------------------------------------------------------
// Timer objects

bool TimerBaseClass::ClaimDestroy() {
    int32_t state = m_iRunning.load();
    while (state != kDead && (state & kCountMask) == 0) {
        if (m_iRunning.compare_exchange_weak(state, kDead)) {
            return true;
        }
    }
    return false;
}

int32_t TimerBaseClass::RunningCount() const {
    int32_t state = m_iRunning.load();
    return state == kDead ? kDead : state & kCountMask;
}

bool TimerBaseClass::IsStopped() const {
    int32_t state = m_iRunning.load();
    return state == kDead || (state & kStoppedBit) != 0;
}

void TimerBaseClass::SetRunningFlag(bool running) {
    if (running) {
        ++m_iRunning;
        return;
    }
    int32_t state = m_iRunning.load();
    while (state != kDead && (state & kCountMask) > 0 && !m_iRunning.compare_exchange_weak(state, state - 1)) {
    }
}

bool TimerBaseClass::Destory() {
    if (!ClaimDestroy()) {
        return false;
    }
    delete this;
    return true;
}

void TimerBaseClass::Stop() {
    bool idle = false;
    {
        // The state word decides the owner: this stop (idle) or the recycler.
        // Once stopped, a firing's end never deletes the object.
        std::lock_guard<std::mutex> lock(RecycleMutex());
        int32_t state = m_iRunning.load();
        for (;;) {
            if (state == kDead || (state & kStoppedBit) != 0) {
                return;  // stopped before: it has its owner already
            }
            idle = (state & kCountMask) == 0;
            if (m_iRunning.compare_exchange_weak(state, idle ? kDead : state | kStoppedBit)) {
                break;
            }
        }
        if (!idle) {
            RecycleList().insert(this);  // the recycler deletes it once its firings have ended
        }
    }
    if (idle) {
        delete this;
    }
}

void TimerBaseClass::Release() {
    int32_t state = m_iRunning.load();
    for (;;) {
        if (state == kDead || (state & kCountMask) == 0) {
            return;  // no firing to end
        }
        int32_t next = state - 1;
        // 0 means: no firing left and not stopped (a stopped object belongs
        // to the recycler). Once the count is lowered otherwise, this is the
        // last touch of the object: the recycler may delete it at any moment.
        bool last = m_bDestroyAfterRun && next == 0;
        if (m_iRunning.compare_exchange_weak(state, last ? kDead : next)) {
            if (last) {
                delete this;
            }
            return;
        }
    }
}

void TimerBaseClass::Trigger(TimerHelperClass& helper) {
    {
        std::lock_guard<std::mutex> lock(m_runMutex);
        int32_t state = m_iRunning.load();
        if (state != kDead && (state & kCountMask) > 0 && (state & kStoppedBit) == 0) {
            try {
                OnTimer(helper);
            } catch (...) {
                // A callback's exception ends its run, nothing else.
            }
        }
    }
    Release();
}

void TimerWapperClass::OnTimer(TimerHelperClass& helper) {
    if (m_pCallback != nullptr) {
        m_pCallback(helper);
    }
}

void TimerHelperClass::Stop() {
    if (m_pTimer != nullptr) {
        TimerBaseClass* timer = m_pTimer;
        m_pTimer = nullptr;
        timer->Stop();
    }
}

// ---------------------------------------------------------------------------
// Lists and the name index

void TimerList::InsertBefore(TimerHelperClass* position, TimerHelperClass* helper) {
    TimerLink& link = helper->m_link;
    link.next = position;
    link.prev = position != nullptr ? position->m_link.prev : m_pTail;
    if (link.prev != nullptr) {
        link.prev->m_link.next = helper;
    } else {
        m_pHead = helper;
    }
    if (position != nullptr) {
        position->m_link.prev = helper;
    } else {
        m_pTail = helper;
    }
}

void TimerList::Erase(TimerHelperClass* helper) {
    TimerLink& link = helper->m_link;
    if (link.prev != nullptr) {
        link.prev->m_link.next = link.next;
    } else {
        m_pHead = link.next;
    }
    if (link.next != nullptr) {
        link.next->m_link.prev = link.prev;
    } else {
        m_pTail = link.prev;
    }
    link.prev = nullptr;
    link.next = nullptr;
}

TimerHelperClass* TimerList::PopFront() {
    TimerHelperClass* front = m_pHead;
    if (front != nullptr) {
        Erase(front);
    }
    return front;
}

// Eight bytes at a time, the last word overlapping the one before: names are
// short and chosen by the daemon's own code.
size_t TimerNameIndex::Hash(const std::string& name) {
    constexpr uint64_t kMul = 0xff51afd7ed558ccdULL;
    const char* data = name.data();
    size_t size = name.size();
    auto load64 = [](const char* at) {
        uint64_t word;
        memcpy(&word, at, 8);
        return word;
    };
    auto load32 = [](const char* at) {
        uint32_t word;
        memcpy(&word, at, 4);
        return static_cast<uint64_t>(word);
    };
    uint64_t hash = 0x9e3779b97f4a7c15ULL ^ size;
    if (size >= 8) {
        for (size_t at = 0; at + 8 < size; at += 8) {
            hash = (hash ^ load64(data + at)) * kMul;
            hash ^= hash >> 32;
        }
        hash ^= load64(data + size - 8);
    } else if (size >= 4) {
        hash ^= load32(data) | load32(data + size - 4) << 32;
    } else if (size > 0) {
        hash ^= static_cast<uint64_t>(static_cast<unsigned char>(data[0])) |
                static_cast<uint64_t>(static_cast<unsigned char>(data[size / 2])) << 8 |
                static_cast<uint64_t>(static_cast<unsigned char>(data[size - 1])) << 16;
    }
    hash *= kMul;
    hash ^= hash >> 33;
    hash *= kMul;
    hash ^= hash >> 33;
    return static_cast<size_t>(hash);
}

TimerHelperClass* TimerNameIndex::Find(const std::string& name, size_t hash) const {
    for (TimerHelperClass* entry = m_buckets[hash % kBuckets]; entry != nullptr;
         entry = entry->m_link.nextSameHash) {
        if (entry->m_link.nameHash == hash && entry->m_strName == name) {
            return entry;
        }
    }
    return nullptr;
}

void TimerNameIndex::Insert(TimerHelperClass* helper, size_t hash) {
    TimerHelperClass*& bucket = m_buckets[hash % kBuckets];
    helper->m_link.nameHash = hash;
    helper->m_link.nextSameHash = bucket;
    bucket = helper;
    ++m_uiSize;
}

bool TimerNameIndex::Remove(TimerHelperClass* helper) {
    for (TimerHelperClass** entry = &m_buckets[helper->m_link.nameHash % kBuckets]; *entry != nullptr;
         entry = &(*entry)->m_link.nextSameHash) {
        if (*entry == helper) {
            *entry = helper->m_link.nextSameHash;
            helper->m_link.nextSameHash = nullptr;
            --m_uiSize;
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------
// Recycling

namespace timer_recycle {

void TimerAdd(TimerBaseClass* timer) {
    if (timer == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(RecycleMutex());
    RecycleList().insert(timer);
}

void RecycleTimer(TimerHelperClass& /*helper*/) {
    std::vector<TimerBaseClass*> dead;
    {
        std::lock_guard<std::mutex> lock(RecycleMutex());
        auto& list = RecycleList();
        for (auto it = list.begin(); it != list.end();) {
            if ((*it)->ClaimDestroy()) {
                dead.push_back(*it);
                it = list.erase(it);
            } else {
                ++it;
            }
        }
    }
    // Destructors run outside the mutex: a timer's destructor may stop others.
    for (TimerBaseClass* timer : dead) {
        delete timer;
    }
}

size_t PendingCount() {
    std::lock_guard<std::mutex> lock(RecycleMutex());
    return RecycleList().size();
}

}  // namespace timer_recycle

// ---------------------------------------------------------------------------
// The driver

TimerDrvClass::TimerDrvClass()
    : m_lTickStartMs(static_cast<int64_t>(AbsMilliSecond())),
      m_lLastPassMs(m_lTickStartMs),
      m_readyRing(kReadyCapacity, TimerHelperClass()) {
    m_skipping.reserve(kSlots);
}

TimerDrvClass::~TimerDrvClass() {
    // Firings that will not run end first, so that the stops below find the
    // objects idle and delete them at once.
    std::vector<TimerBaseClass*> queued;
    {
        std::lock_guard<std::mutex> lock(m_readyMutex);
        TimerHelperClass copy;
        while (m_uiReadyLen.load() > 0) {
            TakeReady(copy);
            if (copy.m_pTimer != nullptr) {
                queued.push_back(copy.m_pTimer);
            }
        }
    }
    for (TimerBaseClass* timer : queued) {
        timer->Release();
    }
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    std::vector<TimerList*> lists{&m_startedList};
    for (TimerHashItemClass& slot : m_slots) {
        lists.push_back(&slot.nearList);
        lists.push_back(&slot.farList);
    }
    for (TimerList* list : lists) {
        // One at a time, each taken out first: a timer object's destructor
        // may stop other timers of this driver.
        while (!list->Empty()) {
            TimerHelperClass* helper = list->Front();
            Unlink(helper);
            m_nameIndex.Remove(helper);
            --m_uiTimerCount;
            helper->Stop();
            delete helper;
        }
    }
}

TimerDrvClass* TimerDrvClass::instance() {
    TimerDrvClass* current = g_instance.load(std::memory_order_acquire);
    if (current != nullptr) {
        return current;
    }
    auto* mine = new TimerDrvClass();
    if (g_instance.compare_exchange_strong(current, mine, std::memory_order_acq_rel)) {
        return mine;
    }
    delete mine;  // another thread won; `current` holds its instance
    return current;
}

bool TimerDrvClass::Init(unsigned int workers) {
    if (workers < 1 || workers > 10) {
        return false;
    }
    std::lock_guard<std::mutex> initLock(m_initMutex);
    // A thread that cannot start (no memory, thread limit) fails the start-up
    // of the caller, which ends the process in order; an exception here would
    // abort it instead.
    try {
        if (!m_bClockStarted.load()) {
            std::thread([this] { ClockTask(); }).detach();
        }
        while (m_uiWorkers.load() < workers) {
            uint32_t before = m_uiWorkers.load();
            std::thread([this] { TimerTask(); }).detach();
            // The worker counts itself; wait for it so that no extra one is started.
            while (m_uiWorkers.load() == before) {
                std::this_thread::yield();
            }
        }
    } catch (const std::exception& error) {
        CHS_LOG(3, LOGID_INFRA, "Timer thread does not start: %s.", error.what());
        return false;
    }
    if (!m_bRecycleStarted) {
        m_bRecycleStarted = true;
        if (!StartCallback(*this, timer_recycle::RecycleTimer, kRecycleTimerName, true, kRecycleSpanMs)) {
            CHS_LOG(3, LOGID_INFRA, "Failed to create recyle timer.");
        }
    }
    return true;
}

bool TimerDrvClass::StartTimer(TimerHelperClass* helper) {
    if (helper == nullptr) {
        CHS_LOG(3, LOGID_INFRA, "Failed to start timer because the timer pointer is null.");
        return false;
    }
    if (helper->m_ulSpan < 1 || helper->m_ulSpan > kMaxSpanTicks) {
        CHS_LOG_PRINT(3, LOGID_INFRA, "Failed to start timer because the loopspan(", helper->m_ulSpan,
                      ") is invalid.");
        return false;
    }
    size_t hash = TimerNameIndex::Hash(helper->m_strName);
    // The name check and the insertion share one hold of the mutex, so two
    // threads cannot start the same name at once.
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return StartLocked(helper, hash);
}

bool TimerDrvClass::StartLocked(TimerHelperClass* helper, size_t hash) {
    if (SearchTimer(helper->m_strName, hash) != nullptr) {
        CHS_LOG(3, LOGID_INFRA, "Failed to start timer because the timer GetName does exist.");
        return false;
    }
    if (m_uiTimerCount > kMaxTimers) {
        CHS_LOG_PRINT(3, LOGID_INFRA, "Failed to start timer because the total timer number(", m_uiTimerCount,
                      ") is over ", kMaxTimers, ".");
        return false;
    }
    m_nameIndex.Insert(helper, hash);
    ++m_uiTimerCount;
    // The span counts from now. While the clock sleeps, the wheel's tick is
    // that of its last pass: now is that tick plus the ticks slept since.
    uint64_t now = m_ulCurTick.load(std::memory_order_relaxed);
    if (m_ulClockWakeTick.load(std::memory_order_relaxed) != 0) {
        int64_t slept = static_cast<int64_t>(AbsMilliSecond()) - m_lTickStartMs;
        now += slept > 0 ? static_cast<uint64_t>(slept) / kTickMs : 0;
    }
    helper->m_link.startTick = now;
    helper->m_link.place = TimerLink::Place::kStarted;
    m_startedList.PushBack(helper);
    m_bStarted.store(true, std::memory_order_release);
    WakeClockFor(now + std::max<uint64_t>(helper->m_ulRemain, 1));
    return true;
}

void TimerDrvClass::WakeClockFor(uint64_t dueTick) {
    uint64_t wakeTick = m_ulClockWakeTick.load(std::memory_order_relaxed);
    if (wakeTick == 0 || dueTick >= wakeTick) {
        return;
    }
    m_ulClockWakeTick.store(dueTick, std::memory_order_relaxed);  // woken for this tick
    {
        std::lock_guard<std::mutex> lock(m_clockMutex);
        m_bClockWake = true;
    }
    m_clockCond.notify_one();
}

void TimerDrvClass::InsertStarted() {
    if (!m_bStarted.load(std::memory_order_relaxed)) {
        return;
    }
    uint64_t now = m_ulCurTick.load(std::memory_order_relaxed);
    while (TimerHelperClass* helper = m_startedList.PopFront()) {
        // Due at its start tick plus its span; one started while the clock
        // slept may be inserted a few ticks after its start.
        uint64_t due = helper->m_link.startTick + helper->m_ulRemain;
        helper->m_ulRemain = due > now ? due - now : 1;
        InsertIntoWheel(helper);
    }
    m_bStarted.store(false, std::memory_order_relaxed);
}

void TimerDrvClass::InsertIntoWheel(TimerHelperClass* helper) {
    if (helper->m_ulRemain == 0) {
        helper->m_ulRemain = 1;  // due at once means: on the next tick
    }
    uint64_t remain = helper->m_ulRemain;
    auto slotNo = static_cast<uint32_t>((m_ulCurTick.load(std::memory_order_relaxed) + remain) % kSlots);
    Settle(slotNo);
    TimerHashItemClass& slot = m_slots[slotNo];
    helper->m_link.slot = slotNo;
    if (remain <= kSlots) {
        // Due at the next visit of the slot (1 to 1024 ticks from now).
        helper->m_link.place = TimerLink::Place::kNear;
        slot.nearList.PushBack(helper);
        ++slot.uiNearLen;
    } else {
        // Delta list by revolutions: each entry's rounds are counted after the
        // rounds of the entries before it.
        TimerHelperClass* entry = slot.farList.Front();
        for (; entry != nullptr; entry = TimerList::Next(entry)) {
            if (entry->m_ulRemain > remain) {
                entry->m_ulRemain -= Rounds(remain) * kSlots;
                break;
            }
            remain -= Rounds(entry->m_ulRemain) * kSlots;
        }
        helper->m_ulRemain = remain;
        helper->m_link.place = TimerLink::Place::kFar;
        slot.farList.InsertBefore(entry, helper);
        ++slot.uiFarLen;
    }
    MarkSlot(slotNo);
}

void TimerDrvClass::MarkSlot(uint32_t slot) {
    // Only holders of m_mutex write the marks, so a plain load and store will do.
    std::atomic<uint64_t>& word = m_occupied[slot / 64];
    uint64_t bit = uint64_t{1} << (slot % 64);
    uint64_t marks = word.load(std::memory_order_relaxed);
    word.store(m_slots[slot].Empty() ? marks & ~bit : marks | bit, std::memory_order_relaxed);
}

// Inline: the lock-free tick calls it on every tick.
inline uint64_t TimerDrvClass::EmptyTicksAfter(uint64_t tick, uint64_t limit) const {
    uint64_t empty = 0;
    while (empty < limit) {
        if (empty >= kSlots) {
            return limit;  // a whole revolution without a registration
        }
        auto slot = static_cast<uint32_t>((tick + empty + 1) % kSlots);
        uint64_t marks = m_occupied[slot / 64].load(std::memory_order_relaxed) >> (slot % 64);
        if (marks != 0) {
            return std::min<uint64_t>(empty + static_cast<uint64_t>(__builtin_ctzll(marks)), limit);
        }
        empty += 64 - slot % 64;
    }
    return limit;
}

TimerHelperClass* TimerDrvClass::SearchTimer(const std::string& name, size_t hash) {
    return m_nameIndex.Find(name, hash);
}

void TimerDrvClass::Unlink(TimerHelperClass* helper) {
    TimerLink& link = helper->m_link;
    switch (link.place) {
        case TimerLink::Place::kNone:
            return;
        case TimerLink::Place::kStarted:
            m_startedList.Erase(helper);
            break;
        case TimerLink::Place::kNear: {
            TimerHashItemClass& slot = m_slots[link.slot];
            slot.nearList.Erase(helper);
            --slot.uiNearLen;
            MarkSlot(link.slot);
            break;
        }
        case TimerLink::Place::kFar: {
            Settle(link.slot);
            TimerHashItemClass& slot = m_slots[link.slot];
            // The next entry counts its revolutions after this one's: give them to it.
            TimerHelperClass* next = TimerList::Next(helper);
            if (next != nullptr) {
                next->m_ulRemain += Rounds(helper->m_ulRemain) * kSlots;
            }
            slot.farList.Erase(helper);
            --slot.uiFarLen;
            MarkSlot(link.slot);
            break;
        }
    }
    link.place = TimerLink::Place::kNone;
}

void TimerDrvClass::StopTimerHelper(TimerHelperClass* helper) {
    Unlink(helper);
    m_nameIndex.Remove(helper);
    if (m_uiTimerCount > 0) {
        --m_uiTimerCount;
    }
    helper->Stop();
    CHS_LOG_PRINT(0, LOGID_INFRA, "Succeded in Stop timer ", helper->m_strName, ".");
    delete helper;
}

bool TimerDrvClass::StopTimer(const std::string& name) {
    size_t hash = TimerNameIndex::Hash(name);
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    TimerHelperClass* helper = SearchTimer(name, hash);
    if (helper == nullptr) {
        return false;
    }
    StopTimerHelper(helper);
    return true;
}

void TimerDrvClass::TriggerHook(TimerHelperClass* helper) {
    if (helper == nullptr) {
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    Unlink(helper);  // when it is not out of the wheel already
    ReadyBatch batch(*this);
    FireLocked(helper, batch);
}

void TimerDrvClass::ReadyBatch::Unlock() {
    if (!m_lock.owns_lock()) {
        return;
    }
    bool idle = m_drv.m_uiIdleWorkers > 0;
    m_lock.unlock();
    // Outside the ready-queue mutex: a woken worker takes it at once.
    if (idle && m_uiPushed == 1) {
        m_drv.m_readyCond.notify_one();
    } else if (idle && m_uiPushed > 1) {
        m_drv.m_readyCond.notify_all();
    }
    m_uiPushed = 0;
}

void TimerDrvClass::FireLocked(TimerHelperClass* helper, ReadyBatch& batch) {
    if (m_uiTimerCount > 0) {
        --m_uiTimerCount;
    }
    bool indexed = m_nameIndex.Remove(helper);

    TimerBaseClass* timer = helper->m_pTimer;
    if (timer == nullptr) {
        delete helper;  // its object was forgotten: nothing to fire, nothing to re-arm
        return;
    }
    bool dropped = false;
    if (timer->RunningCount() > 1) {
        batch.Unlock();
        CHS_LOG_PRINT(0, LOGID_INFRA, "The running timer(", helper->m_strName,
                      ") has been blocked, ignore this running.");
        timer->AddBlocked();
    } else {
        batch.Lock();
        uint32_t length = m_uiReadyLen.load(std::memory_order_relaxed);
        if (length > kMaxReady) {
            // The firing is not counted, so it cannot keep the object alive
            // or block its later firings.
            dropped = true;
        } else {
            timer->SetRunningFlag(true);
            TimerHelperClass& copy = m_readyRing[(m_uiReadyHead + length) % kReadyCapacity];
            if (helper->m_bRepeat) {
                copy = *helper;  // assigned into the ring's copy: the name goes into its storage
            } else {
                // A one-shot registration is destroyed below: its name moves.
                copy.m_pTimer = helper->m_pTimer;
                copy.m_strName = std::move(helper->m_strName);
                copy.m_bRepeat = false;
                copy.m_ulSpan = helper->m_ulSpan;
                copy.m_ulRemain = helper->m_ulRemain;
            }
            m_uiReadyLen.store(length + 1, std::memory_order_release);
            batch.Pushed();
        }
    }
    if (dropped) {
        batch.Unlock();
        CHS_LOG_PRINT(2, LOGID_INFRA, "Timer queue is full, drop the running of timer(", helper->m_strName, ").");
    }

    if (helper->m_bRepeat) {
        helper->m_ulRemain = helper->m_ulSpan;
        // The name's hash is kept from the start it was indexed with.
        size_t hash = indexed ? helper->m_link.nameHash : TimerNameIndex::Hash(helper->m_strName);
        if (!StartLocked(helper, hash)) {
            batch.Unlock();
            CHS_LOG_PRINT(3, LOGID_INFRA, "Failed to start timer ", helper->m_strName);
            helper->Stop();
            delete helper;
        }
        return;
    }
    if (dropped) {
        helper->Stop();  // a one-shot that will never run: its object must not leak
    }
    delete helper;
}

void TimerDrvClass::HandleCurrentTick(ReadyBatch& batch) {
    auto slotNo = static_cast<uint32_t>(m_ulCurTick.load(std::memory_order_relaxed) % kSlots);
    Settle(slotNo);
    TimerHashItemClass& slot = m_slots[slotNo];
    // Each due registration is taken out and fired before the next is looked
    // at: a firing may stop other timers (a timer object's destructor), and
    // re-armed timers wait in the started list, so the lists stay exact.
    // The order is that of the near list, then the far list's due entries.
    while (TimerHelperClass* helper = slot.nearList.PopFront()) {
        --slot.uiNearLen;
        helper->m_link.place = TimerLink::Place::kNone;
        FireLocked(helper, batch);
    }
    while (TimerHelperClass* first = slot.farList.Front()) {
        if (Rounds(first->m_ulRemain) != 0) {
            first->m_ulRemain -= kSlots;  // later entries are relative to it
            break;
        }
        slot.farList.Erase(first);
        --slot.uiFarLen;
        first->m_link.place = TimerLink::Place::kNone;
        FireLocked(first, batch);
    }
    MarkSlot(slotNo);
}

void TimerDrvClass::TickTrigger(unsigned long ticks) {
    uint64_t now = m_ulCurTick.load(std::memory_order_relaxed);
    // Nothing started since the last tick and nothing in the slots the ticks
    // reach: nothing can be due, only the current tick moves.
    if (!m_bStarted.load(std::memory_order_acquire) && EmptyTicksAfter(now, ticks) == ticks) {
        m_ulCurTick.store(now + ticks, std::memory_order_release);
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    // Whatever way the advance ends, no visit stays counted in advance.
    struct SettleGuard {
        TimerDrvClass& drv;
        ~SettleGuard() { drv.SettleAll(); }
    } settle{*this};
    ReadyBatch batch(*this);
    uint64_t left = ticks;
    while (left > 0) {
        // Started and re-armed timers count from the tick handled last.
        InsertStarted();
        now = m_ulCurTick.load(std::memory_order_relaxed);
        uint64_t empty = EmptyTicksAfter(now, left);
        if (empty == left) {
            m_ulCurTick.store(now + left, std::memory_order_release);
            return;
        }
        m_ulCurTick.store(now + empty + 1, std::memory_order_release);
        left -= empty + 1;
        // The common visit of a long advance: a slot that holds only far
        // entries not yet due. Its first entry counts one revolution, nothing
        // fires, nothing is started and the slot stays occupied. Its later
        // visits in this advance that cannot fire it are counted now too and
        // then passed over.
        uint64_t tick = now + empty + 1;
        auto slotNo = static_cast<uint32_t>(tick % kSlots);
        TimerHashItemClass& slot = m_slots[slotNo];
        uint64_t& skipUntil = slot.skipUntil;
        if (skipUntil != 0 && slot.nearList.Empty()) {
            if (skipUntil <= tick) {
                skipUntil = 0;  // the last visit taken in advance
            }
            continue;
        }
        TimerHelperClass* first = slot.farList.Front();
        uint64_t rounds = first != nullptr ? Rounds(first->m_ulRemain) : 0;
        if (skipUntil == 0 && slot.nearList.Empty() && rounds != 0 &&
            !m_bStarted.load(std::memory_order_relaxed)) {
            uint64_t later = std::min<uint64_t>(rounds - 1, left / kSlots);
            if (later != 0) {
                m_skipping.push_back(slotNo);  // first: it may allocate
                skipUntil = tick + later * kSlots;
            }
            first->m_ulRemain -= (later + 1) * kSlots;
            continue;
        }
        HandleCurrentTick(batch);
    }
}

void TimerDrvClass::SettleSlot(uint32_t slotNo) {
    uint64_t& skipUntil = m_slots[slotNo].skipUntil;
    uint64_t now = m_ulCurTick.load(std::memory_order_relaxed);
    if (skipUntil > now) {
        TimerHelperClass* first = m_slots[slotNo].farList.Front();
        if (first != nullptr) {
            first->m_ulRemain += (skipUntil - now + kSlots - 1) / kSlots * kSlots;
        }
    }
    skipUntil = 0;
}

void TimerDrvClass::SettleAll() {
    for (uint32_t slotNo : m_skipping) {
        Settle(slotNo);
    }
    m_skipping.clear();
}

void TimerDrvClass::TimeEvent(unsigned long& lastMilliseconds) {
    // Under the driver mutex from the clock readings to the advance: a timer
    // started meanwhile sees the tick and its start time agree.
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    m_ulClockWakeTick.store(0, std::memory_order_relaxed);  // awake: starts count from the current tick
    auto wallNow = static_cast<int64_t>(Now());
    auto monoNow = static_cast<int64_t>(AbsMilliSecond());
    // The wall clock is expected to move as the monotonic one did since the
    // last pass; a second or more apart, either way, it was set.
    int64_t drift = (wallNow - static_cast<int64_t>(lastMilliseconds)) - (monoNow - m_lLastPassMs);
    bool jump = drift >= 1000 || drift <= -1000;
    lastMilliseconds = static_cast<unsigned long>(wallNow);
    m_lLastPassMs = monoNow;
    int64_t sinceTickStart = monoNow - m_lTickStartMs;
    unsigned long ticks = sinceTickStart > 0 ? static_cast<unsigned long>(sinceTickStart / kTickMs) : 0;
    if (ticks == 0 && jump) {
        ticks = 1;  // the tick of a jump: the wheel runs this much ahead, never more
    }
    if (ticks == 0) {
        return;
    }
    m_lTickStartMs += static_cast<int64_t>(ticks) * kTickMs;
    m_ulTotalTicks += ticks;
    TickTrigger(ticks);
}

bool TimerDrvClass::ClockBootCheck() {
    bool expected = false;
    return m_bClockStarted.compare_exchange_strong(expected, true);
}

void TimerDrvClass::WaitForDue() {
    bool forever;
    int64_t deadlineMs = 0;
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        InsertStarted();
        uint64_t now = m_ulCurTick.load(std::memory_order_relaxed);
        uint64_t empty = EmptyTicksAfter(now, kSlots);
        // An empty wheel waits for a start; a slot whose far list is due in
        // a later revolution is visited on its way (it counts the revolutions).
        forever = empty == kSlots;
        deadlineMs = m_lTickStartMs + static_cast<int64_t>((empty + 1) * kTickMs);
        m_ulClockWakeTick.store(forever ? UINT64_MAX : now + empty + 1, std::memory_order_relaxed);
    }
    std::unique_lock<std::mutex> lock(m_clockMutex);
    if (forever) {
        m_clockCond.wait(lock, [this] { return m_bClockWake; });
    } else {
        m_clockCond.wait_until(lock, std::chrono::steady_clock::time_point(std::chrono::milliseconds(deadlineMs)),
                               [this] { return m_bClockWake; });
    }
    m_bClockWake = false;
}

void TimerDrvClass::ClockTask() {
    if (!ClockBootCheck()) {
        return;
    }
    unsigned long last = Now();
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        m_lTickStartMs = static_cast<int64_t>(AbsMilliSecond());
        m_lLastPassMs = m_lTickStartMs;
    }
    for (;;) {
        FdsaFlowMonClass flowMon(kFlowModule, kFlowTypeClock, kFlowPair);
        try {
            // The flow monitor brackets the work of a pass, not its wait: an
            // idle wheel may sleep for long.
            WaitForDue();
            flowMon.Start();
            void (*tracePoint)() = g_pfnClockTracePoint;
            if (tracePoint != nullptr) {
                tracePoint();
            }
            TimeEvent(last);
        } catch (...) {
            // One failed pass must not stop the clock.
        }
        flowMon.End();
    }
}

void TimerDrvClass::TakeReady(TimerHelperClass& into) {
    TimerHelperClass& copy = m_readyRing[m_uiReadyHead];
    into.m_pTimer = copy.m_pTimer;
    copy.m_pTimer = nullptr;
    // Moved: a long name's storage changes places with the one `into` had,
    // nothing is allocated; a short one is copied.
    into.m_strName = std::move(copy.m_strName);
    into.m_bRepeat = copy.m_bRepeat;
    into.m_ulSpan = copy.m_ulSpan;
    into.m_ulRemain = copy.m_ulRemain;
    m_uiReadyHead = (m_uiReadyHead + 1) % kReadyCapacity;
    m_uiReadyLen.store(m_uiReadyLen.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
}

void TimerDrvClass::RunReady(TimerHelperClass& copy) {
    FdsaFlowMonClass flowMon(kFlowModule, kFlowTypeWorker, kFlowPair);
    flowMon.Start();
    TimerBaseClass* timer = copy.m_pTimer;  // the callback may Stop() the copy
    if (timer != nullptr) {
        try {
            timer->Trigger(copy);
        } catch (...) {
        }
    }
    flowMon.End();
}

void TimerDrvClass::TimerTask() {
    ++m_uiWorkers;
    // Kept from firing to firing: a long name's storage goes back and forth
    // with the ring instead of being allocated each time.
    TimerHelperClass copy;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_readyMutex);
            while (m_uiReadyLen.load(std::memory_order_relaxed) == 0) {
                ++m_uiIdleWorkers;
                m_readyCond.wait(lock);
                --m_uiIdleWorkers;
            }
            TakeReady(copy);
        }
        RunReady(copy);
    }
}

bool TimerDrvClass::RunFirstReady() {
    TimerHelperClass copy;
    {
        std::lock_guard<std::mutex> lock(m_readyMutex);
        if (m_uiReadyLen.load(std::memory_order_relaxed) == 0) {
            return false;
        }
        TakeReady(copy);
    }
    RunReady(copy);
    return true;
}

uint32_t TimerDrvClass::TimerCount() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_uiTimerCount;
}

bool TimerDrvClass::CheckIndex() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    uint32_t total = 0;
    // Every registration of `list` is indexed under its own name and records
    // the place it is in.
    auto checkList = [&](const TimerList& list, TimerLink::Place place, uint32_t slot, uint32_t* length) {
        uint32_t count = 0;
        for (const TimerHelperClass* helper = list.Front(); helper != nullptr; helper = TimerList::Next(helper)) {
            const TimerLink& link = helper->m_link;
            if (link.place != place || (place != TimerLink::Place::kStarted && link.slot != slot) ||
                m_nameIndex.Find(helper->m_strName, TimerNameIndex::Hash(helper->m_strName)) != helper) {
                return false;
            }
            ++count;
        }
        total += count;
        return length == nullptr || *length == count;
    };
    if (!checkList(m_startedList, TimerLink::Place::kStarted, 0, nullptr)) {
        return false;
    }
    for (uint32_t i = 0; i < kSlots; ++i) {
        TimerHashItemClass& slot = m_slots[i];
        if (!checkList(slot.nearList, TimerLink::Place::kNear, i, &slot.uiNearLen) ||
            !checkList(slot.farList, TimerLink::Place::kFar, i, &slot.uiFarLen)) {
            return false;
        }
        bool marked = (m_occupied[i / 64].load() >> (i % 64) & 1) != 0;
        if (marked == slot.Empty()) {
            return false;
        }
    }
    return total == m_nameIndex.Size() && total == m_uiTimerCount;
}

uint64_t TimerDrvClass::Now() {
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

uint64_t TimerDrvClass::AbsMilliSecond() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void TimerDrvClass::Sleep(unsigned int milliseconds) {
    struct timeval tv {};
    tv.tv_sec = static_cast<time_t>(milliseconds / 1000);
    tv.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
    // Linux leaves the time still to wait in tv when a signal interrupts.
    while (select(0, nullptr, nullptr, nullptr, &tv) < 0 && errno == EINTR) {
    }
}

// ---------------------------------------------------------------------------
// Free functions

bool TimerStart(void (*callback)(TimerHelperClass&), const std::string& name, bool repeat,
                unsigned int milliseconds) {
    return StartCallback(*TimerDrvClass::instance(), callback, name, repeat, milliseconds);
}

bool TimerStart(TimerHelperClass* helper) { return StartPrepared(*TimerDrvClass::instance(), helper); }

void TimerCheck() {
    static std::atomic<uint32_t> calls{0};
    if (++calls <= 10) {
        return;
    }
    calls = 0;
    uint32_t length = TimerDrvClass::instance()->ReadyLength();
    if (length >= 20) {
        CHS_LOG(1, LOGID_INFRA, "Timer queue's length is %u.", length);
    }
}

bool timerCompareName(TimerHelperClass* helper, const std::string& name) {
    return helper != nullptr && helper->m_strName == name;
}
