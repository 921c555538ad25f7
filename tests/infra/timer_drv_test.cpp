#include "infra/timer_drv.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "infra/fdsa_flow_mon.h"
#include "platform/dplog.h"
#include "platform/fdsa.h"
#include "tests/support/log_capture.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

using chs_test::LogCapture;
using chs_test::WaitFor;
using Ticks = std::vector<uint64_t>;

// What a probe timer saw; shared with the probe so that it may outlive a test.
struct ProbeState {
    TimerDrvClass* drv = nullptr;  // for the tick a firing ran at
    std::atomic<int> runs{0};
    std::atomic<int> active{0};
    std::atomic<int> maxActive{0};
    std::atomic<bool> destroyed{false};
    std::atomic<bool> hold{false};  // the callback waits while set
    std::mutex mutex;
    Ticks firedAt;                                 // drv's current tick at each run
    std::vector<std::string> names;                // the fired copy's name at each run
    std::function<void(TimerHelperClass&)> onRun;  // called by each run when set

    Ticks Fired() {
        std::lock_guard<std::mutex> lock(mutex);
        return firedAt;
    }
};

class Probe : public TimerBaseClass {
  public:
    Probe(std::shared_ptr<ProbeState> state, bool oneShot)
        : TimerBaseClass(oneShot), m_state(std::move(state)) {}
    ~Probe() override { m_state->destroyed = true; }

    void OnTimer(TimerHelperClass& helper) override {
        ProbeState& s = *m_state;
        int now = ++s.active;
        for (int seen = s.maxActive.load(); now > seen && !s.maxActive.compare_exchange_weak(seen, now);) {
        }
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            if (s.drv != nullptr) {
                s.firedAt.push_back(s.drv->CurrentTick());
            }
            s.names.push_back(helper.m_strName);
        }
        ++s.runs;
        if (s.onRun) {
            s.onRun(helper);
        }
        while (s.hold.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        --s.active;
    }

  private:
    std::shared_ptr<ProbeState> m_state;
};

// Starts a probe timer on `drv` as TimerStart(callback, ...) would.
bool StartProbe(TimerDrvClass& drv, const std::shared_ptr<ProbeState>& state, const std::string& name,
                bool repeat, uint64_t ms) {
    auto* helper = new TimerHelperClass(new Probe(state, !repeat), name, repeat,
                                        static_cast<uint32_t>(ms / TimerDrvClass::kTickMs));
    if (drv.StartTimer(helper)) {
        return true;
    }
    helper->Stop();
    delete helper;
    return false;
}

std::shared_ptr<ProbeState> NewState(TimerDrvClass* drv = nullptr) {
    auto state = std::make_shared<ProbeState>();
    state->drv = drv;
    return state;
}

void Drain(TimerDrvClass& drv) {
    while (drv.RunOneReady()) {
    }
}

// Advances tick by tick, running what fires after each tick.
void Advance(TimerDrvClass& drv, uint64_t ticks) {
    for (uint64_t i = 0; i < ticks; ++i) {
        drv.TickTrigger(1);
        Drain(drv);
    }
}

void RecyclePass() {
    TimerHelperClass none(nullptr, "", false, 1);
    timer_recycle::RecycleTimer(none);
}

TEST(TimerStartChecks, RefusedStartsSayWhyAndLeaveTheRunningTimersAlone) {
    LogCapture log;
    TimerDrvClass drv;
    auto kept = NewState();
    ASSERT_TRUE(StartProbe(drv, kept, "same", true, 100));
    ASSERT_TRUE(StartProbe(drv, kept, "ten-ms", false, 10));                // the shortest span
    ASSERT_TRUE(StartProbe(drv, kept, "thirty-days", false, 2592000000u));  // the longest
    const struct {
        const char* name;
        uint64_t ms;
        const char* text;
    } refused[] = {
        {"five-ms", 5, "Failed to start timer because the loopspan(0) is invalid."},
        {"over-30-days", 2592000010u, "Failed to start timer because the loopspan(259200001) is invalid."},
        {"same", 5000, "Failed to start timer because the timer GetName does exist."},
    };
    for (const auto& r : refused) {
        EXPECT_FALSE(StartProbe(drv, NewState(), r.name, false, r.ms)) << r.name;
        EXPECT_TRUE(log.Contains(r.text)) << r.name;
    }
    EXPECT_FALSE(kept->destroyed);
    EXPECT_EQ(drv.TimerCount(), 3u);
    EXPECT_TRUE(drv.CheckIndex());

    EXPECT_FALSE(TimerStart(nullptr, "null-callback", false, 100));
    EXPECT_TRUE(log.Contains("Failed to start timer because the timer's callback is null."));
    EXPECT_FALSE(TimerStart(static_cast<TimerHelperClass*>(nullptr)));
    EXPECT_TRUE(log.Contains("Failed to start timer because the timer pointer is null."));
    // A refused prepared registration is destroyed with its timer object.
    auto state = NewState();
    EXPECT_FALSE(TimerStart(new TimerHelperClass(new Probe(state, true), "bad-span", false, 0)));
    EXPECT_TRUE(log.Contains("Failed to start timer bad-span"));
    EXPECT_TRUE(state->destroyed);
}

TEST(TimerStartChecks, The258thTimerIsRefused) {
    LogCapture log;
    TimerDrvClass drv;
    auto state = NewState();
    for (int i = 0; i < 257; ++i) {
        ASSERT_TRUE(StartProbe(drv, state, "t" + std::to_string(i), i % 2 == 0, 100 + 10 * i)) << i;
    }
    EXPECT_FALSE(StartProbe(drv, state, "t257", false, 100));
    EXPECT_TRUE(log.Contains("Failed to start timer because the total timer number(257) is over 256."));
    EXPECT_EQ(drv.TimerCount(), 257u);
    // A fired one-shot frees its place (t1: 110 ms; t0 is periodic).
    Advance(drv, 11);
    EXPECT_EQ(drv.TimerCount(), 256u);
    EXPECT_TRUE(StartProbe(drv, state, "t257", false, 100));
    EXPECT_TRUE(drv.CheckIndex());
}

// Every span fires exactly on time from any starting tick, including whole
// revolutions (1024, 2048 ticks): a "below 1024" test for the near list, or
// for the far list's last round, would fire those one revolution late.
TEST(TimerWheel, EverySpanFiresExactlyAtStartPlusSpan) {
    const std::pair<uint64_t, uint64_t> cases[] = {{0, 1},      {0, 1023},   {0, 1024},    {0, 1025},
                                                   {0, 1500},   {0, 2048},   {700, 1},     {700, 324},
                                                   {700, 1024}, {700, 1500}, {1023, 2049}, {5, 10000}};
    for (auto [startTick, span] : cases) {
        SCOPED_TRACE(std::to_string(startTick) + " + " + std::to_string(span));
        TimerDrvClass drv;
        drv.TickTrigger(startTick);
        auto state = NewState(&drv);
        ASSERT_TRUE(StartProbe(drv, state, "span", false, span * 10));
        drv.TickTrigger(span - 1);
        EXPECT_EQ(drv.ReadyLength(), 0u);
        drv.TickTrigger(1);
        EXPECT_EQ(drv.ReadyLength(), 1u);
        Drain(drv);
        EXPECT_EQ(state->firedAt, Ticks{startTick + span});
        EXPECT_TRUE(state->destroyed);  // a one-shot destroys itself after its run
        EXPECT_EQ(drv.TimerCount(), 0u);
    }
}

// Long timers of one slot (due tick = 100 mod 1024), started out of order and
// at different ticks, so that the delta list is built by inserts at its front,
// middle and end; stopping its front and a middle entry hands their
// revolutions on, so that the entries after them stay on time.
TEST(TimerWheel, FarListDeltaOrderingSurvivesInsertsAndStops) {
    TimerDrvClass drv;
    std::map<std::string, uint64_t> due;
    std::map<std::string, std::shared_ptr<ProbeState>> states;
    auto start = [&](const std::string& name, uint64_t dueTick) {
        states[name] = NewState(&drv);
        ASSERT_TRUE(StartProbe(drv, states[name], name, false, (dueTick - drv.CurrentTick()) * 10));
        due[name] = dueTick;
    };
    start("k3", 100 + 3 * 1024);
    start("k1", 100 + 1 * 1024);
    start("k5", 100 + 5 * 1024);
    Advance(drv, 37);
    start("k2", 100 + 2 * 1024);
    start("k4", 100 + 4 * 1024);
    start("k3b", 100 + 3 * 1024);  // same revolution as k3
    Advance(drv, 500);
    EXPECT_TRUE(drv.StopTimer("k1"));  // the front
    EXPECT_TRUE(drv.StopTimer("k4"));  // a middle entry
    EXPECT_TRUE(states["k4"]->destroyed);
    start("k6", 100 + 6 * 1024);
    start("near", 100 + 1024);  // a near-list entry of the same slot
    EXPECT_TRUE(drv.CheckIndex());
    Advance(drv, 100 + 6 * 1024 + 5 - drv.CurrentTick());
    for (const auto& [name, dueTick] : due) {
        EXPECT_EQ(states[name]->firedAt, name == "k1" || name == "k4" ? Ticks{} : Ticks{dueTick}) << name;
    }
    EXPECT_EQ(drv.TimerCount(), 0u);
}

TEST(TimerWheel, RandomStartsStopsAndFiringsStayExactAndIndexed) {
    TimerDrvClass drv;
    std::mt19937 rng(20240611);
    std::uniform_int_distribution<uint32_t> spanDist(1, 4200);
    struct Live {
        std::shared_ptr<ProbeState> state;
        uint64_t due;
        bool repeat;
        uint64_t span;
    };
    std::map<std::string, Live> live;
    int serial = 0;
    for (int step = 0; step < 3000; ++step) {
        uint32_t op = rng() % 10;
        if (op < 4 && drv.TimerCount() < 200) {
            std::string name = "r" + std::to_string(serial++ % 300);
            if (live.count(name) != 0) {
                continue;
            }
            uint64_t span = spanDist(rng);
            bool repeat = rng() % 4 == 0;
            auto state = NewState(&drv);
            ASSERT_TRUE(StartProbe(drv, state, name, repeat, span * 10));
            live[name] = {state, drv.CurrentTick() + span, repeat, span};
        } else if (op < 5 && !live.empty()) {
            auto it = live.begin();
            std::advance(it, rng() % live.size());
            ASSERT_TRUE(drv.StopTimer(it->first));
            live.erase(it);
        } else {
            Advance(drv, rng() % 300);
            uint64_t now = drv.CurrentTick();
            for (auto it = live.begin(); it != live.end();) {
                // Every expected firing up to now happened, exactly on its tick.
                const Live& t = it->second;
                Ticks want;
                for (uint64_t d = t.due; d <= now && (t.repeat || want.empty()); d += t.span) {
                    want.push_back(d);
                }
                ASSERT_EQ(t.state->Fired(), want) << it->first;
                it = !t.repeat && !want.empty() ? live.erase(it) : std::next(it);
            }
        }
        ASSERT_TRUE(drv.CheckIndex()) << "step " << step;
        ASSERT_EQ(drv.TimerCount(), live.size());
    }
}

// Advancing many ticks in one call skips runs of empty slots; every timer due
// within the advance must still fire in it, in the order of the ticks it was
// due at, and no other.
TEST(TimerWheel, AdvancesOfManyTicksFireEveryDueTimerInDueOrder) {
    TimerDrvClass drv;
    std::mt19937 rng(4711);
    std::uniform_int_distribution<uint32_t> spanDist(1, 5000);
    std::map<std::string, uint64_t> due;  // of the timers not fired yet
    std::map<std::string, std::shared_ptr<ProbeState>> states;
    std::vector<std::string> runOrder;
    int serial = 0;
    for (int round = 0; round < 60; ++round) {
        for (uint32_t n = rng() % 8; n > 0 && drv.TimerCount() < 250; --n) {
            std::string name = "b" + std::to_string(serial++);
            uint64_t span = rng() % 5 == 0 ? 1024 * (1 + rng() % 3) : spanDist(rng);
            auto state = NewState();
            state->onRun = [&runOrder](TimerHelperClass& helper) { runOrder.push_back(helper.m_strName); };
            ASSERT_TRUE(StartProbe(drv, state, name, false, span * 10));
            due[name] = drv.CurrentTick() + span;
            states[name] = state;
        }
        if (!due.empty() && rng() % 4 == 0) {
            auto it = due.begin();
            std::advance(it, rng() % due.size());
            ASSERT_TRUE(drv.StopTimer(it->first));
            due.erase(it);
        }
        drv.TickTrigger(1 + rng() % 3000);
        runOrder.clear();
        Drain(drv);
        std::set<std::string> expected;
        for (const auto& [name, dueTick] : due) {
            if (dueTick <= drv.CurrentTick()) {
                expected.insert(name);
            }
        }
        std::set<std::string> ran(runOrder.begin(), runOrder.end());
        EXPECT_EQ(ran, expected) << "round " << round;
        EXPECT_EQ(runOrder.size(), expected.size()) << "round " << round;
        for (size_t i = 1; ran == expected && i < runOrder.size(); ++i) {
            EXPECT_LE(due[runOrder[i - 1]], due[runOrder[i]])
                << runOrder[i - 1] << " ran before " << runOrder[i];
        }
        for (const std::string& name : expected) {
            due.erase(name);
        }
        ASSERT_TRUE(drv.CheckIndex()) << "round " << round;
        ASSERT_EQ(drv.TimerCount(), due.size());
    }
    for (const auto& [name, state] : states) {
        EXPECT_LE(state->runs, 1) << name;
    }
}

// One long advance and the same ticks one at a time fire the same timers in
// the same order and leave the same revolution counts behind: far entries of
// one slot (several revolutions apart, and periodic ones re-armed into it
// during the advance) fire on the same ticks afterwards.
TEST(TimerWheel, OneLongAdvanceLeavesTheCountsOfSingleTicks) {
    struct TimerCase {
        const char* name;
        uint64_t span;
        bool repeat;
    };
    const TimerCase cases[] = {
        {"s1", 200 + 1 * 1024, false}, {"s3", 200 + 3 * 1024, false}, {"s5", 100 + 5 * 1024, false},
        {"s6", 100 + 6 * 1024, false}, {"s7", 99 + 7 * 1024, false},  {"near", 300, false},
        // Re-armed into the slot of s5 (at tick 1074) while that is counted ahead.
        {"p1074", 1074, true},         {"p2048", 2048, true},
    };
    TimerDrvClass single;
    TimerDrvClass batch;
    std::vector<std::string> order[2];
    std::map<std::string, std::shared_ptr<ProbeState>> states[2];
    TimerDrvClass* drivers[2] = {&single, &batch};
    for (int d = 0; d < 2; ++d) {
        for (const TimerCase& tc : cases) {
            auto state = NewState(drivers[d]);
            std::vector<std::string>* runs = &order[d];
            state->onRun = [runs](TimerHelperClass& helper) { runs->push_back(helper.m_strName); };
            ASSERT_TRUE(StartProbe(*drivers[d], state, tc.name, tc.repeat, tc.span * 10));
            states[d][tc.name] = state;
        }
    }
    Advance(single, 3000);
    batch.TickTrigger(3000);
    Drain(batch);
    EXPECT_EQ(order[1], order[0]);
    ASSERT_TRUE(batch.CheckIndex());
    for (auto& [name, state] : states[1]) {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->firedAt.clear();
    }
    for (auto& [name, state] : states[0]) {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->firedAt.clear();
    }
    Advance(single, 6000);
    Advance(batch, 6000);
    for (const TimerCase& tc : cases) {
        EXPECT_EQ(states[1][tc.name]->firedAt, states[0][tc.name]->firedAt) << tc.name;
        EXPECT_EQ(states[1][tc.name]->firedAt.empty(), !tc.repeat && tc.span <= 3000) << tc.name;
    }
    EXPECT_EQ(states[0]["s7"]->firedAt, Ticks{99 + 7 * 1024});
}

// A tick with nothing due does not take the driver mutex; timers started from
// another thread meanwhile must neither be skipped nor fire early. A start
// that races with ticks counts from one of them: the starter may see the
// current tick a few ticks behind the clock (here the clock spins, without
// its 10 ms sleep). A skipped slot would show as a whole revolution late.
TEST(TimerWheel, TimersStartedWhileTheClockRunsFireOnTime) {
    TimerDrvClass drv;
    // The clock runs the firings itself, so a run sees the tick it fired at.
    std::atomic<bool> stop{false};
    std::thread clock([&] {
        while (!stop) {
            drv.TickTrigger(1);
            Drain(drv);
        }
    });
    struct Started {
        std::shared_ptr<ProbeState> state;
        uint64_t before, after, span;
        bool stopped;
    };
    constexpr uint64_t kRaceTicks = 64;
    std::vector<Started> started;
    std::mt19937 rng(99);
    const uint64_t spans[] = {1, 2, 3, 64, 1023, 1024, 1025, 2048};
    for (int i = 0; i < 240; ++i) {
        uint64_t span = i % 3 == 0 ? 1 + rng() % 3000 : spans[rng() % 8];
        auto state = NewState(&drv);
        std::string name = "c" + std::to_string(i);
        uint64_t before = drv.CurrentTick();
        EXPECT_TRUE(StartProbe(drv, state, name, false, span * 10));  // no ASSERT: the clock must be joined
        uint64_t after = drv.CurrentTick();
        bool stopped = i % 5 == 0 && drv.StopTimer(name);
        started.push_back({state, before, after, span, stopped});
        if (i % 16 == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    bool allRan = WaitFor(
        [&] {
            for (const Started& s : started) {
                if (!s.stopped && s.state->runs == 0) {
                    return false;
                }
            }
            return true;
        },
        20000);
    stop = true;
    clock.join();
    ASSERT_TRUE(allRan);
    for (size_t i = 0; i < started.size(); ++i) {
        const Started& s = started[i];
        Ticks fired = s.state->Fired();
        if (s.stopped) {
            EXPECT_TRUE(fired.empty()) << i;
            continue;
        }
        ASSERT_EQ(fired.size(), 1u) << i;
        EXPECT_GE(fired[0], s.before + s.span) << i << " span " << s.span;
        EXPECT_LE(fired[0], s.after + s.span + kRaceTicks) << i << " span " << s.span;
    }
    EXPECT_EQ(drv.TimerCount(), 0u);
    EXPECT_TRUE(drv.CheckIndex());
}

TEST(TimerFiring, PeriodicTimerWithTwoFiringsOutstandingIsBlocked) {
    LogCapture log;
    TimerDrvClass drv;
    auto state = NewState();
    ASSERT_TRUE(StartProbe(drv, state, "slow", true, 10));
    drv.TickTrigger(1);
    drv.TickTrigger(1);
    EXPECT_EQ(drv.ReadyLength(), 2u);  // two firings may be outstanding
    drv.TickTrigger(1);
    EXPECT_EQ(drv.ReadyLength(), 2u);
    EXPECT_TRUE(log.Contains("The running timer(slow) has been blocked, ignore this running."));
    Drain(drv);
    EXPECT_EQ(state->runs, 2);
    Advance(drv, 3);
    EXPECT_EQ(state->runs, 5);
    // Stopped with two firings outstanding: they do not run its callback, and
    // the recycler destroys it once they have ended.
    drv.TickTrigger(2);
    EXPECT_TRUE(drv.StopTimer("slow"));
    EXPECT_FALSE(state->destroyed);
    Drain(drv);
    EXPECT_EQ(state->runs, 5);
    RecyclePass();
    EXPECT_TRUE(state->destroyed);
}

// The periodic callback throws: that ends its run and nothing else.
TEST(TimerFiring, OneShotFiresOnceAndPeriodicEverySpanUntilStopped) {
    LogCapture log;
    TimerDrvClass drv;
    auto once = NewState(&drv);
    auto periodic = NewState(&drv);
    periodic->onRun = [](TimerHelperClass&) { throw std::runtime_error("callback failure"); };
    ASSERT_TRUE(StartProbe(drv, once, "once", false, 50));
    ASSERT_TRUE(StartProbe(drv, periodic, "tick30", true, 300));
    Advance(drv, 100);
    EXPECT_EQ(once->firedAt, Ticks{5});
    EXPECT_TRUE(once->destroyed);
    EXPECT_FALSE(drv.StopTimer("once"));
    EXPECT_EQ(periodic->firedAt, (Ticks{30, 60, 90}));
    EXPECT_EQ(drv.TimerCount(), 1u);
    // A fired one-shot's name is free again; a re-armed periodic keeps its own.
    EXPECT_TRUE(StartProbe(drv, NewState(), "once", false, 20000));
    EXPECT_TRUE(drv.StopTimer("once"));
    EXPECT_FALSE(StartProbe(drv, NewState(), "tick30", false, 10));
    EXPECT_TRUE(drv.CheckIndex());
    EXPECT_TRUE(drv.StopTimer("tick30"));
    EXPECT_TRUE(log.Contains("Succeded in Stop timer tick30."));
    EXPECT_TRUE(periodic->destroyed);  // idle: destroyed at once
    Advance(drv, 3000);
    EXPECT_EQ(once->runs, 1);
    EXPECT_EQ(periodic->runs, 3);
    EXPECT_FALSE(drv.StopTimer("tick30"));
    EXPECT_EQ(drv.TimerCount(), 0u);
}

// The ready queue reuses its copies, ring-wise: every run must see its own
// timer's name, short or long, however often the ring has gone round.
TEST(TimerFiring, EachRunSeesItsOwnTimersNameThroughTheReadyQueue) {
    TimerDrvClass drv;
    const std::vector<std::pair<std::string, uint64_t>> timers = {
        {"a", 1}, {std::string(100, 'L'), 1}, {"mid-length-name", 2}, {std::string(40, 'x') + "-tail", 3}};
    std::vector<std::shared_ptr<ProbeState>> states;
    for (const auto& [name, span] : timers) {
        states.push_back(NewState(&drv));
        ASSERT_TRUE(StartProbe(drv, states.back(), name, true, span * 10));
    }
    Advance(drv, 1200);  // some 2600 firings through a ring of 1025
    for (size_t i = 0; i < timers.size(); ++i) {
        EXPECT_EQ(states[i]->runs, static_cast<int>(1200 / timers[i].second)) << timers[i].first;
        EXPECT_EQ(states[i]->names, std::vector<std::string>(states[i]->names.size(), timers[i].first));
        EXPECT_TRUE(drv.StopTimer(timers[i].first));
    }
}

// A callback may stop its own timer: through its fired copy (which holds the
// same object; the timer may then be stopped by name as well) or by name. The
// object is still running then, so the recycler destroys it, once.
TEST(TimerFiring, CallbackMayStopItsOwnTimer) {
    for (bool byName : {false, true}) {
        SCOPED_TRACE(byName ? "by name" : "through the copy");
        TimerDrvClass drv;
        auto state = NewState(&drv);
        state->onRun = [&drv, byName](TimerHelperClass& copy) {
            if (byName) {
                drv.StopTimer("self");
            } else {
                copy.Stop();
            }
        };
        ASSERT_TRUE(StartProbe(drv, state, "self", true, 100));
        Advance(drv, 10);
        EXPECT_EQ(state->runs, 1);
        EXPECT_FALSE(state->destroyed);
        EXPECT_EQ(drv.StopTimer("self"), !byName);
        EXPECT_FALSE(state->destroyed);
        EXPECT_EQ(drv.TimerCount(), 0u);
        RecyclePass();
        EXPECT_TRUE(state->destroyed);
        RecyclePass();  // a second delete would show under the address sanitizer
        Advance(drv, 30);
        EXPECT_EQ(state->runs, 1);
    }
}

// Two workers take the two outstanding firings of one periodic timer: its
// callback still runs one at a time.
TEST(TimerFiring, TwoWorkersNeverRunOneTimerAtOnce) {
    TimerDrvClass drv;
    auto state = NewState();
    state->hold = true;
    ASSERT_TRUE(StartProbe(drv, state, "slow", true, 10));
    drv.TickTrigger(1);
    drv.TickTrigger(1);
    ASSERT_EQ(drv.ReadyLength(), 2u);
    std::thread first([&] { drv.RunOneReady(); });
    std::thread second([&] { drv.RunOneReady(); });
    EXPECT_TRUE(WaitFor([&] { return state->runs.load() == 1 && drv.ReadyLength() == 0; }, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // room for a second run that must wait
    EXPECT_EQ(state->runs, 1);
    state->hold = false;
    first.join();
    second.join();
    EXPECT_EQ(state->runs, 2);
    EXPECT_EQ(state->maxActive, 1);
}

TEST(TimerStop, StopWhileTheCallbackRunsHandsTheObjectToTheRecycler) {
    // What Init does, on a private driver: the periodic recycle timer (1 s).
    TimerDrvClass drv;
    ASSERT_TRUE(drv.StartTimer(new TimerHelperClass(new TimerWapperClass(timer_recycle::RecycleTimer, false),
                                                    TimerDrvClass::kRecycleTimerName, true, 100)));
    auto state = NewState();
    state->hold = true;
    ASSERT_TRUE(StartProbe(drv, state, "busy", true, 10));
    drv.TickTrigger(1);
    std::thread worker([&] { drv.RunOneReady(); });
    ASSERT_TRUE(WaitFor([&] { return state->runs.load() == 1; }, 5000));

    size_t pendingBefore = timer_recycle::PendingCount();
    EXPECT_TRUE(drv.StopTimer("busy"));
    EXPECT_FALSE(state->destroyed);
    EXPECT_GE(timer_recycle::PendingCount(), pendingBefore + 1);
    RecyclePass();  // still running: must survive a recycle pass
    EXPECT_FALSE(state->destroyed);

    state->hold = false;
    worker.join();
    Advance(drv, 99);  // the recycle timer fires at tick 100
    EXPECT_EQ(state->runs, 1);
    EXPECT_EQ(drv.TimerCount(), 1u);  // the recycle timer only
    EXPECT_TRUE(state->destroyed);
}

TEST(TimerStop, DestroyingAPrivateDriverStopsWhatIsLeft) {
    auto periodic = NewState();
    auto once = NewState();
    auto queued = NewState();
    {
        TimerDrvClass drv;
        ASSERT_TRUE(StartProbe(drv, periodic, "p", true, 5000));
        ASSERT_TRUE(StartProbe(drv, once, "o", false, 50000));
        ASSERT_TRUE(StartProbe(drv, queued, "q", false, 10));
        drv.TickTrigger(1);
        EXPECT_EQ(drv.ReadyLength(), 1u);
    }
    EXPECT_TRUE(periodic->destroyed);
    EXPECT_TRUE(once->destroyed);
    EXPECT_TRUE(queued->destroyed);
    EXPECT_EQ(queued->runs, 0);
}

// The wheel counts the monotonic time between passes, a long one included;
// the wall clock only tells a jump.
TEST(TimerClock, PassesCountTicksWithTheRemainderAndAJumpIsOneTick) {
    TimerDrvClass drv;
    unsigned long last = TimerDrvClass::Now();
    TimerDrvClass::Sleep(1150);  // a long pass is not a jump
    drv.TimeEvent(last);
    uint64_t ticks = drv.TotalTicks();
    EXPECT_GE(ticks, 115u);
    EXPECT_LT(ticks, 400u);  // a slow machine may add some, a jump would count one
    EXPECT_EQ(drv.CurrentTick(), ticks);

    // A jump of a second or more, forward or backward: exactly one tick.
    last = TimerDrvClass::Now() - 5000;
    drv.TimeEvent(last);
    EXPECT_EQ(drv.TotalTicks(), ticks + 1);
    EXPECT_EQ(drv.CurrentTick(), ticks + 1);
    EXPECT_LE(TimerDrvClass::Now() - last, 1000u);  // and `last` follows the clock
    last = TimerDrvClass::Now() + 3600 * 1000;
    drv.TimeEvent(last);
    EXPECT_EQ(drv.TotalTicks(), ticks + 2);
    EXPECT_EQ(drv.CurrentTick(), ticks + 2);

    // A 20 ms timer is not fired early by a jump.
    auto state = NewState();
    ASSERT_TRUE(StartProbe(drv, state, "j", false, 20));
    last = TimerDrvClass::Now() - 7200 * 1000;
    drv.TimeEvent(last);
    EXPECT_EQ(drv.ReadyLength(), 0u);
    last = TimerDrvClass::Now() + 1000;
    drv.TimeEvent(last);
    EXPECT_EQ(drv.ReadyLength(), 1u);
    Drain(drv);
}

// A clock thread sleeps until the next timer is due. A start due earlier
// wakes it; a start due later counts from its own start, not from the last
// pass. With the recycle timer stopped the wheel is empty: the clock sleeps
// until a start.
TEST(TimerClock, TheClockSleepsUntilDueAndTimersCountFromTheirStart) {
    auto* drv = new TimerDrvClass();  // never destroyed: its threads run on
    ASSERT_TRUE(drv->Init(1));
    ASSERT_TRUE(drv->StopTimer(TimerDrvClass::kRecycleTimerName));
    TimerDrvClass::Sleep(100);  // the clock is asleep now
    auto state = NewState();
    std::map<std::string, uint64_t> ranAt;
    state->onRun = [&ranAt](TimerHelperClass& helper) { ranAt[helper.m_strName] = TimerDrvClass::AbsMilliSecond(); };
    uint64_t start = TimerDrvClass::AbsMilliSecond();
    ASSERT_TRUE(StartProbe(*drv, state, "wake", false, 50));
    ASSERT_TRUE(WaitFor([&] { return state->runs == 1; }, 5000));
    EXPECT_GE(ranAt["wake"] - start, 40u);  // spans count in whole ticks from the current one

    // A at 1000 ms and C at 1300 ms; B, started at 600 ms with 500 ms, is due
    // at 1100 ms. Counted from A's pass it would run after C.
    start = TimerDrvClass::AbsMilliSecond();
    ASSERT_TRUE(StartProbe(*drv, state, "A", false, 1000));
    ASSERT_TRUE(StartProbe(*drv, state, "C", false, 1300));
    TimerDrvClass::Sleep(600);
    ASSERT_TRUE(StartProbe(*drv, state, "B", false, 500));
    ASSERT_TRUE(WaitFor([&] { return state->runs == 4; }, 10000));
    EXPECT_EQ(state->names, (std::vector<std::string>{"wake", "A", "B", "C"}));
    EXPECT_GE(ranAt["A"] - start, 990u);
    EXPECT_GE(ranAt["B"] - start, 1090u);
}

TEST(TimerClock, SleepWaitsAboutTheTime) {
    uint64_t start = TimerDrvClass::AbsMilliSecond();
    TimerDrvClass::Sleep(30);
    uint64_t waited = TimerDrvClass::AbsMilliSecond() - start;
    EXPECT_GE(waited, 29u);
    EXPECT_LT(waited, 1000u);
    EXPECT_GT(TimerDrvClass::Now(), 1600000000000ull);  // ms since the epoch
}

TEST(FdsaFlowMon, StartKeepsTheHandleAndEndClosesIt) {
    FDSA_FLOW_HANDLE handle;
    {
        FdsaFlowMonClass mon(550, 2, {1, 3600});
        mon.Start();
        handle = mon.Handle();
        EXPECT_NE(handle, 0u);
        mon.End();
        EXPECT_EQ(mon.Handle(), 0u);
        EXPECT_EQ(FDSA_FlowMonitorEndSub(handle), -1);  // already closed
        mon.Start();
        handle = mon.Handle();
    }
    EXPECT_EQ(FDSA_FlowMonitorEndSub(handle), -1);  // the destructor closed it
}

TEST(FdsaTest, WarnsOncePerLimitForAnOpenBracketOnly) {
    chs_test::TempDir dir;
    ASSERT_TRUE(platform::LogOpen(dir.Join("fdsa.log")));
    dpax_log_level_set(550, 7);

    FDSA_FLOW_PARA_S para{2, 1};
    FDSA_FLOW_HANDLE slow = FDSA_FlowMonitorStartSub(550, 4, &para, 0);
    FDSA_FLOW_HANDLE quick = FDSA_FlowMonitorStartSub(550, 2, &para, 0);
    ASSERT_NE(slow, 0u);
    ASSERT_NE(quick, 0u);
    EXPECT_EQ(FDSA_FlowMonitorEndSub(quick), 0);
    EXPECT_EQ(FDSA_FlowMonitorEndSub(quick), -1) << "a handle ends once";

    EXPECT_EQ(platform::FdsaCheckFlows(), 0u) << "nothing is over its limit yet";
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_EQ(platform::FdsaCheckFlows(), 1u);
    EXPECT_EQ(platform::FdsaCheckFlows(), 0u) << "one warning per limit passed";
    EXPECT_NE(chs_test::ReadText(dir.Join("fdsa.log")).find("type 4"), std::string::npos);
    EXPECT_EQ(FDSA_FlowMonitorEndSub(slow), 0);
    EXPECT_EQ(platform::FdsaOpenFlows(), 0u);
    platform::LogClose();
}

// Places of ended brackets are reused; the handles of the ended brackets must
// not reach the brackets that reuse them.
TEST(FdsaTest, StaleHandlesAreRefusedAfterTheirPlaceIsReused) {
    FDSA_FLOW_PARA_S para{1, 3600};
    uint32_t openBefore = platform::FdsaOpenFlows();
    FDSA_FLOW_HANDLE first = FDSA_FlowMonitorStartSub(550, 2, &para, 0);
    ASSERT_NE(first, 0u);
    ASSERT_EQ(FDSA_FlowMonitorEndSub(first), 0);
    std::set<FDSA_FLOW_HANDLE> seen{first};
    FDSA_FLOW_HANDLE current = 0;
    for (int i = 0; i < 5; ++i) {
        current = FDSA_FlowMonitorStartSub(550, 2, &para, 0);
        ASSERT_NE(current, 0u);
        EXPECT_TRUE(seen.insert(current).second) << "a handle is never handed out twice";
        EXPECT_EQ(FDSA_FlowMonitorEndSub(first), -1);
        EXPECT_EQ(platform::FdsaOpenFlows(), openBefore + 1) << "a stale end closed the bracket in its place";
        if (i < 4) {
            ASSERT_EQ(FDSA_FlowMonitorEndSub(current), 0);
            first = current;
        }
    }
    EXPECT_EQ(FDSA_FlowMonitorEndSub(0), -1);
    EXPECT_EQ(FDSA_FlowMonitorEndSub(current + 1000), -1) << "no such place";
    EXPECT_EQ(FDSA_FlowMonitorEndSub(current ^ (uint64_t{1} << 40)), -1) << "wrong generation";
    EXPECT_EQ(FDSA_FlowMonitorEndSub(current), 0);
    EXPECT_EQ(platform::FdsaOpenFlows(), openBefore);
}

// More brackets open at once than the table first holds, from several
// threads: every one gets its own handle, the agent's limit holds, and each
// ends exactly once.
TEST(FdsaTest, ManyOpenBracketsFromSeveralThreads) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 150;
    ASSERT_EQ(FDSA_AgentInitSub(779), 0);
    ASSERT_EQ(FDSA_AgentMonitorInitSub(779, kThreads * kPerThread, 60), 0);
    FDSA_FLOW_PARA_S para{1, 3600};
    uint32_t openBefore = platform::FdsaOpenFlows();
    std::vector<std::vector<FDSA_FLOW_HANDLE>> handles(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&handles, &para, t] {
            for (int round = 0; round < 20; ++round) {
                // Open and close some to churn the free places, keep the rest.
                FDSA_FLOW_HANDLE churn = FDSA_FlowMonitorStartSub(779, 1, &para, 0);
                FDSA_FlowMonitorEndSub(churn);
            }
            for (int i = 0; i < kPerThread; ++i) {
                handles[t].push_back(FDSA_FlowMonitorStartSub(779, 1, &para, 0));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::set<FDSA_FLOW_HANDLE> distinct;
    for (const auto& list : handles) {
        for (FDSA_FLOW_HANDLE handle : list) {
            EXPECT_NE(handle, 0u);
            distinct.insert(handle);
        }
    }
    EXPECT_EQ(distinct.size(), static_cast<size_t>(kThreads * kPerThread));
    EXPECT_EQ(platform::FdsaOpenFlows(), openBefore + kThreads * kPerThread);
    EXPECT_EQ(FDSA_FlowMonitorStartSub(779, 1, &para, 0), 0u) << "the agent's limit counts every open bracket";
    EXPECT_EQ(FDSA_FlowMonitorStartSub(779, 1, nullptr, 0), 0u);
    EXPECT_NE(FDSA_AgentMonitorInitSub(778, 2, 60), 0) << "no agent for that module";
    // An ended bracket frees its place.
    ASSERT_EQ(FDSA_FlowMonitorEndSub(*distinct.begin()), 0);
    FDSA_FLOW_HANDLE again = FDSA_FlowMonitorStartSub(779, 1, &para, 0);
    EXPECT_NE(again, 0u);
    distinct.erase(distinct.begin());
    distinct.insert(again);
    for (FDSA_FLOW_HANDLE handle : distinct) {
        EXPECT_EQ(FDSA_FlowMonitorEndSub(handle), 0);
        EXPECT_EQ(FDSA_FlowMonitorEndSub(handle), -1);
    }
    EXPECT_EQ(platform::FdsaOpenFlows(), openBefore);
}

}  // namespace
