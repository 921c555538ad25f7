// TimerDrvClass: the process-wide timer service. Named one-shot or periodic
// timers with a 10 ms tick, kept in a hashed timing wheel of 1024 slots,
// advanced by one clock thread and fired on a pool of worker threads.
// Also the clock functions of the daemon (Now, AbsMilliSecond, Sleep).
//
// Thread safety: every public member may be called from any thread. A timer's
// callback never runs twice at the same time; callbacks run on the workers,
// never under the driver mutex. Lock order: driver mutex, then the ready-queue
// mutex or the recycle mutex; a timer object's own mutex is held only around
// its callback, which may take any of them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>

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
    // deletes it when idle, else hands it to timer_recycle.
    void Stop();
    // Ends a firing counted by SetRunningFlag(true): lowers the running count
    // and, for a destroy-after-run object that is not stopped, tries Destory().
    // `this` may be gone when it returns.
    void Release();
    int32_t RunningCount() const { return m_iRunning.load(); }
    uint64_t BlockedCount() const { return m_ulBlocked.load(); }
    void AddBlocked() { ++m_ulBlocked; }
    bool DestroyAfterRun() const { return m_bDestroyAfterRun; }
    bool IsStopped() const { return m_bStopped.load(); }

private:
    friend void timer_recycle::RecycleTimer(TimerHelperClass& helper);
    // Moves an idle object (running count 0) to the dead state; only one
    // caller can win. The winner must delete the object.
    bool ClaimDestroy();

    std::atomic<int32_t> m_iRunning{0};
    std::mutex m_runMutex;
    bool m_bDestroyAfterRun;
    std::atomic<uint64_t> m_ulBlocked{0};
    std::atomic<bool> m_bStopped{false};
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

// The registration of one timer in the wheel. Does not own its timer object.
class TimerHelperClass {
public:
    TimerHelperClass(TimerBaseClass* timer, const std::string& name, bool repeat, uint32_t spanTicks)
        : m_pTimer(timer), m_strName(name), m_bRepeat(repeat), m_ulSpan(spanTicks), m_ulRemain(spanTicks) {}

    void Stop();  // stops the timer object and forgets it

    TimerBaseClass* m_pTimer;
    std::string m_strName;
    bool m_bRepeat;
    uint64_t m_ulSpan;    // ticks
    uint64_t m_ulRemain;  // ticks; for the far list, relative to the entry before
};

// One wheel slot.
struct TimerHashItemClass {
    std::list<TimerHelperClass*> nearList;  // due when the wheel next reaches this slot
    std::list<TimerHelperClass*> farList;   // due in a later revolution, as a delta list
    uint32_t uiNearLen = 0;
    uint32_t uiFarLen = 0;
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

    bool Init(unsigned int workers);

    bool StartTimer(TimerHelperClass* helper);
    bool StopTimer(const std::string& name);
    void TriggerHook(TimerHelperClass* helper);
    void TickTrigger(unsigned long ticks);
    void TimeEvent(unsigned long& lastMilliseconds);
    bool ClockBootCheck();
    void TimerTask();
    void ClockTask();

    // Runs the first firing of the ready queue on the calling thread, as a
    // worker would (flow monitor, Trigger). False when the queue is empty.
    bool RunOneReady();

    uint32_t TimerCount();
    uint32_t ReadyLength();
    uint64_t TotalTicks() const { return m_ulTotalTicks.load(); }
    uint64_t CurrentTick();
    // Diagnostic, O(all slots): the name index, the list lengths and the timer
    // count agree with the wheel's lists.
    bool CheckIndex();

    static uint64_t Now();            // wall clock, ms since the epoch
    static uint64_t AbsMilliSecond(); // monotonic ms
    static void Sleep(unsigned int milliseconds);

private:
    // Caller holds m_mutex. Finds the registration of a running timer by name
    // through the index and that one slot's lists.
    bool SearchTimer(const std::string& name, TimerHashItemClass** slot, bool* inFar,
                     std::list<TimerHelperClass*>::iterator* position);
    // Caller holds m_mutex. Removes, stops and destroys one registration.
    void StopTimerHelper(TimerHashItemClass& slot, bool inFar, std::list<TimerHelperClass*>::iterator position);
    void RunReady(TimerHelperClass& copy);

    TimerHashItemClass m_slots[kSlots];
    std::recursive_mutex m_mutex;
    std::atomic<uint64_t> m_ulTotalTicks{0};
    uint64_t m_ulRemainderMs = 0;
    uint64_t m_ulCurTick = 0;
    std::atomic<bool> m_bClockStarted{false};
    uint32_t m_uiTimerCount = 0;
    // Running timers by name, beside the wheel, so that the name check on
    // start does not scan all slots. Value: the slot the registration is in.
    // Exact under m_mutex: every registration in a slot list has its entry,
    // and no other name has one.
    std::unordered_map<std::string, uint32_t> m_nameIndex;

    // The ready queue holds the fired copies by value (FIFO).
    std::mutex m_readyMutex;
    std::condition_variable m_readyCond;
    std::deque<TimerHelperClass> m_readyList;
    uint32_t m_uiReadyLen = 0;
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
