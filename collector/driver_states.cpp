#include "collector/driver_states.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "include/infocollector/engine.h"
#include "infra/chs_log.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Slot {
    std::string name;
    InputDriverBase* driver = nullptr;
    bool running = false;
    bool wantRunning = false;
    bool inCall = false;
    bool stuck = false;
    int32_t lastRet = 0;
    bool forgotten = false;  // its engine is gone: no call after the one under way
    Clock::time_point callStarted;
};

struct EngineEntry {
    std::map<std::string, std::shared_ptr<Slot>> slots;
    std::vector<std::string> lastFailed;
};

struct Registry {
    std::mutex mutex;
    std::condition_variable done;
    std::map<const InfoCollectEngineClass*, EngineEntry> engines;
    size_t leftBehind = 0;
    std::atomic<uint32_t> limitMs{kChsDriverCallLimitDefaultMs};
};

// Never destroyed: a thread left behind may still reach it while the
// process ends.
Registry& Reg() {
    static Registry* registry = new Registry();
    return *registry;
}

const char* CallName(bool start) { return start ? "Start" : "Stop"; }

long long MsSince(Clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

// A driver is plugin code; an exception out of it must not end the daemon.
int32_t CallDriver(InputDriverBase* driver, bool start, const std::string& name) {
    try {
        return start ? driver->Start() : driver->Stop();
    } catch (const std::exception& e) {
        CHS_LOG(3, LOGID_COLLECTOR, "Input driver(%s) threw: %s.", name.c_str(), e.what());
    } catch (...) {
        CHS_LOG(3, LOGID_COLLECTOR, "Input driver(%s) threw an unknown exception.", name.c_str());
    }
    return -1;
}

// With the registry's mutex held. A Stop that fails still counts as
// stopped: nothing more can be asked of the driver.
void Apply(Slot& slot, bool start, int32_t ret) {
    slot.lastRet = ret;
    slot.running = start && ret == 0;
    if (ret != 0) {
        CHS_LOG(3, LOGID_COLLECTOR, "Input driver(%s) %s failed, ret(%d).", slot.name.c_str(), CallName(start),
                static_cast<int>(ret));
    }
}

void Worker(std::shared_ptr<Slot> slot, bool start) {
    Registry& reg = Reg();
    int32_t ret = CallDriver(slot->driver, start, slot->name);
    std::unique_lock<std::mutex> lock(reg.mutex);
    Apply(*slot, start, ret);
    if (slot->stuck) {
        CHS_LOG(2, LOGID_COLLECTOR, "Input driver(%s) returned from its %s after %lld ms.", slot->name.c_str(),
                CallName(start), MsSince(slot->callStarted));
        // The switch may have changed meanwhile: bring the driver to what
        // was asked last, once.
        if (!slot->forgotten && slot->running != slot->wantRunning) {
            bool again = slot->wantRunning;
            CHS_LOG(1, LOGID_COLLECTOR, "Input driver(%s): %s now, as asked while it was stuck.",
                    slot->name.c_str(), CallName(again));
            lock.unlock();
            ret = CallDriver(slot->driver, again, slot->name);
            lock.lock();
            Apply(*slot, again, ret);
        }
        slot->stuck = false;
        --reg.leftBehind;
    }
    slot->inCall = false;
    reg.done.notify_all();
}

}  // namespace

void ChsSetDriverCallLimitMs(uint32_t limitMs) {
    Reg().limitMs = std::min(std::max<uint32_t>(limitMs, 1), kChsDriverCallLimitMaxMs);
}

uint32_t ChsDriverCallLimitMs() { return Reg().limitMs; }

size_t ChsLeftBehindCalls() {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> lock(reg.mutex);
    return reg.leftBehind;
}

std::vector<ChsDriverState> ChsCollectDriverStates() {
    const InfoCollectEngineClass* engine = InfoCollectEngineClass::instance();
    Registry& reg = Reg();
    std::lock_guard<std::mutex> lock(reg.mutex);
    std::vector<ChsDriverState> states;
    auto found = reg.engines.find(engine);
    if (found == reg.engines.end()) {
        return states;
    }
    for (const auto& named : found->second.slots) {
        states.push_back(ChsDriverState{named.first, named.second->running, named.second->stuck});
    }
    return states;
}

std::vector<std::string> ChsLastFailedDrivers(const InfoCollectEngineClass* engine) {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> lock(reg.mutex);
    auto found = reg.engines.find(engine);
    return found == reg.engines.end() ? std::vector<std::string>() : found->second.lastFailed;
}

namespace driver_run {

void Add(const InfoCollectEngineClass* engine, const std::string& name, InputDriverBase* driver) {
    auto slot = std::make_shared<Slot>();
    slot->name = name;
    slot->driver = driver;
    Registry& reg = Reg();
    std::lock_guard<std::mutex> lock(reg.mutex);
    reg.engines[engine].slots[name] = std::move(slot);
}

std::vector<std::string> Run(const InfoCollectEngineClass* engine, bool start,
                             const std::vector<std::string>* names, int32_t* oneResult) {
    Registry& reg = Reg();
    if (oneResult != nullptr) {
        *oneResult = -1;
    }
    const uint32_t limitMs = reg.limitMs;
    std::vector<std::string> failed;
    std::vector<std::pair<std::shared_ptr<Slot>, std::thread>> calls;

    std::unique_lock<std::mutex> lock(reg.mutex);
    EngineEntry& entry = reg.engines[engine];
    std::vector<std::shared_ptr<Slot>> targets;
    if (names == nullptr) {
        for (const auto& named : entry.slots) {
            targets.push_back(named.second);
        }
    } else {
        for (const std::string& name : *names) {
            auto found = entry.slots.find(name);
            if (found == entry.slots.end()) {
                CHS_LOG(2, LOGID_COLLECTOR, "The input driver(%s) not exist, %s failed.", name.c_str(),
                        start ? "start" : "stop");
                failed.push_back(name);
            } else {
                targets.push_back(found->second);
            }
        }
    }
    // No reallocation once a thread runs: a joinable thread must never be
    // dropped by a failed insertion.
    calls.reserve(targets.size());
    const Clock::time_point began = Clock::now();
    for (const std::shared_ptr<Slot>& slot : targets) {
        slot->wantRunning = start;
        if (slot->inCall) {
            CHS_LOG(3, LOGID_COLLECTOR, "Input driver(%s) is still inside an earlier call; its %s waits for it.",
                    slot->name.c_str(), CallName(start));
            failed.push_back(slot->name);
            continue;
        }
        if (reg.leftBehind >= kChsMaxLeftBehindCalls) {
            CHS_LOG(3, LOGID_COLLECTOR, "Input driver(%s) %s refused: %zu stuck calls are left behind already.",
                    slot->name.c_str(), CallName(start), reg.leftBehind);
            failed.push_back(slot->name);
            continue;
        }
        CHS_LOG(1, LOGID_COLLECTOR, "%s input driver: %s.", CallName(start), slot->name.c_str());
        slot->inCall = true;
        slot->callStarted = began;
        try {
            calls.emplace_back(slot, std::thread(Worker, slot, start));
        } catch (const std::system_error& e) {
            slot->inCall = false;
            CHS_LOG(3, LOGID_COLLECTOR, "Input driver(%s) %s not run: no thread (%s).", slot->name.c_str(),
                    CallName(start), e.what());
            failed.push_back(slot->name);
        }
    }
    (void)reg.done.wait_until(lock, began + std::chrono::milliseconds(limitMs), [&calls] {
        return std::none_of(calls.begin(), calls.end(), [](const auto& call) { return call.first->inCall; });
    });
    std::vector<std::thread> finished;
    for (auto& call : calls) {
        Slot& slot = *call.first;
        if (slot.inCall) {
            slot.stuck = true;
            ++reg.leftBehind;
            CHS_LOG(3, LOGID_COLLECTOR,
                    "Input driver(%s) is stuck: its %s did not return within %u ms; it is left behind (%zu left "
                    "behind).",
                    slot.name.c_str(), CallName(start), limitMs, reg.leftBehind);
            call.second.detach();
            failed.push_back(slot.name);
        } else {
            if (oneResult != nullptr && calls.size() == 1) {
                *oneResult = slot.lastRet;
            }
            if (slot.lastRet != 0) {
                failed.push_back(slot.name);
            }
            finished.push_back(std::move(call.second));
        }
    }
    std::sort(failed.begin(), failed.end());
    entry.lastFailed = failed;
    lock.unlock();
    for (std::thread& thread : finished) {
        thread.join();
    }
    return failed;
}

bool AnyInCall(const InfoCollectEngineClass* engine) {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> lock(reg.mutex);
    auto found = reg.engines.find(engine);
    if (found == reg.engines.end()) {
        return false;
    }
    return std::any_of(found->second.slots.begin(), found->second.slots.end(),
                       [](const auto& named) { return named.second->inCall; });
}

void Forget(const InfoCollectEngineClass* engine) {
    Registry& reg = Reg();
    std::lock_guard<std::mutex> lock(reg.mutex);
    auto found = reg.engines.find(engine);
    if (found == reg.engines.end()) {
        return;
    }
    for (auto& named : found->second.slots) {
        named.second->forgotten = true;
    }
    reg.engines.erase(found);
}

}  // namespace driver_run
