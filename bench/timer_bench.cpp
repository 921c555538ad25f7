// Timer driver benchmarks, each beside its baseline in the same run.
//
// 1. Start-and-fire: N one-shot timers with distinct names and spans of 1 to
//    S ticks are started, then time advances until all have fired and their
//    callbacks have run. Both sides get the same names, spans and clock.
//    - Wheel: a private driver. Per timer a callback object and a
//      registration are created with new and handed to StartTimer; the clock
//      advances with TickTrigger, and the ready queue is drained after each
//      advance on the same thread, as a worker would run it (flow monitor,
//      Trigger, callback, one-shot self-destruction).
//    - PlainQueue: a plain priority-queue timer service with the same contract
//      for this work: thread-safe, named timers with duplicates refused (a
//      name map), a callback object created with new per timer, callbacks run
//      outside the service's lock, one-shots destroyed after their run.
//      It does less per firing than the driver must: no hand-over to a
//      worker through the ready queue, no flow-monitor bracket around the
//      callback, no run mutex and running count on the timer object.
//    Clock: "Tick" advances one tick per call, the finest a clock pass hands
//    over. "Batch" hands over all S ticks in one call, as the clock thread
//    does when it wakes after sleeping until the next due timer; it shows the
//    cost of passing empty slots and far-list revolutions. (Possible because
//    N <= 257 < the ready-queue cap.) N is at most 257: the driver refuses
//    more running timers.
// 2. Name check: StartTimer + StopTimer of one more timer, and the refusal of
//    a duplicate name, while K timers run (K up to 256): flat with the name
//    index. Baseline: finding the name by scanning all 1024 slots' lists.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <queue>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "infra/chs_log.h"
#include "infra/timer_drv.h"
#include "platform/dplog.h"

namespace {

uint64_t g_fired = 0;
void CountFired(TimerHelperClass&) { ++g_fired; }

struct Workload {
    std::vector<std::string> names;
    std::vector<uint32_t> spans;  // ticks
    uint32_t maxSpan = 0;
};

Workload MakeWorkload(int count, uint32_t maxSpanTicks) {
    Workload load;
    std::mt19937 rng(12345);
    std::uniform_int_distribution<uint32_t> dist(1, maxSpanTicks);
    for (int i = 0; i < count; ++i) {
        load.names.push_back("bench-timer-" + std::to_string(i));
        load.spans.push_back(dist(rng));
        load.maxSpan = std::max(load.maxSpan, load.spans.back());
    }
    return load;
}

void QuietLogs() {
    // Only the refusal texts of the name-check benchmark would log (level 3);
    // keep them out of the measurement.
    dpax_log_level_set(GetModuleID(), 2);
}

void Finish(benchmark::State& state, const Workload& load) {
    if (g_fired != load.names.size() * state.iterations()) {
        state.SkipWithError("not every timer fired");
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * load.names.size()));
}

// ---------------------------------------------------------------------------
// The wheel

bool StartAll(TimerDrvClass& drv, const Workload& load) {
    for (size_t i = 0; i < load.names.size(); ++i) {
        auto* helper =
            new TimerHelperClass(new TimerWapperClass(CountFired, true), load.names[i], false, load.spans[i]);
        if (!drv.StartTimer(helper)) {
            return false;
        }
    }
    return true;
}

void BM_Wheel_StartAndFire_Tick(benchmark::State& state) {
    QuietLogs();
    Workload load = MakeWorkload(static_cast<int>(state.range(0)), static_cast<uint32_t>(state.range(1)));
    TimerDrvClass drv;
    g_fired = 0;
    for (auto _ : state) {
        if (!StartAll(drv, load)) {
            state.SkipWithError("StartTimer failed");
            return;
        }
        for (uint32_t t = 0; t < load.maxSpan; ++t) {
            drv.TickTrigger(1);
            while (drv.RunOneReady()) {
            }
        }
    }
    Finish(state, load);
}

void BM_Wheel_StartAndFire_Batch(benchmark::State& state) {
    QuietLogs();
    Workload load = MakeWorkload(static_cast<int>(state.range(0)), static_cast<uint32_t>(state.range(1)));
    TimerDrvClass drv;
    g_fired = 0;
    for (auto _ : state) {
        if (!StartAll(drv, load)) {
            state.SkipWithError("StartTimer failed");
            return;
        }
        drv.TickTrigger(load.maxSpan);
        while (drv.RunOneReady()) {
        }
    }
    Finish(state, load);
}

// ---------------------------------------------------------------------------
// The baseline: a plain priority-queue timer service

class PlainTimerService {
public:
    class Callback {
    public:
        virtual ~Callback() = default;
        virtual void OnTimer(const std::string& name) = 0;
    };

    // Takes the callback object; false (and the object is destroyed) when a
    // timer of that name is running.
    bool Start(const std::string& name, std::unique_ptr<Callback> callback, uint64_t spanTicks) {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto [running, inserted] = m_running.try_emplace(name, Running{nullptr, m_seq});
        if (!inserted) {
            return false;
        }
        running->second.callback = std::move(callback);
        m_queue.push(Due{m_now + spanTicks, m_seq++, name});
        return true;
    }

    // The queue entry of a stopped timer stays and is skipped when it comes up.
    bool Stop(const std::string& name) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_running.erase(name) != 0;
    }

    // Advances the clock and runs the callbacks that came due, outside the
    // lock (so that they may start and stop timers). One clock thread calls it.
    void Advance(uint64_t ticks) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_now += ticks;
            while (!m_queue.empty() && m_queue.top().tick <= m_now) {
                auto running = m_running.find(m_queue.top().name);
                if (running != m_running.end() && running->second.seq == m_queue.top().seq) {
                    m_fired.push_back(m_running.extract(running));
                }
                m_queue.pop();
            }
        }
        for (auto& fired : m_fired) {
            fired.mapped().callback->OnTimer(fired.key());
        }
        m_fired.clear();  // a one-shot's callback object goes with its run
    }

private:
    struct Running {
        std::unique_ptr<Callback> callback;
        uint64_t seq;  // tells this start's queue entry from a stopped one's
    };
    struct Due {
        uint64_t tick;
        uint64_t seq;  // FIFO among equal ticks
        std::string name;
        bool operator>(const Due& other) const { return tick != other.tick ? tick > other.tick : seq > other.seq; }
    };
    using RunningMap = std::unordered_map<std::string, Running>;

    std::mutex m_mutex;
    uint64_t m_now = 0;
    uint64_t m_seq = 0;
    std::priority_queue<Due, std::vector<Due>, std::greater<Due>> m_queue;
    RunningMap m_running;
    std::vector<RunningMap::node_type> m_fired;  // only the clock thread touches it
};

class CountingCallback : public PlainTimerService::Callback {
public:
    void OnTimer(const std::string&) override { ++g_fired; }
};

bool StartAll(PlainTimerService& service, const Workload& load) {
    for (size_t i = 0; i < load.names.size(); ++i) {
        if (!service.Start(load.names[i], std::make_unique<CountingCallback>(), load.spans[i])) {
            return false;
        }
    }
    return true;
}

void BM_PlainQueue_StartAndFire_Tick(benchmark::State& state) {
    Workload load = MakeWorkload(static_cast<int>(state.range(0)), static_cast<uint32_t>(state.range(1)));
    PlainTimerService service;
    g_fired = 0;
    for (auto _ : state) {
        if (!StartAll(service, load)) {
            state.SkipWithError("Start failed");
            return;
        }
        for (uint32_t t = 0; t < load.maxSpan; ++t) {
            service.Advance(1);
        }
    }
    Finish(state, load);
}

void BM_PlainQueue_StartAndFire_Batch(benchmark::State& state) {
    Workload load = MakeWorkload(static_cast<int>(state.range(0)), static_cast<uint32_t>(state.range(1)));
    PlainTimerService service;
    g_fired = 0;
    for (auto _ : state) {
        if (!StartAll(service, load)) {
            state.SkipWithError("Start failed");
            return;
        }
        service.Advance(load.maxSpan);
    }
    Finish(state, load);
}

// N timers, spans up to S ticks: 100 ticks (1 s, near lists only) and 5000
// ticks (50 s, most in far lists).
void FireArgs(benchmark::internal::Benchmark* bench) {
    for (int n : {16, 64, 256}) {
        for (int span : {100, 5000}) {
            bench->Args({n, span});
        }
    }
}

BENCHMARK(BM_Wheel_StartAndFire_Tick)->Apply(FireArgs);
BENCHMARK(BM_PlainQueue_StartAndFire_Tick)->Apply(FireArgs);
BENCHMARK(BM_Wheel_StartAndFire_Batch)->Apply(FireArgs);
BENCHMARK(BM_PlainQueue_StartAndFire_Batch)->Apply(FireArgs);

// ---------------------------------------------------------------------------
// Name check with K running timers

void StartRunning(TimerDrvClass& drv, int count) {
    for (int i = 0; i < count; ++i) {
        drv.StartTimer(new TimerHelperClass(new TimerWapperClass(CountFired, false), "running-" + std::to_string(i),
                                            true, 1000 + 37 * static_cast<uint32_t>(i)));
    }
}

void BM_Wheel_StartStopWithRunning(benchmark::State& state) {
    QuietLogs();
    TimerDrvClass drv;
    StartRunning(drv, static_cast<int>(state.range(0)));
    const std::string name = "probe-timer";
    for (auto _ : state) {
        auto* helper = new TimerHelperClass(new TimerWapperClass(CountFired, true), name, false, 500);
        if (!drv.StartTimer(helper) || !drv.StopTimer(name)) {
            state.SkipWithError("start/stop failed");
            return;
        }
    }
}

void BM_Wheel_DuplicateNameCheckWithRunning(benchmark::State& state) {
    QuietLogs();
    TimerDrvClass drv;
    int running = static_cast<int>(state.range(0));
    StartRunning(drv, running);
    // A registration whose name runs already: StartTimer refuses it after the name check.
    TimerHelperClass duplicate(nullptr, "running-" + std::to_string(running / 2), false, 100);
    for (auto _ : state) {
        benchmark::DoNotOptimize(drv.StartTimer(&duplicate));
    }
}

// Finding a name without an index: every slot's near and far lists, compared
// by name, with K registrations spread over the wheel as StartRunning puts them.
void BM_FullScan_NameCheckWithRunning(benchmark::State& state) {
    int running = static_cast<int>(state.range(0));
    struct Slot {
        std::vector<const TimerHelperClass*> nearList;
        std::vector<const TimerHelperClass*> farList;
    };
    std::vector<Slot> slots(TimerDrvClass::kSlots);
    std::vector<std::unique_ptr<TimerHelperClass>> helpers;
    for (int i = 0; i < running; ++i) {
        helpers.push_back(std::make_unique<TimerHelperClass>(nullptr, "running-" + std::to_string(i), true,
                                                             1000 + 37 * static_cast<uint32_t>(i)));
        const TimerHelperClass& helper = *helpers.back();
        Slot& slot = slots[helper.m_ulSpan % TimerDrvClass::kSlots];
        (helper.m_ulSpan <= TimerDrvClass::kSlots ? slot.nearList : slot.farList).push_back(&helper);
    }
    const std::string name = "probe-timer";  // not running: the scan visits everything
    for (auto _ : state) {
        bool found = false;
        for (const Slot& slot : slots) {
            for (const auto* list : {&slot.nearList, &slot.farList}) {
                for (const TimerHelperClass* helper : *list) {
                    found = found || helper->m_strName == name;
                }
            }
        }
        benchmark::DoNotOptimize(found);
    }
}

void RunningArgs(benchmark::internal::Benchmark* bench) {
    for (int k : {0, 16, 64, 128, 256}) {
        bench->Arg(k);
    }
}

BENCHMARK(BM_Wheel_StartStopWithRunning)->Apply(RunningArgs);
// At least one running timer: the checked name must be running.
BENCHMARK(BM_Wheel_DuplicateNameCheckWithRunning)->Arg(1)->Arg(16)->Arg(64)->Arg(128)->Arg(256);
BENCHMARK(BM_FullScan_NameCheckWithRunning)->Apply(RunningArgs);

}  // namespace

BENCHMARK_MAIN();
