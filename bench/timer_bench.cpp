// Timer driver benchmarks, each beside its baseline in the same run.
//
// 1. Start-and-fire: N one-shot timers with distinct names and spans of 1 to
//    S ticks are started, then time advances tick by tick until all have
//    fired and run.
//    - Wheel: StartTimer on a private driver, TickTrigger(1) per tick
//      (TriggerHook hands each due timer to the ready queue), RunOneReady
//      drains the queue after each tick as a worker would (flow monitor,
//      Trigger, callback, one-shot self-destruction).
//    - PriorityQueue: a plain std::priority_queue timer: push N deadlines,
//      and per tick pop every due entry and call its callback.
//    - Wheel/batch: the same wheel, but the clock hands over all S ticks in
//      one TickTrigger (possible here because N <= 257 < the ready cap).
//    N is at most 257: the driver refuses more running timers.
// 2. Name check: StartTimer + StopTimer of one more timer while K timers run
//    (K up to 256): flat with the name index. Baseline: the specification's
//    SearchTimer, a scan of all 1024 slots' lists for the name.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <functional>
#include <queue>
#include <random>
#include <string>
#include <vector>

#include "infra/chs_log.h"
#include "infra/timer_drv.h"
#include "platform/dplog.h"

namespace {

uint64_t g_fired = 0;
void CountFired(TimerHelperClass&) { ++g_fired; }
void CountFiredPlain(void*) { ++g_fired; }

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

void BM_Wheel_StartAndFire(benchmark::State& state) {
    QuietLogs();
    Workload load = MakeWorkload(static_cast<int>(state.range(0)), static_cast<uint32_t>(state.range(1)));
    TimerDrvClass drv;
    g_fired = 0;
    for (auto _ : state) {
        for (size_t i = 0; i < load.names.size(); ++i) {
            auto* helper = new TimerHelperClass(new TimerWapperClass(CountFired, true), load.names[i], false,
                                                load.spans[i]);
            if (!drv.StartTimer(helper)) {
                state.SkipWithError("StartTimer failed");
                return;
            }
        }
        for (uint32_t t = 0; t < load.maxSpan; ++t) {
            drv.TickTrigger(1);
            while (drv.RunOneReady()) {
            }
        }
    }
    if (g_fired != load.names.size() * state.iterations()) {
        state.SkipWithError("not every timer fired");
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * load.names.size()));
}

void BM_Wheel_StartAndFireBatch(benchmark::State& state) {
    QuietLogs();
    Workload load = MakeWorkload(static_cast<int>(state.range(0)), static_cast<uint32_t>(state.range(1)));
    TimerDrvClass drv;
    g_fired = 0;
    for (auto _ : state) {
        for (size_t i = 0; i < load.names.size(); ++i) {
            auto* helper = new TimerHelperClass(new TimerWapperClass(CountFired, true), load.names[i], false,
                                                load.spans[i]);
            if (!drv.StartTimer(helper)) {
                state.SkipWithError("StartTimer failed");
                return;
            }
        }
        drv.TickTrigger(load.maxSpan);
        while (drv.RunOneReady()) {
        }
    }
    if (g_fired != load.names.size() * state.iterations()) {
        state.SkipWithError("not every timer fired");
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * load.names.size()));
}

struct PlainTimer {
    uint64_t deadline;
    uint64_t seq;  // FIFO among equal deadlines
    void (*callback)(void*);
    void* arg;
    bool operator>(const PlainTimer& other) const {
        return deadline != other.deadline ? deadline > other.deadline : seq > other.seq;
    }
};

void BM_PriorityQueue_StartAndFire(benchmark::State& state) {
    Workload load = MakeWorkload(static_cast<int>(state.range(0)), static_cast<uint32_t>(state.range(1)));
    std::priority_queue<PlainTimer, std::vector<PlainTimer>, std::greater<PlainTimer>> queue;
    uint64_t now = 0;
    uint64_t seq = 0;
    g_fired = 0;
    for (auto _ : state) {
        for (size_t i = 0; i < load.spans.size(); ++i) {
            queue.push(PlainTimer{now + load.spans[i], seq++, CountFiredPlain, nullptr});
        }
        for (uint32_t t = 0; t < load.maxSpan; ++t) {
            ++now;
            while (!queue.empty() && queue.top().deadline <= now) {
                PlainTimer due = queue.top();
                queue.pop();
                due.callback(due.arg);
            }
        }
    }
    if (g_fired != load.names.size() * state.iterations()) {
        state.SkipWithError("not every timer fired");
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * load.names.size()));
}

void BM_PriorityQueue_StartAndFireBatch(benchmark::State& state) {
    Workload load = MakeWorkload(static_cast<int>(state.range(0)), static_cast<uint32_t>(state.range(1)));
    std::priority_queue<PlainTimer, std::vector<PlainTimer>, std::greater<PlainTimer>> queue;
    uint64_t now = 0;
    uint64_t seq = 0;
    g_fired = 0;
    for (auto _ : state) {
        for (size_t i = 0; i < load.spans.size(); ++i) {
            queue.push(PlainTimer{now + load.spans[i], seq++, CountFiredPlain, nullptr});
        }
        now += load.maxSpan;
        while (!queue.empty() && queue.top().deadline <= now) {
            PlainTimer due = queue.top();
            queue.pop();
            due.callback(due.arg);
        }
    }
    if (g_fired != load.names.size() * state.iterations()) {
        state.SkipWithError("not every timer fired");
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * load.names.size()));
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

BENCHMARK(BM_Wheel_StartAndFire)->Apply(FireArgs);
BENCHMARK(BM_PriorityQueue_StartAndFire)->Apply(FireArgs);
BENCHMARK(BM_Wheel_StartAndFireBatch)->Apply(FireArgs);
BENCHMARK(BM_PriorityQueue_StartAndFireBatch)->Apply(FireArgs);

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

// The specification's SearchTimer: every slot's near and far lists, compared
// by name, with K registrations spread over the wheel as StartRunning puts them.
void BM_SpecScan_NameCheckWithRunning(benchmark::State& state) {
    int running = static_cast<int>(state.range(0));
    std::vector<TimerHashItemClass> slots(TimerDrvClass::kSlots);
    std::vector<TimerHelperClass> helpers;
    helpers.reserve(static_cast<size_t>(running));
    for (int i = 0; i < running; ++i) {
        helpers.emplace_back(nullptr, "running-" + std::to_string(i), true, 1000 + 37 * static_cast<uint32_t>(i));
    }
    for (auto& helper : helpers) {
        TimerHashItemClass& slot = slots[helper.m_ulSpan % TimerDrvClass::kSlots];
        (helper.m_ulSpan < TimerDrvClass::kSlots ? slot.nearList : slot.farList).push_back(&helper);
    }
    const std::string name = "probe-timer";  // not running: the scan visits everything
    for (auto _ : state) {
        bool found = false;
        for (auto& slot : slots) {
            for (auto* list : {&slot.nearList, &slot.farList}) {
                for (TimerHelperClass* helper : *list) {
                    if (timerCompareName(helper, name)) {
                        found = true;
                    }
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
BENCHMARK(BM_SpecScan_NameCheckWithRunning)->Apply(RunningArgs);

}  // namespace

BENCHMARK_MAIN();
