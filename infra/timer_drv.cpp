#include "infra/timer_drv.h"

#include <sys/select.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <optional>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "infra/chs_log.h"
#include "infra/fdsa_flow_mon.h"

void (*g_pfnClockTracePoint)() = nullptr;

namespace {

constexpr int32_t kDeadMark = -1;  // running count of an object being deleted
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
    int32_t idle = 0;
    return m_iRunning.compare_exchange_strong(idle, kDeadMark);
}

void TimerBaseClass::SetRunningFlag(bool running) {
    if (running) {
        ++m_iRunning;
        return;
    }
    int32_t current = m_iRunning.load();
    while (current > 0 && !m_iRunning.compare_exchange_weak(current, current - 1)) {
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
    bool idle;
    {
        // Under the recycle mutex so that the end of a destroy-after-run
        // firing (Release) sees either "stopped, recycler owns it" or nothing.
        std::lock_guard<std::mutex> lock(RecycleMutex());
        m_bStopped.store(true);
        idle = ClaimDestroy();
        if (!idle) {
            RecycleList().insert(this);
        }
    }
    if (idle) {
        delete this;
    }
}

void TimerBaseClass::Release() {
    if (!m_bDestroyAfterRun) {
        // Last touch of this object: once the count is 0 the recycler may
        // delete a stopped object at any moment.
        SetRunningFlag(false);
        return;
    }
    bool destroy = false;
    {
        std::lock_guard<std::mutex> lock(RecycleMutex());
        SetRunningFlag(false);
        // A stopped object belongs to the recycler (or is already gone with Stop).
        if (!m_bStopped.load()) {
            destroy = ClaimDestroy();
        }
    }
    if (destroy) {
        delete this;
    }
}

void TimerBaseClass::Trigger(TimerHelperClass& helper) {
    {
        std::lock_guard<std::mutex> lock(m_runMutex);
        if (m_iRunning.load() > 0 && !m_bStopped.load()) {
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

TimerDrvClass::TimerDrvClass() { m_nameIndex.reserve(2 * (kMaxTimers + 1)); }

TimerDrvClass::~TimerDrvClass() {
    // Firings that will not run end first, so that the stops below find the
    // objects idle and delete them at once.
    std::deque<TimerHelperClass> ready;
    {
        std::lock_guard<std::mutex> lock(m_readyMutex);
        ready.swap(m_readyList);
        m_uiReadyLen = 0;
    }
    for (TimerHelperClass& copy : ready) {
        if (copy.m_pTimer != nullptr) {
            copy.m_pTimer->Release();
        }
    }
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    for (TimerHashItemClass& slot : m_slots) {
        for (auto* list : {&slot.nearList, &slot.farList}) {
            for (TimerHelperClass* helper : *list) {
                helper->Stop();
                delete helper;
            }
            list->clear();
        }
        slot.uiNearLen = 0;
        slot.uiFarLen = 0;
    }
    m_nameIndex.clear();
    m_uiTimerCount = 0;
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
    // The name check and the insertion share one hold of the mutex, so two
    // threads cannot start the same name at once.
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    // One hash of the name: claim it in the index, give it back if refused.
    auto [indexed, claimed] = m_nameIndex.emplace(helper->m_strName, 0u);
    if (!claimed) {
        CHS_LOG(3, LOGID_INFRA, "Failed to start timer because the timer GetName does exist.");
        return false;
    }
    if (m_uiTimerCount > kMaxTimers) {
        m_nameIndex.erase(indexed);
        CHS_LOG_PRINT(3, LOGID_INFRA, "Failed to start timer because the total timer number(", m_uiTimerCount,
                      ") is over ", kMaxTimers, ".");
        return false;
    }
    if (helper->m_ulRemain == 0) {
        helper->m_ulRemain = 1;  // due at once means: on the next tick
    }
    uint64_t remain = helper->m_ulRemain;
    auto slotNo = static_cast<uint32_t>((m_ulCurTick + remain) % kSlots);
    TimerHashItemClass& slot = m_slots[slotNo];
    if (remain <= kSlots) {
        // Due at the next visit of the slot (1 to 1024 ticks from now).
        slot.nearList.push_back(helper);
        ++slot.uiNearLen;
    } else {
        // Delta list by revolutions: each entry's rounds are counted after the
        // rounds of the entries before it.
        auto it = slot.farList.begin();
        for (; it != slot.farList.end(); ++it) {
            TimerHelperClass* entry = *it;
            if (entry->m_ulRemain > remain) {
                entry->m_ulRemain -= Rounds(remain) * kSlots;
                break;
            }
            remain -= Rounds(entry->m_ulRemain) * kSlots;
        }
        helper->m_ulRemain = remain;
        slot.farList.insert(it, helper);
        ++slot.uiFarLen;
    }
    indexed->second = slotNo;
    ++m_uiTimerCount;
    return true;
}

bool TimerDrvClass::SearchTimer(const std::string& name, TimerHashItemClass** slot, bool* inFar,
                                std::list<TimerHelperClass*>::iterator* position) {
    auto indexed = m_nameIndex.find(name);
    if (indexed == m_nameIndex.end()) {
        return false;
    }
    TimerHashItemClass& item = m_slots[indexed->second];
    for (bool far : {false, true}) {
        std::list<TimerHelperClass*>& list = far ? item.farList : item.nearList;
        for (auto it = list.begin(); it != list.end(); ++it) {
            if (timerCompareName(*it, name)) {
                *slot = &item;
                *inFar = far;
                *position = it;
                return true;
            }
        }
    }
    // Cannot happen while every path keeps the index; do not let a stale
    // entry block the name for ever.
    CHS_LOG_PRINT(3, LOGID_INFRA, "Timer index names ", name, " in slot ", indexed->second,
                  " but the slot does not hold it.");
    m_nameIndex.erase(indexed);
    return false;
}

void TimerDrvClass::StopTimerHelper(TimerHashItemClass& slot, bool inFar,
                                    std::list<TimerHelperClass*>::iterator position) {
    TimerHelperClass* helper = *position;
    if (inFar) {
        // The next entry counts its revolutions after this one's: give them to it.
        auto next = std::next(position);
        if (next != slot.farList.end()) {
            (*next)->m_ulRemain += Rounds(helper->m_ulRemain) * kSlots;
        }
        slot.farList.erase(position);
        --slot.uiFarLen;
    } else {
        slot.nearList.erase(position);
        --slot.uiNearLen;
    }
    m_nameIndex.erase(helper->m_strName);
    if (m_uiTimerCount > 0) {
        --m_uiTimerCount;
    }
    helper->Stop();
    CHS_LOG_PRINT(0, LOGID_INFRA, "Succeded in Stop timer ", helper->m_strName, ".");
    delete helper;
}

bool TimerDrvClass::StopTimer(const std::string& name) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    TimerHashItemClass* slot = nullptr;
    bool inFar = false;
    std::list<TimerHelperClass*>::iterator position;
    if (!SearchTimer(name, &slot, &inFar, &position)) {
        return false;
    }
    StopTimerHelper(*slot, inFar, position);
    return true;
}

void TimerDrvClass::TriggerHook(TimerHelperClass* helper) {
    if (helper == nullptr) {
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    // The registration has left the wheel.
    if (m_uiTimerCount > 0) {
        --m_uiTimerCount;
    }
    m_nameIndex.erase(helper->m_strName);

    TimerBaseClass* timer = helper->m_pTimer;
    if (timer == nullptr) {
        delete helper;  // its object was forgotten: nothing to fire, nothing to re-arm
        return;
    }
    bool dropped = false;
    if (timer->RunningCount() > 1) {
        CHS_LOG_PRINT(0, LOGID_INFRA, "The running timer(", helper->m_strName,
                      ") has been blocked, ignore this running.");
        timer->AddBlocked();
    } else {
        std::lock_guard<std::mutex> readyLock(m_readyMutex);
        if (m_uiReadyLen > kMaxReady) {
            // The firing is not counted, so it cannot keep the object alive
            // or block its later firings.
            dropped = true;
        } else {
            m_readyList.emplace_back(*helper);
            ++m_uiReadyLen;
            timer->SetRunningFlag(true);
            m_readyCond.notify_one();
        }
    }
    if (dropped) {
        CHS_LOG_PRINT(2, LOGID_INFRA, "Timer queue is full, drop the running of timer(", helper->m_strName, ").");
    }

    if (helper->m_bRepeat) {
        helper->m_ulRemain = helper->m_ulSpan;
        if (!StartTimer(helper)) {
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

void TimerDrvClass::TickTrigger(unsigned long ticks) {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    std::list<TimerHelperClass*> due;
    for (unsigned long i = 0; i < ticks; ++i) {
        ++m_ulCurTick;  // re-armed timers count from the tick being handled
        TimerHashItemClass& slot = m_slots[m_ulCurTick % kSlots];
        due.splice(due.end(), slot.nearList);
        slot.uiNearLen = 0;
        while (!slot.farList.empty()) {
            TimerHelperClass* first = slot.farList.front();
            if (Rounds(first->m_ulRemain) == 0) {
                due.splice(due.end(), slot.farList, slot.farList.begin());
                --slot.uiFarLen;
            } else {
                first->m_ulRemain -= kSlots;  // later entries are relative to it
                break;
            }
        }
        while (!due.empty()) {
            TimerHelperClass* helper = due.front();
            due.pop_front();
            TriggerHook(helper);
        }
    }
}

void TimerDrvClass::TimeEvent(unsigned long& lastMilliseconds) {
    uint64_t now = Now();
    uint64_t elapsed = now - lastMilliseconds;  // unsigned: a backward jump is huge
    unsigned long ticks;
    if (elapsed <= 999) {
        uint64_t total = elapsed + m_ulRemainderMs;
        ticks = static_cast<unsigned long>(total / kTickMs);
        m_ulRemainderMs = total % kTickMs;
        lastMilliseconds = now;
        if (ticks == 0) {
            return;
        }
    } else {
        // A clock jump of a second or more, either way: one tick.
        lastMilliseconds = now;
        ticks = 1;
    }
    m_ulTotalTicks += ticks;
    TickTrigger(ticks);
}

bool TimerDrvClass::ClockBootCheck() {
    bool expected = false;
    return m_bClockStarted.compare_exchange_strong(expected, true);
}

void TimerDrvClass::ClockTask() {
    if (!ClockBootCheck()) {
        return;
    }
    unsigned long last = Now();
    for (;;) {
        FdsaFlowMonClass flowMon(kFlowModule, kFlowTypeClock, kFlowPair);
        try {
            flowMon.Start();
            void (*tracePoint)() = g_pfnClockTracePoint;
            if (tracePoint != nullptr) {
                tracePoint();
            }
            Sleep(kTickMs);
            TimeEvent(last);
        } catch (...) {
            // One failed pass must not stop the clock.
        }
        flowMon.End();
    }
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
    for (;;) {
        std::optional<TimerHelperClass> copy;
        {
            std::unique_lock<std::mutex> lock(m_readyMutex);
            m_readyCond.wait(lock, [this] { return !m_readyList.empty(); });
            copy.emplace(std::move(m_readyList.front()));
            m_readyList.pop_front();
            --m_uiReadyLen;
        }
        RunReady(*copy);
    }
}

bool TimerDrvClass::RunOneReady() {
    std::optional<TimerHelperClass> copy;
    {
        std::lock_guard<std::mutex> lock(m_readyMutex);
        if (m_readyList.empty()) {
            return false;
        }
        copy.emplace(std::move(m_readyList.front()));
        m_readyList.pop_front();
        --m_uiReadyLen;
    }
    RunReady(*copy);
    return true;
}

uint32_t TimerDrvClass::TimerCount() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_uiTimerCount;
}

uint32_t TimerDrvClass::ReadyLength() {
    std::lock_guard<std::mutex> lock(m_readyMutex);
    return m_uiReadyLen;
}

uint64_t TimerDrvClass::CurrentTick() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    return m_ulCurTick;
}

bool TimerDrvClass::CheckIndex() {
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    size_t total = 0;
    for (uint32_t i = 0; i < kSlots; ++i) {
        const TimerHashItemClass& slot = m_slots[i];
        if (slot.nearList.size() != slot.uiNearLen || slot.farList.size() != slot.uiFarLen) {
            return false;
        }
        for (const auto* list : {&slot.nearList, &slot.farList}) {
            for (const TimerHelperClass* helper : *list) {
                auto indexed = m_nameIndex.find(helper->m_strName);
                if (indexed == m_nameIndex.end() || indexed->second != i) {
                    return false;
                }
                ++total;
            }
        }
    }
    return total == m_nameIndex.size() && total == m_uiTimerCount;
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
