#include "platform/transport_limits.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>

#include "platform/transport_runtime.h"

namespace platform {
namespace transport {
namespace {

struct LimitState {
    std::mutex mutex;
    Limits limits;
    std::condition_variable slotFreed;
    uint32_t uiSlotsBusy = 0;
};

LimitState& State() {
    static LimitState* state = new LimitState();  // outlives detached transport threads at exit
    return *state;
}

std::atomic<size_t> g_pendingTotal{0};

uint32_t EntryThreads() {
    tagMSG_CLIENT_CFG_S config;
    uint32_t maxLength = 0;
    return ClientConfig(config, maxLength) ? config.uiThreadNum : 0;
}

}  // namespace

Limits CurrentLimits() {
    LimitState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    return state.limits;
}

void SetLimits(const Limits& limits) {
    LimitState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.limits = limits;
}

void ResetLimits() { SetLimits(Limits()); }

uint32_t BodyLimit(const EndpointId& endpoint, bool incoming) {
    tagMSG_CLIENT_CFG_S config;
    uint32_t registered = 0;
    uint32_t limit = MSG_MAX_BODY_LENGTH;
    if (!incoming) {
        return limit;
    }
    if (ClientConfig(config, registered) && registered != 0) {
        limit = std::min(limit, registered);
    }
    if (endpoint.usPid >= MSG_PLATFORM_PID_BASE) {
        limit = std::max(limit, std::min(kPlatformServiceBodyLimit, MSG_MAX_BODY_LENGTH));
    }
    return limit;
}

bool ReservePending(size_t bytes) {
    size_t cap = CurrentLimits().maxPendingBytesTotal;
    size_t current = g_pendingTotal.load();
    do {
        if (current + bytes > cap) {
            return false;
        }
    } while (!g_pendingTotal.compare_exchange_weak(current, current + bytes));
    return true;
}

void ReleasePending(size_t bytes) { g_pendingTotal.fetch_sub(bytes); }

size_t PendingTotal() { return g_pendingTotal.load(); }

EntrySlot::EntrySlot() {
    LimitState& state = State();
    std::unique_lock<std::mutex> lock(state.mutex);
    state.slotFreed.wait(lock, [&state] {
        uint32_t threads = EntryThreads();
        return threads == 0 || state.uiSlotsBusy < threads;
    });
    ++state.uiSlotsBusy;
}

EntrySlot::~EntrySlot() {
    LimitState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    --state.uiSlotsBusy;
    state.slotFreed.notify_one();
}

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool RateAllows(std::atomic<int64_t>& last, std::chrono::milliseconds period) {
    int64_t now = NowMs();
    int64_t previous = last.load();
    if (previous != 0 && now - previous < period.count()) {
        return false;
    }
    return last.compare_exchange_strong(previous, now);
}

}  // namespace transport
}  // namespace platform
