#include "infra/timer_drv.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "infra/fdsa_flow_mon.h"
#include "tests/support/log_capture.h"

namespace {

using chs_test::LogCapture;

// What a probe timer saw; shared with the probe so that it may outlive a test.
struct ProbeState {
    TimerDrvClass* drv = nullptr;       // for the tick a firing ran at
    std::atomic<int> runs{0};
    std::atomic<int> active{0};
    std::atomic<int> maxActive{0};
    std::atomic<bool> destroyed{false};
    std::atomic<bool> entered{false};  // the callback has started
    std::atomic<bool> hold{false};     // the callback waits while set
    int sleepMs = 0;
    std::string stopName;              // the callback stops this timer of drv
    std::mutex mutex;
    std::vector<uint64_t> firedAt;     // drv's current tick at each run
    std::vector<std::string> names;    // the fired copy's name at each run
    std::function<void(TimerHelperClass&)> onRun;  // called by each run when set
};

class Probe : public TimerBaseClass {
public:
    Probe(std::shared_ptr<ProbeState> state, bool oneShot) : TimerBaseClass(oneShot), m_state(std::move(state)) {}
    ~Probe() override { m_state->destroyed = true; }

    void OnTimer(TimerHelperClass& helper) override {
        ProbeState& s = *m_state;
        int now = ++s.active;
        int seen = s.maxActive.load();
        while (now > seen && !s.maxActive.compare_exchange_weak(seen, now)) {
        }
        ++s.runs;
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            if (s.drv != nullptr) {
                s.firedAt.push_back(s.drv->CurrentTick());
            }
            s.names.push_back(helper.m_strName);
        }
        if (s.onRun) {
            s.onRun(helper);
        }
        s.entered = true;
        while (s.hold.load()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (s.sleepMs > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(s.sleepMs));
        }
        if (!s.stopName.empty() && s.drv != nullptr) {
            s.drv->StopTimer(s.stopName);
        }
        --s.active;
    }

private:
    std::shared_ptr<ProbeState> m_state;
};

// Starts a probe timer on `drv` as TimerStart(callback, ...) would.
bool StartProbe(TimerDrvClass& drv, const std::shared_ptr<ProbeState>& state, const std::string& name, bool repeat,
                unsigned int ms) {
    auto* helper = new TimerHelperClass(new Probe(state, !repeat), name, repeat, ms / TimerDrvClass::kTickMs);
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

void Noop(TimerHelperClass&) {}

template <typename Pred>
bool WaitFor(Pred pred, int timeoutMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (pred()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return pred();
}

// ---------------------------------------------------------------------------
// Starting: checks and their texts

TEST(TimerStartChecks, SpanLimitsUseTheLoopspanText) {
    LogCapture log;
    TimerDrvClass drv;
    auto state = NewState();
    EXPECT_FALSE(StartProbe(drv, state, "five-ms", false, 5));
    EXPECT_TRUE(log.Contains("Failed to start timer because the loopspan(0) is invalid."));
    EXPECT_FALSE(StartProbe(drv, state, "over-30-days", false, 2592000010u));
    EXPECT_TRUE(log.Contains("Failed to start timer because the loopspan(259200001) is invalid."));
    EXPECT_TRUE(StartProbe(drv, state, "ten-ms", false, 10));
    EXPECT_TRUE(StartProbe(drv, state, "thirty-days", false, 2592000000u));
    EXPECT_EQ(drv.TimerCount(), 2u);
    EXPECT_TRUE(drv.CheckIndex());
}

TEST(TimerStartChecks, FreeTimerStartReportsAndCleansUp) {
    LogCapture log;
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

TEST(TimerStartChecks, DuplicateNameUsesTheGetNameText) {
    LogCapture log;
    TimerDrvClass drv;
    auto first = NewState();
    auto second = NewState();
    ASSERT_TRUE(StartProbe(drv, first, "same", true, 100));
    EXPECT_FALSE(StartProbe(drv, second, "same", false, 5000));
    EXPECT_TRUE(log.Contains("Failed to start timer because the timer GetName does exist."));
    EXPECT_TRUE(second->destroyed);
    EXPECT_FALSE(first->destroyed);
    EXPECT_EQ(drv.TimerCount(), 1u);
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

// ---------------------------------------------------------------------------
// The wheel

TEST(TimerWheel, FifteenSecondTimerFiresAfterExactly1500Ticks) {
    TimerDrvClass drv;
    auto state = NewState(&drv);
    ASSERT_TRUE(StartProbe(drv, state, "far", false, 15000));
    drv.TickTrigger(1499);
    EXPECT_EQ(drv.ReadyLength(), 0u);
    EXPECT_EQ(state->runs, 0);
    drv.TickTrigger(1);
    EXPECT_EQ(drv.ReadyLength(), 1u);
    Drain(drv);
    EXPECT_EQ(state->runs, 1);
    ASSERT_EQ(state->firedAt.size(), 1u);
    EXPECT_EQ(state->firedAt[0], 1500u);
    EXPECT_TRUE(state->destroyed);  // a one-shot destroys itself after its run
    EXPECT_EQ(drv.TimerCount(), 0u);
}

// Every span fires exactly on time from any starting tick, including whole
// revolutions (1024, 2048 ticks): a "below 1024" test for the near list, or
// for the far list's last round, would fire those one revolution late.
class TimerSpanTest : public ::testing::TestWithParam<std::pair<uint64_t, uint64_t>> {};

TEST_P(TimerSpanTest, FiresExactlyAtStartPlusSpan) {
    auto [startTick, spanTicks] = GetParam();
    TimerDrvClass drv;
    drv.TickTrigger(startTick);
    auto state = NewState(&drv);
    ASSERT_TRUE(StartProbe(drv, state, "span", false, static_cast<unsigned int>(spanTicks * 10)));
    drv.TickTrigger(spanTicks - 1);
    EXPECT_EQ(drv.ReadyLength(), 0u);
    drv.TickTrigger(1);
    EXPECT_EQ(drv.ReadyLength(), 1u);
    Drain(drv);
    ASSERT_EQ(state->firedAt.size(), 1u);
    EXPECT_EQ(state->firedAt[0], startTick + spanTicks);
}

INSTANTIATE_TEST_SUITE_P(Spans, TimerSpanTest,
                         ::testing::Values(std::make_pair(0, 1), std::make_pair(0, 1023), std::make_pair(0, 1024),
                                           std::make_pair(0, 1025), std::make_pair(0, 2048),
                                           std::make_pair(700, 1), std::make_pair(700, 324),
                                           std::make_pair(700, 1024), std::make_pair(700, 1500),
                                           std::make_pair(1023, 2049), std::make_pair(5, 10000)));

TEST(TimerWheel, FarListDeltaOrderingWithSeveralLongTimers) {
    TimerDrvClass drv;
    // All in one slot (due tick = 100 mod 1024), started out of order and at
    // different ticks, so the delta list is built by inserts at the front,
    // middle and end.
    std::map<std::string, uint64_t> due;
    std::map<std::string, std::shared_ptr<ProbeState>> states;
    auto start = [&](const std::string& name, uint64_t dueTick) {
        uint64_t now = drv.CurrentTick();
        states[name] = NewState(&drv);
        ASSERT_TRUE(StartProbe(drv, states[name], name, false, static_cast<unsigned int>((dueTick - now) * 10)));
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
    start("k6", 100 + 6 * 1024);
    start("near", 100 + 1024);  // a near-list entry of the same slot, due with k1
    EXPECT_TRUE(drv.CheckIndex());
    Advance(drv, 100 + 6 * 1024 + 5 - drv.CurrentTick());
    for (const auto& [name, dueTick] : due) {
        ASSERT_EQ(states[name]->firedAt.size(), 1u) << name;
        EXPECT_EQ(states[name]->firedAt[0], dueTick) << name;
    }
    EXPECT_EQ(drv.TimerCount(), 0u);
}

TEST(TimerWheel, StoppingAMiddleFarEntryKeepsLaterEntriesOnTime) {
    TimerDrvClass drv;
    auto a = NewState(&drv);
    auto b = NewState(&drv);
    auto c = NewState(&drv);
    ASSERT_TRUE(StartProbe(drv, a, "a", false, (200 + 1024) * 10));
    ASSERT_TRUE(StartProbe(drv, b, "b", false, (200 + 3 * 1024) * 10));
    ASSERT_TRUE(StartProbe(drv, c, "c", false, (200 + 5 * 1024) * 10));
    Advance(drv, 300);
    EXPECT_TRUE(drv.StopTimer("b"));
    EXPECT_TRUE(drv.StopTimer("a"));  // the front entry too
    EXPECT_TRUE(b->destroyed);
    Advance(drv, 200 + 5 * 1024 + 1 - 300);
    EXPECT_TRUE(a->firedAt.empty());
    EXPECT_TRUE(b->firedAt.empty());
    ASSERT_EQ(c->firedAt.size(), 1u);
    EXPECT_EQ(c->firedAt[0], 200u + 5 * 1024);
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
    std::vector<std::pair<std::shared_ptr<ProbeState>, std::vector<uint64_t>>> expected;  // stopped/fired
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
            ASSERT_TRUE(StartProbe(drv, state, name, repeat, static_cast<unsigned int>(span * 10)));
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
                Live& t = it->second;
                // Every expected firing up to now happened, exactly on its tick.
                std::vector<uint64_t> want;
                uint64_t first = t.due;
                for (uint64_t d = first; d <= now; d += t.span) {
                    want.push_back(d);
                    if (!t.repeat) {
                        break;
                    }
                }
                std::vector<uint64_t> got;
                {
                    std::lock_guard<std::mutex> lock(t.state->mutex);
                    got = t.state->firedAt;
                }
                ASSERT_EQ(got, want) << it->first;
                if (!t.repeat && !want.empty()) {
                    it = live.erase(it);
                } else {
                    ++it;
                }
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
            ASSERT_TRUE(StartProbe(drv, state, name, false, static_cast<unsigned int>(span * 10)));
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
        uint64_t now = drv.CurrentTick();
        std::set<std::string> expected;
        for (const auto& [name, dueTick] : due) {
            if (dueTick <= now) {
                expected.insert(name);
            }
        }
        std::set<std::string> ran(runOrder.begin(), runOrder.end());
        EXPECT_EQ(ran, expected) << "round " << round;
        EXPECT_EQ(runOrder.size(), expected.size()) << "round " << round;
        for (size_t i = 1; ran == expected && i < runOrder.size(); ++i) {
            EXPECT_LE(due[runOrder[i - 1]], due[runOrder[i]]) << runOrder[i - 1] << " ran before " << runOrder[i];
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

// A tick with nothing due does not take the driver mutex; timers started from
// another thread meanwhile must neither be skipped nor fire early. A start
// that races with ticks counts from one of them: the starter may see the
// current tick a few ticks behind the clock (here the clock spins, without
// its 10 ms sleep). A skipped slot would show as a whole revolution late.
TEST(TimerWheel, TimersStartedWhileTheClockRunsFireOnTime) {
    TimerDrvClass drv;
    // The clock runs the firings itself, so a run sees the tick it fired at.
    struct Clock {
        explicit Clock(TimerDrvClass& drv)
            : thread([this, &drv] {
                  while (!stop) {
                      drv.TickTrigger(1);
                      Drain(drv);
                  }
              }) {}
        ~Clock() { Stop(); }
        void Stop() {
            stop = true;
            if (thread.joinable()) {
                thread.join();
            }
        }
        std::atomic<bool> stop{false};
        std::thread thread;
    } clock(drv);
    struct Started {
        std::shared_ptr<ProbeState> state;
        uint64_t before;
        uint64_t after;
        uint64_t span;
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
        ASSERT_TRUE(StartProbe(drv, state, name, false, static_cast<unsigned int>(span * 10)));
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
    clock.Stop();
    ASSERT_TRUE(allRan);
    for (size_t i = 0; i < started.size(); ++i) {
        const Started& s = started[i];
        std::lock_guard<std::mutex> lock(s.state->mutex);
        if (s.stopped) {
            EXPECT_TRUE(s.state->firedAt.empty()) << i;
            continue;
        }
        ASSERT_EQ(s.state->firedAt.size(), 1u) << i;
        EXPECT_GE(s.state->firedAt[0], s.before + s.span) << i << " span " << s.span;
        EXPECT_LE(s.state->firedAt[0], s.after + s.span + kRaceTicks) << i << " span " << s.span;
    }
    EXPECT_EQ(drv.TimerCount(), 0u);
    EXPECT_TRUE(drv.CheckIndex());
}

// ---------------------------------------------------------------------------
// Firing: blocked firings, one-shots, concurrency

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
    EXPECT_TRUE(drv.StopTimer("slow"));
    EXPECT_TRUE(state->destroyed);
}

TEST(TimerFiring, SlowPeriodicCallbackNeverRunsConcurrently) {
    LogCapture log;
    TimerDrvClass drv;
    auto state = NewState();
    state->sleepMs = 20;  // the period is 10 ms
    ASSERT_TRUE(StartProbe(drv, state, "slow", true, 10));
    std::atomic<bool> stop{false};
    std::vector<std::thread> workers;
    for (int i = 0; i < 3; ++i) {
        workers.emplace_back([&] {
            while (!stop) {
                if (!drv.RunOneReady()) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            }
        });
    }
    for (int i = 0; i < 20; ++i) {
        drv.TickTrigger(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(drv.StopTimer("slow"));
    stop = true;
    for (auto& worker : workers) {
        worker.join();
    }
    EXPECT_EQ(state->maxActive, 1);
    EXPECT_GT(state->runs, 0);
    // Firings outstanding at the stop do not run the callback.
    int runs = state->runs;
    Drain(drv);
    EXPECT_EQ(state->runs, runs);
    TimerHelperClass none(nullptr, "", false, 1);
    timer_recycle::RecycleTimer(none);
    EXPECT_TRUE(state->destroyed);
    EXPECT_TRUE(log.Contains("has been blocked"));
}

TEST(TimerFiring, OneShotFiresOnceAndDestroysItself) {
    TimerDrvClass drv;
    auto state = NewState(&drv);
    ASSERT_TRUE(StartProbe(drv, state, "once", false, 50));
    Advance(drv, 4);
    EXPECT_EQ(state->runs, 0);
    Advance(drv, 1);
    EXPECT_EQ(state->runs, 1);
    EXPECT_TRUE(state->destroyed);
    Advance(drv, 3000);
    EXPECT_EQ(state->runs, 1);
    EXPECT_FALSE(drv.StopTimer("once"));
    EXPECT_EQ(drv.TimerCount(), 0u);
}

TEST(TimerFiring, PeriodicTimerFiresEverySpan) {
    TimerDrvClass drv;
    auto state = NewState(&drv);
    ASSERT_TRUE(StartProbe(drv, state, "tick30", true, 300));
    Advance(drv, 100);
    EXPECT_EQ(state->firedAt, (std::vector<uint64_t>{30, 60, 90}));
    EXPECT_EQ(drv.TimerCount(), 1u);
    EXPECT_TRUE(drv.StopTimer("tick30"));
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
        ASSERT_TRUE(StartProbe(drv, states.back(), name, true, static_cast<unsigned int>(span * 10)));
    }
    Advance(drv, 1200);  // some 2600 firings through a ring of 1025
    for (size_t i = 0; i < timers.size(); ++i) {
        EXPECT_EQ(states[i]->runs, static_cast<int>(1200 / timers[i].second)) << timers[i].first;
        for (const std::string& seen : states[i]->names) {
            ASSERT_EQ(seen, timers[i].first);
        }
        EXPECT_TRUE(drv.StopTimer(timers[i].first));
    }
}

// A callback may stop its fired copy (which holds the same object) and the
// timer may then be stopped by name as well: the object goes once.
TEST(TimerFiring, ObjectStoppedThroughItsCopyAndByNameIsDestroyedOnce) {
    TimerDrvClass drv;
    auto state = NewState();
    state->onRun = [](TimerHelperClass& copy) { copy.Stop(); };
    ASSERT_TRUE(StartProbe(drv, state, "twice", true, 1000));
    Advance(drv, 100);
    EXPECT_EQ(state->runs, 1);
    EXPECT_FALSE(state->destroyed);  // stopped while its callback ran: the recycler's
    EXPECT_TRUE(drv.StopTimer("twice"));
    EXPECT_FALSE(state->destroyed);
    TimerHelperClass none(nullptr, "", false, 1);
    timer_recycle::RecycleTimer(none);
    EXPECT_TRUE(state->destroyed);
    timer_recycle::RecycleTimer(none);  // a second delete would show under the address sanitizer
}

TEST(TimerFiring, ACallbackThatThrowsDoesNotStopItsTimer) {
    TimerDrvClass drv;
    static std::atomic<int> calls{0};
    calls = 0;
    auto* helper = new TimerHelperClass(
        new TimerWapperClass(
            [](TimerHelperClass&) {
                ++calls;
                throw std::runtime_error("callback failure");
            },
            false),
        "throws", true, 1);
    ASSERT_TRUE(drv.StartTimer(helper));
    Advance(drv, 3);
    EXPECT_EQ(calls, 3);
    EXPECT_TRUE(drv.StopTimer("throws"));
}

// ---------------------------------------------------------------------------
// Stopping and recycling

TEST(TimerStop, StopOfARunningTimerReturnsTrueAndItsCallbackStops) {
    LogCapture log;
    TimerDrvClass drv;
    auto state = NewState();
    ASSERT_TRUE(StartProbe(drv, state, "periodic", true, 10));
    Advance(drv, 3);
    EXPECT_EQ(state->runs, 3);
    EXPECT_TRUE(drv.StopTimer("periodic"));
    EXPECT_TRUE(log.Contains("Succeded in Stop timer periodic."));
    EXPECT_TRUE(state->destroyed);  // idle: destroyed at once
    Advance(drv, 20);
    EXPECT_EQ(state->runs, 3);
    EXPECT_FALSE(drv.StopTimer("periodic"));
    EXPECT_EQ(drv.TimerCount(), 0u);
}

TEST(TimerStop, StopWhileTheCallbackRunsHandsTheObjectToTheRecycler) {
    TimerDrvClass drv;
    auto state = NewState();
    state->hold = true;
    ASSERT_TRUE(StartProbe(drv, state, "busy", true, 10));
    drv.TickTrigger(1);
    std::thread worker([&] { drv.RunOneReady(); });
    ASSERT_TRUE(WaitFor([&] { return state->entered.load(); }, 5000));

    size_t pendingBefore = timer_recycle::PendingCount();
    EXPECT_TRUE(drv.StopTimer("busy"));
    EXPECT_FALSE(state->destroyed);
    EXPECT_GE(timer_recycle::PendingCount(), pendingBefore + 1);
    TimerHelperClass none(nullptr, "", false, 1);
    timer_recycle::RecycleTimer(none);  // still running: must survive a recycle pass
    EXPECT_FALSE(state->destroyed);

    state->hold = false;
    worker.join();
    EXPECT_EQ(state->runs, 1);
    // Destroyed by the next recycle pass (ours, or the singleton's recycle
    // timer if another test started it).
    timer_recycle::RecycleTimer(none);
    EXPECT_TRUE(state->destroyed);
    drv.TickTrigger(5);
    EXPECT_EQ(drv.ReadyLength(), 0u);
}

TEST(TimerStop, CallbackMayStopItsOwnTimer) {
    TimerDrvClass drv;
    auto state = NewState(&drv);
    state->stopName = "self";
    ASSERT_TRUE(StartProbe(drv, state, "self", true, 20));
    Advance(drv, 2);
    EXPECT_EQ(state->runs, 1);
    EXPECT_EQ(drv.TimerCount(), 0u);
    TimerHelperClass none(nullptr, "", false, 1);
    timer_recycle::RecycleTimer(none);
    EXPECT_TRUE(state->destroyed);
    Advance(drv, 10);
    EXPECT_EQ(state->runs, 1);
}

TEST(TimerStop, RecycleTimerRegistrationDestroysStoppedTimers) {
    // What Init does, on a private driver: the periodic recycle timer.
    TimerDrvClass drv;
    ASSERT_TRUE(drv.StartTimer(new TimerHelperClass(new TimerWapperClass(timer_recycle::RecycleTimer, false),
                                                    TimerDrvClass::kRecycleTimerName, true, 100)));
    auto state = NewState();
    state->hold = true;
    ASSERT_TRUE(StartProbe(drv, state, "busy", true, 10));
    drv.TickTrigger(1);
    std::thread worker([&] { drv.RunOneReady(); });
    ASSERT_TRUE(WaitFor([&] { return state->entered.load(); }, 5000));
    EXPECT_TRUE(drv.StopTimer("busy"));
    state->hold = false;
    worker.join();
    Advance(drv, 100);  // the recycle timer fires once
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

// ---------------------------------------------------------------------------
// The name index

TEST(TimerIndex, NamesOfStoppedAndFiredTimersCanBeReused) {
    TimerDrvClass drv;
    auto state = NewState();
    ASSERT_TRUE(StartProbe(drv, state, "n", false, 100));
    EXPECT_TRUE(drv.StopTimer("n"));
    EXPECT_TRUE(StartProbe(drv, state, "n", false, 100));  // stopped: reusable
    Advance(drv, 10);
    EXPECT_EQ(drv.TimerCount(), 0u);
    EXPECT_TRUE(StartProbe(drv, state, "n", false, 20000));  // fired one-shot: reusable (far list)
    EXPECT_TRUE(drv.StopTimer("n"));
    EXPECT_TRUE(StartProbe(drv, state, "n", true, 10));
    Advance(drv, 5);
    EXPECT_FALSE(StartProbe(drv, state, "n", false, 10));  // a re-armed periodic keeps its name
    EXPECT_TRUE(drv.CheckIndex());
    EXPECT_TRUE(drv.StopTimer("n"));
    EXPECT_FALSE(drv.StopTimer("n"));
    EXPECT_TRUE(drv.CheckIndex());
    EXPECT_EQ(drv.TimerCount(), 0u);
}

// ---------------------------------------------------------------------------
// The clock

TEST(TimerClock, ClockJumpForwardOrBackwardAdvancesExactlyOneTick) {
    TimerDrvClass drv;
    unsigned long last = TimerDrvClass::Now() - 5000;
    drv.TimeEvent(last);
    EXPECT_EQ(drv.TotalTicks(), 1u);
    EXPECT_EQ(drv.CurrentTick(), 1u);
    EXPECT_LE(TimerDrvClass::Now() - last, 50u);

    last = TimerDrvClass::Now() + 3600 * 1000;
    drv.TimeEvent(last);
    EXPECT_EQ(drv.TotalTicks(), 2u);
    EXPECT_EQ(drv.CurrentTick(), 2u);

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

TEST(TimerClock, OrdinaryPassesCountTicksWithTheRemainder) {
    TimerDrvClass drv;
    unsigned long last = TimerDrvClass::Now() - 55;
    drv.TimeEvent(last);
    uint64_t ticks = drv.TotalTicks();
    EXPECT_GE(ticks, 5u);
    EXPECT_LE(ticks, 7u);
    EXPECT_EQ(drv.CurrentTick(), ticks);
    // A few ms: no tick yet, the milliseconds are kept.
    uint64_t before = drv.TotalTicks();
    unsigned long now = TimerDrvClass::Now();
    last = now;
    drv.TimeEvent(last);
    EXPECT_LE(drv.TotalTicks() - before, 1u);
}

TEST(TimerClock, SleepWaitsAboutTheTime) {
    uint64_t start = TimerDrvClass::AbsMilliSecond();
    TimerDrvClass::Sleep(30);
    uint64_t waited = TimerDrvClass::AbsMilliSecond() - start;
    EXPECT_GE(waited, 29u);
    EXPECT_LT(waited, 1000u);
    uint64_t wall = TimerDrvClass::Now();
    EXPECT_GT(wall, 1600000000000ull);  // ms since the epoch
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

// ---------------------------------------------------------------------------
// The process-wide driver (real clock thread and workers)

std::atomic<int> g_clockPasses{0};
void CountClockPass() { ++g_clockPasses; }

class TimerSingleton : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        g_pfnClockTracePoint = CountClockPass;
        ASSERT_TRUE(TimerDrvClass::instance()->Init(5));
    }
};

TEST_F(TimerSingleton, InstanceIsOneObjectForAllThreads) {
    std::vector<TimerDrvClass*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
        threads.emplace_back([&seen, i] { seen[i] = TimerDrvClass::instance(); });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    for (TimerDrvClass* drv : seen) {
        EXPECT_EQ(drv, TimerDrvClass::instance());
    }
}

TEST_F(TimerSingleton, InitRefusesABadWorkerCount) {
    EXPECT_FALSE(TimerDrvClass::instance()->Init(0));
    EXPECT_FALSE(TimerDrvClass::instance()->Init(11));
}

TEST_F(TimerSingleton, ClockPassesCallTheTracePointHook) {
    int before = g_clockPasses;
    EXPECT_TRUE(WaitFor([&] { return g_clockPasses >= before + 3; }, 2000));
}

TEST_F(TimerSingleton, RecycleTimerCountsAgainstTheLimit) {
    LogCapture log;
    TimerDrvClass* drv = TimerDrvClass::instance();
    EXPECT_FALSE(TimerStart(Noop, TimerDrvClass::kRecycleTimerName, true, 1000));
    EXPECT_TRUE(log.Contains("Failed to start timer because the timer GetName does exist."));
    uint32_t already = drv->TimerCount();
    ASSERT_GE(already, 1u);
    std::vector<std::string> names;
    for (int i = 0;; ++i) {
        std::string name = "cap" + std::to_string(i);
        if (!TimerStart(Noop, name, true, 3600 * 1000)) {
            break;
        }
        names.push_back(name);
        ASSERT_LT(i, 300);
    }
    EXPECT_EQ(names.size() + already, 257u);
    EXPECT_TRUE(log.Contains(") is over 256."));
    for (const std::string& name : names) {
        EXPECT_TRUE(drv->StopTimer(name));
    }
    EXPECT_EQ(drv->TimerCount(), already);
}

std::atomic<int> g_realRuns{0};
std::atomic<int> g_realActive{0};
std::atomic<int> g_realMaxActive{0};
void SlowCallback(TimerHelperClass&) {
    int now = ++g_realActive;
    int seen = g_realMaxActive.load();
    while (now > seen && !g_realMaxActive.compare_exchange_weak(seen, now)) {
    }
    ++g_realRuns;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    --g_realActive;
}

TEST_F(TimerSingleton, SlowPeriodicTimerOnTheRealClockIsBlockedNotConcurrent) {
    LogCapture log;
    ASSERT_TRUE(TimerStart(SlowCallback, "real-slow", true, 10));
    ASSERT_TRUE(WaitFor([] { return g_realRuns >= 3; }, 3000));
    EXPECT_TRUE(TimerDrvClass::instance()->StopTimer("real-slow"));
    EXPECT_TRUE(WaitFor([] { return g_realActive == 0; }, 2000));
    EXPECT_EQ(g_realMaxActive, 1);
    EXPECT_TRUE(log.Contains("The running timer(real-slow) has been blocked, ignore this running."));
}

std::atomic<int> g_oneShotRuns{0};
void OneShotCallback(TimerHelperClass&) { ++g_oneShotRuns; }

TEST_F(TimerSingleton, OneShotOnTheRealClockFiresOnce) {
    ASSERT_TRUE(TimerStart(OneShotCallback, "real-once", false, 20));
    ASSERT_TRUE(WaitFor([] { return g_oneShotRuns >= 1; }, 3000));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(g_oneShotRuns, 1);
    EXPECT_FALSE(TimerDrvClass::instance()->StopTimer("real-once"));
    EXPECT_TRUE(TimerStart(OneShotCallback, "real-once", false, 20));  // the name is free again
    ASSERT_TRUE(WaitFor([] { return g_oneShotRuns >= 2; }, 3000));
}

}  // namespace
