// TimerDrvClass: the process-wide timer service. Named one-shot or periodic
// timers with a 10 ms tick, kept in a hashed timing wheel of 1024 slots,
// advanced by one clock thread, which sleeps until the next timer is due, and
// fired on a pool of worker threads.
// Also the clock functions of the daemon (Now, AbsMilliSecond, Sleep).
//
// Thread safety: every public member may be called from any thread, except
// that the wheel is advanced (TimeEvent, TickTrigger) by one thread at a time:
// the clock thread, or the test or benchmark driving a private driver. A
// timer's callback never runs twice at the same time; callbacks run on the
// workers, never under the driver mutex. Lock order: driver mutex, then the
// ready-queue mutex or the recycle mutex; a timer object's own mutex is held
// only around its callback, which may take any of them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class TimerHelperClass;

namespace timer_recycle {
void RecycleTimer(TimerHelperClass& helper);
}  // namespace timer_recycle

class TimerInterface {
public:
    virtual ~TimerInterface() = default;
    virtual void OnTimer(TimerHelperClass& helper) = 0;
};

// The timer object whose callback runs. Created with new; it destroys itself
// (a one-shot after its run, any timer when stopped while idle) or is handed
// to the recycler when stopped while running.
//
// Lifetime: the running count counts firings handed to a worker and not yet
// finished. The object is deleted only when that count is 0, by exactly one
// of: Stop() (idle), the recycler (stopped while running), or the end of a
// destroy-after-run object's last firing (not stopped).
class TimerBaseClass : public TimerInterface {
public:
    explicit TimerBaseClass(bool destroyAfterRun) : m_bDestroyAfterRun(destroyAfterRun) {}
    ~TimerBaseClass() override = default;

    // Runs OnTimer under the object mutex when a firing is counted and the
    // timer has not been stopped, then ends the firing (Release()).
    void Trigger(TimerHelperClass& helper);
    void SetRunningFlag(bool running);
    bool Destory();  // deletes this and returns true when the running count is 0
    // Marks the timer stopped (firings still queued do not run its callback);
    // deletes it when idle, else hands it to timer_recycle. Once only.
    void Stop();
    // Ends a firing counted by SetRunningFlag(true): lowers the running count
    // and, for a destroy-after-run object that is not stopped, deletes the
    // object when that was its last firing. `this` may be gone when it returns.
    void Release();
    int32_t RunningCount() const;
    uint64_t BlockedCount() const { return m_ulBlocked.load(); }
    void AddBlocked() { ++m_ulBlocked; }
    bool DestroyAfterRun() const { return m_bDestroyAfterRun; }
    bool IsStopped() const;

private:
    friend void timer_recycle::RecycleTimer(TimerHelperClass& helper);
    // Moves an idle object (running count 0) to the dead state; only one
    // caller can win. The winner must delete the object.
    bool ClaimDestroy();

    // The running count and the stopped mark share one word, so that the end
    // of a firing and a stop agree without a lock on who deletes the object.
    static constexpr int32_t kStoppedBit = 1 << 30;
    static constexpr int32_t kCountMask = kStoppedBit - 1;
    static constexpr int32_t kDead = -1;  // the object is being deleted
    std::atomic<int32_t> m_iRunning{0};
    std::mutex m_runMutex;
    const bool m_bDestroyAfterRun;
    std::atomic<uint64_t> m_ulBlocked{0};
};

// Holds a plain callback.
class TimerWapperClass : public TimerBaseClass {
public:
    using Callback = void (*)(TimerHelperClass&);
    TimerWapperClass(Callback callback, bool destroyAfterRun)
        : TimerBaseClass(destroyAfterRun), m_pCallback(callback) {}
    void OnTimer(TimerHelperClass& helper) override;

private:
    Callback m_pCallback;
};

// Where a registration is held by its driver, and its links there. Not
// copied with the registration: a copy (a firing) starts unlinked.
struct TimerLink {
    enum class Place : uint8_t {
        kNone,     // not held by a driver
        kStarted,  // started, waiting for the clock to put it into the wheel
        kNear,     // in the near list of slot `slot`
        kFar,      // in the far list of slot `slot`
    };

    TimerLink() = default;
    TimerLink(const TimerLink&) {}
    TimerLink& operator=(const TimerLink&) { return *this; }

    Place place = Place::kNone;
    uint32_t slot = 0;
    TimerHelperClass* prev = nullptr;          // in the list of `place`
    TimerHelperClass* next = nullptr;
    size_t nameHash = 0;                       // of the name it was indexed with
    uint64_t startTick = 0;                    // the wheel's tick when it was started (kStarted)
    TimerHelperClass* nextSameHash = nullptr;  // in the name index's bucket
};

// The registration of one timer in the wheel. Does not own its timer object.
class TimerHelperClass {
public:
    TimerHelperClass(TimerBaseClass* timer, const std::string& name, bool repeat, uint32_t spanTicks)
        : m_pTimer(timer), m_strName(name), m_bRepeat(repeat), m_ulSpan(spanTicks), m_ulRemain(spanTicks) {}

    void Stop();  // stops the timer object and forgets it

    TimerBaseClass* m_pTimer;
    std::string m_strName;  // must not change while the registration runs
    bool m_bRepeat;
    uint64_t m_ulSpan;    // ticks
    uint64_t m_ulRemain;  // ticks; for the far list, relative to the entry before

private:
    friend class TimerDrvClass;
    friend class TimerList;
    friend class TimerNameIndex;
    // An empty copy, for the ready queue and the workers to fill.
    TimerHelperClass() : m_pTimer(nullptr), m_bRepeat(false), m_ulSpan(0), m_ulRemain(0) {}

    TimerLink m_link;
};

// A list of registrations threaded through their links, so that moving a
// registration between lists, or out of one, allocates nothing. A
// registration is in at most one list at a time.
class TimerList {
public:
    bool Empty() const { return m_pHead == nullptr; }
    TimerHelperClass* Front() const { return m_pHead; }
    static TimerHelperClass* Next(const TimerHelperClass* helper) { return helper->m_link.next; }
    void PushBack(TimerHelperClass* helper) { InsertBefore(nullptr, helper); }
    // Before `position`; at the end when `position` is null.
    void InsertBefore(TimerHelperClass* position, TimerHelperClass* helper);
    void Erase(TimerHelperClass* helper);
    TimerHelperClass* PopFront();

private:
    TimerHelperClass* m_pHead = nullptr;
    TimerHelperClass* m_pTail = nullptr;
};

// One wheel slot.
struct TimerHashItemClass {
    TimerList nearList;  // due when the wheel next reaches this slot
    TimerList farList;   // due in a later revolution, as a delta list
    uint32_t uiNearLen = 0;
    uint32_t uiFarLen = 0;
    // During an advance of the driver: the last visit of this slot whose
    // revolution the far list has counted already (0: none). Beside the
    // lists, so that a visit reads one place.
    uint64_t skipUntil = 0;
    bool Empty() const { return nearList.Empty() && farList.Empty(); }
};

// Running timers by name, beside the wheel, so that the name check on start
// does not scan all slots: a chained hash table threaded through the
// registrations. Each registration keeps its name's hash, so taking it out
// again does not hash.
class TimerNameIndex {
public:
    static constexpr uint32_t kBuckets = 512;  // at most 257 timers run

    static size_t Hash(const std::string& name);
    TimerHelperClass* Find(const std::string& name, size_t hash) const;
    // The name must not be indexed yet.
    void Insert(TimerHelperClass* helper, size_t hash);
    // False when the registration is not in the index.
    bool Remove(TimerHelperClass* helper);
    uint32_t Size() const { return m_uiSize; }

private:
    TimerHelperClass* m_buckets[kBuckets] = {};
    uint32_t m_uiSize = 0;
};

// The process-wide clock pass calls this once per pass when it is set (core
// sets it at start-up, before Init, to test the clock task's trace-point
// marker "TP_MON_CHS_ClockTask_Sleep2H"). Null by default.
extern void (*g_pfnClockTracePoint)();

class TimerDrvClass {
public:
    static constexpr uint32_t kSlots = 1024;
    static constexpr uint32_t kTickMs = 10;
    static constexpr uint64_t kMaxSpanTicks = 259200000;  // 30 days
    static constexpr uint32_t kMaxTimers = 256;            // more than this many refuse a new one
    static constexpr uint32_t kMaxReady = 1024;
    static constexpr const char* kRecycleTimerName = "-#innerRecycleTimer#-";

    static TimerDrvClass* instance();

    // A private driver with no clock thread and no workers: tests and
    // benchmarks drive it with TickTrigger/TimeEvent and run its ready queue
    // with RunOneReady. Do not Init one that can be destroyed: its threads
    // would outlive it. Destroying it stops every timer still in it.
    TimerDrvClass();
    ~TimerDrvClass();
    TimerDrvClass(const TimerDrvClass&) = delete;
    TimerDrvClass& operator=(const TimerDrvClass&) = delete;

    // Starts the clock thread, `workers` workers (1 to 10) and the recycle
    // timer. False for a count out of range or when a thread does not start
    // (logged); threads already started keep running.
    bool Init(unsigned int workers);

    bool StartTimer(TimerHelperClass* helper);
    bool StopTimer(const std::string& name);
    void TriggerHook(TimerHelperClass* helper);
    void TickTrigger(unsigned long ticks);
    // One clock pass: advances the wheel by the monotonic time since the last
    // pass (the remainder below a tick is kept for the next one). The wall
    // clock of the last pass, `lastMilliseconds`, only tells a wall-clock jump
    // (the wall clock moved a second or more more or less than the monotonic
    // one): the wheel does not follow it; a pass that sees one and counts no
    // whole tick counts one. `lastMilliseconds` becomes the wall clock now.
    void TimeEvent(unsigned long& lastMilliseconds);
    bool ClockBootCheck();
    void TimerTask();
    void ClockTask();

    // The clock's wait of one pass: until the monotonic time of the next tick
    // whose slot holds a timer (for ever while the wheel is empty), or until
    // a timer is started that is due before that tick.
    void WaitForDue();

    // Runs the first firing of the ready queue on the calling thread, as a
    // worker would (flow monitor, Trigger). False when the queue is empty
    // (asked without the lock: the common answer between ticks).
    bool RunOneReady() { return m_uiReadyLen.load(std::memory_order_acquire) != 0 && RunFirstReady(); }

    uint32_t TimerCount();
    uint32_t ReadyLength() const { return m_uiReadyLen.load(); }
    uint64_t TotalTicks() const { return m_ulTotalTicks.load(); }
    uint64_t CurrentTick() const { return m_ulCurTick.load(); }
    // Diagnostic, O(all slots): the name index, the lists, their lengths, the
    // occupied-slot marks and the timer count agree.
    bool CheckIndex();

    static uint64_t Now();            // wall clock, ms since the epoch
    static uint64_t AbsMilliSecond(); // monotonic ms
    static void Sleep(unsigned int milliseconds);

private:
    static constexpr uint32_t kReadyCapacity = kMaxReady + 1;  // a copy is refused only beyond kMaxReady
    static constexpr uint32_t kOccupiedWords = kSlots / 64;

    // Caller holds m_mutex. The running registration of that name, or null.
    TimerHelperClass* SearchTimer(const std::string& name, size_t hash);
    // Caller holds m_mutex. Takes one registration out of the driver, stops
    // and destroys it.
    void StopTimerHelper(TimerHelperClass* helper);
    // Caller holds m_mutex. Takes a registration out of whichever list holds it.
    void Unlink(TimerHelperClass* helper);
    // Caller holds m_mutex. The name check, the limit, and then: index the
    // registration, count it and queue it for the clock, which puts it into
    // the wheel before it handles its next tick.
    bool StartLocked(TimerHelperClass* helper, size_t hash);
    // Clock, holding m_mutex: the started registrations into the wheel,
    // relative to the current tick.
    void InsertStarted();
    void InsertIntoWheel(TimerHelperClass* helper);

    // The firings of one advance go to the ready queue under one hold of its
    // mutex, taken at the first firing and let go before anything is logged
    // or a timer object stopped; the workers are woken once it is let go.
    class ReadyBatch {
    public:
        explicit ReadyBatch(TimerDrvClass& drv) : m_drv(drv), m_lock(drv.m_readyMutex, std::defer_lock) {}
        ~ReadyBatch() { Unlock(); }
        void Lock() {
            if (!m_lock.owns_lock()) {
                m_lock.lock();
            }
        }
        void Unlock();
        void Pushed() { ++m_uiPushed; }

    private:
        TimerDrvClass& m_drv;
        std::unique_lock<std::mutex> m_lock;
        uint32_t m_uiPushed = 0;
    };
    // Caller holds m_mutex; the registration is out of the wheel. Hands a
    // firing to the ready queue (or counts it blocked), then re-arms a
    // periodic registration or destroys a one-shot one.
    void FireLocked(TimerHelperClass* helper, ReadyBatch& batch);
    // Clock, holding m_mutex: fires what is due at the current tick.
    void HandleCurrentTick(ReadyBatch& batch);
    // Within one advance, a slot holding only far entries not yet due may
    // take the revolutions of its later visits in that advance at once
    // (never the visit that fires its first entry); the slot is then passed
    // over up to the slot's skipUntil. Caller holds m_mutex. Settle gives
    // back the revolutions of the visits still to come, so that a change to
    // the slot's lists sees the counts of the current tick.
    void Settle(uint32_t slot) {
        if (m_slots[slot].skipUntil != 0) {
            SettleSlot(slot);
        }
    }
    void SettleSlot(uint32_t slot);
    void SettleAll();
    // Caller holds m_mutex: wakes the clock when it sleeps past `dueTick`.
    void WakeClockFor(uint64_t dueTick);
    // Ticks after `tick`, up to `limit`, whose slots are all empty.
    uint64_t EmptyTicksAfter(uint64_t tick, uint64_t limit) const;
    void MarkSlot(uint32_t slot);  // caller holds m_mutex
    void RunReady(TimerHelperClass& copy);
    bool RunFirstReady();
    // Caller holds m_readyMutex and the queue is not empty.
    void TakeReady(TimerHelperClass& into);

    TimerHashItemClass m_slots[kSlots];
    std::recursive_mutex m_mutex;
    std::atomic<uint64_t> m_ulTotalTicks{0};
    // Monotonic ms at which the current tick began: the clock remainder is the
    // time since. Under m_mutex.
    int64_t m_lTickStartMs;
    int64_t m_lLastPassMs;  // monotonic ms of the last pass, beside its wall clock
    // Written by the advancing thread only (under m_mutex unless nothing can
    // be due); read anywhere.
    std::atomic<uint64_t> m_ulCurTick{0};
    std::atomic<bool> m_bClockStarted{false};
    uint32_t m_uiTimerCount = 0;  // started and in the wheel
    TimerNameIndex m_nameIndex;

    // Starting a timer (re-arming one too) only queues its registration in
    // m_startedList; the advancing thread moves it into the wheel before its
    // next tick. So only that thread adds to the slots, and while nothing is
    // started and the next slots are empty, a tick needs no lock: it only
    // moves the current tick. m_occupied marks the slots whose lists are not
    // empty; holders of m_mutex write it.
    TimerList m_startedList;
    std::atomic<bool> m_bStarted{false};  // set when m_startedList gets an entry, cleared when emptied
    std::atomic<uint64_t> m_occupied[kOccupiedWords] = {};
    // The slots that have counted visits in advance, for SettleAll. Under
    // m_mutex; all settled between advances.
    std::vector<uint32_t> m_skipping;

    // The clock sleeps on m_clockCond until the tick m_ulClockWakeTick (0
    // while it does not sleep, and always on a driver without a clock;
    // UINT64_MAX while it waits for a start); a start due earlier sets
    // m_bClockWake under m_clockMutex and wakes it. m_clockMutex is taken
    // last (after m_mutex and the ready-queue mutex) or alone.
    std::atomic<uint64_t> m_ulClockWakeTick{0};
    std::mutex m_clockMutex;
    std::condition_variable m_clockCond;
    bool m_bClockWake = false;

    // The ready queue: fired copies by value, FIFO, in a ring whose copies are
    // reused, so that handing a firing to a worker allocates nothing.
    std::mutex m_readyMutex;
    std::condition_variable m_readyCond;
    std::vector<TimerHelperClass> m_readyRing;
    uint32_t m_uiReadyHead = 0;
    std::atomic<uint32_t> m_uiReadyLen{0};  // changed under m_readyMutex
    uint32_t m_uiIdleWorkers = 0;           // waiting on m_readyCond; under m_readyMutex
    std::atomic<uint32_t> m_uiWorkers{0};
    std::mutex m_initMutex;
    bool m_bRecycleStarted = false;
};

bool TimerStart(void (*callback)(TimerHelperClass&), const std::string& name, bool repeat, unsigned int milliseconds);
bool TimerStart(TimerHelperClass* helper);
void TimerCheck();
bool timerCompareName(TimerHelperClass* helper, const std::string& name);

namespace timer_recycle {
void TimerAdd(TimerBaseClass* timer);
void RecycleTimer(TimerHelperClass& helper);
size_t PendingCount();
}  // namespace timer_recycle
