#include "platform/fdsa.h"

#include <time.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dplog.h"

// Brackets are opened and closed around every unit of work of the busy loops
// (every timer firing): each is a short hold of one lock over a table of
// places reused through a free list, with no allocation once the table has
// grown to the brackets open at once. (Without the lock, the atomic updates
// of the places and of the agents' counts cost more than the lock does.)
// The holds are a few dozen instructions (the watch logs after letting go),
// so the lock spins briefly and then yields, and letting go is one store.
namespace platform {
namespace {

class FlowLock {
public:
    void lock() {
        while (m_bHeld.exchange(true, std::memory_order_acquire)) {
            for (uint32_t spins = 0; m_bHeld.load(std::memory_order_relaxed); ++spins) {
                if (spins < kSpins) {
                    Pause();
                } else {
                    std::this_thread::yield();  // the holder may have been preempted
                }
            }
        }
    }
    void unlock() { m_bHeld.store(false, std::memory_order_release); }

private:
    static constexpr uint32_t kSpins = 64;
    static void Pause() {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
    std::atomic<bool> m_bHeld{false};
};

constexpr uint32_t kNoFlow = UINT32_MAX;
constexpr uint32_t kDefaultMaxFlows = 100;
constexpr uint32_t kInitialFlows = 64;

// The limits are whole seconds: the coarse clock is precise enough and
// several times cheaper to read.
int64_t NowMs() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

struct Agent {
    uint32_t uiModule;
    uint32_t uiMaxFlows;
    uint32_t uiOpen;
};

// One place of the flow table. A handle carries the place and the generation
// the place had when the bracket was opened: a handle that was ended, or whose
// place has been reused since, names an older generation and is refused.
struct Flow {
    uint32_t uiGeneration = 0;
    bool bOpen = false;
    uint32_t uiAgent = 0;  // index into the agents
    uint32_t uiType = 0;
    FDSA_FLOW_PARA_S para{};
    int64_t startMs = 0;
    uint32_t uiWarned = 0;
    uint32_t uiNextFree = kNoFlow;
};

// The agent's state outlives static destruction: detached threads (the
// timer clock, the watch) may bracket work while the process exits.
struct AgentState {
    FlowLock mutex;
    std::vector<Agent> agents;  // one per module seen: a handful
    std::vector<Flow> flows;    // grows when every place is taken, never shrinks
    uint32_t uiFreeHead = kNoFlow;
    uint32_t uiOpen = 0;
    bool bWatchStarted = false;
    uint32_t uiCheckIntervalSec = 60;

    AgentState() { flows.reserve(kInitialFlows); }
};
AgentState& g_state = *new AgentState();

FDSA_FLOW_HANDLE MakeHandle(uint32_t place, uint32_t generation) {
    return (static_cast<uint64_t>(generation) << 32) | (static_cast<uint64_t>(place) + 1);  // never 0
}

// Caller holds the mutex. The open flow a handle names, or null.
Flow* FindFlow(FDSA_FLOW_HANDLE handle) {
    uint64_t low = handle & 0xffffffffu;
    if (low == 0 || low > g_state.flows.size()) {
        return nullptr;
    }
    Flow& flow = g_state.flows[low - 1];
    if (!flow.bOpen || flow.uiGeneration != static_cast<uint32_t>(handle >> 32)) {
        return nullptr;
    }
    return &flow;
}

// Caller holds the mutex. The agent of `module`, or null.
Agent* FindAgent(uint32_t module, uint32_t* index) {
    for (uint32_t i = 0; i < g_state.agents.size(); ++i) {
        if (g_state.agents[i].uiModule == module) {
            *index = i;
            return &g_state.agents[i];
        }
    }
    return nullptr;
}

// Caller holds the mutex. The agent of `module`, added when missing.
Agent& AgentOf(uint32_t module, uint32_t* index) {
    Agent* agent = FindAgent(module, index);
    if (agent != nullptr) {
        return *agent;
    }
    *index = static_cast<uint32_t>(g_state.agents.size());
    g_state.agents.push_back(Agent{module, kDefaultMaxFlows, 0});
    return g_state.agents.back();
}

void Watch() {
    for (;;) {
        uint32_t interval;
        {
            std::lock_guard<FlowLock> lock(g_state.mutex);
            interval = g_state.uiCheckIntervalSec == 0 ? 1 : g_state.uiCheckIntervalSec;
        }
        std::this_thread::sleep_for(std::chrono::seconds(interval));
        FdsaCheckFlows();
    }
}

}  // namespace

uint32_t FdsaCheckFlows() {
    struct Warning {
        uint32_t module;
        uint32_t type;
        FDSA_FLOW_HANDLE handle;
        int64_t seconds;
        uint32_t limit;
    };
    std::vector<Warning> due;
    int64_t now = NowMs();
    std::unique_lock<FlowLock> lock(g_state.mutex);
    for (uint32_t place = 0; place < g_state.flows.size(); ++place) {
        Flow& flow = g_state.flows[place];
        if (!flow.bOpen) {
            continue;
        }
        int64_t seconds = (now - flow.startMs) / 1000;
        uint32_t limit = flow.para.uiTimeoutSec;
        uint32_t maxWarnings = flow.para.uiWarnTimes == 0 ? 1 : flow.para.uiWarnTimes;
        // Warn once per limit passed: at 1x, 2x, ... the limit.
        if (limit == 0 || flow.uiWarned >= maxWarnings || seconds < 0 ||
            static_cast<uint64_t>(seconds) < static_cast<uint64_t>(limit) * (flow.uiWarned + 1)) {
            continue;
        }
        ++flow.uiWarned;
        due.push_back(Warning{g_state.agents[flow.uiAgent].uiModule, flow.uiType,
                              MakeHandle(place, flow.uiGeneration), seconds, limit});
    }
    lock.unlock();
    for (const Warning& warning : due) {
        dplog_standard(warning.module, 4, "FdsaCheckFlows", __LINE__, 0,
                       "Flow (module %u, type %u, handle %llu) has run for %lld s, over its limit of %u s.",
                       warning.module, warning.type, static_cast<unsigned long long>(warning.handle),
                       static_cast<long long>(warning.seconds), warning.limit);
    }
    return static_cast<uint32_t>(due.size());
}

uint32_t FdsaOpenFlows() {
    std::lock_guard<FlowLock> lock(g_state.mutex);
    return g_state.uiOpen;
}

}  // namespace platform

using namespace platform;

int FDSA_AgentInitSub(uint32_t module) {
    std::lock_guard<FlowLock> lock(g_state.mutex);
    uint32_t index;
    AgentOf(module, &index);
    return 0;
}

int FDSA_AgentMonitorInitSub(uint32_t module, uint32_t maxFlows, uint32_t checkIntervalSec) {
    std::lock_guard<FlowLock> lock(g_state.mutex);
    uint32_t index;
    Agent* agent = FindAgent(module, &index);
    if (agent == nullptr || maxFlows == 0) {
        return -1;
    }
    agent->uiMaxFlows = maxFlows;
    g_state.uiCheckIntervalSec = checkIntervalSec;
    if (!g_state.bWatchStarted) {
        std::thread(Watch).detach();
        g_state.bWatchStarted = true;
    }
    return 0;
}

FDSA_FLOW_HANDLE FDSA_FlowMonitorStartSub(uint32_t module, uint32_t type, const FDSA_FLOW_PARA_S* para,
                                          uint32_t /*flags*/) {
    if (para == nullptr) {
        return 0;
    }
    int64_t now = NowMs();
    std::lock_guard<FlowLock> lock(g_state.mutex);
    // Brackets of a module without an agent are accepted: the callers bracket
    // work under module 550 without initialising its agent themselves.
    uint32_t agentIndex;
    Agent& agent = AgentOf(module, &agentIndex);
    if (agent.uiOpen >= agent.uiMaxFlows) {
        return 0;
    }
    uint32_t place = g_state.uiFreeHead;
    if (place == kNoFlow) {
        place = static_cast<uint32_t>(g_state.flows.size());
        g_state.flows.emplace_back();
    } else {
        g_state.uiFreeHead = g_state.flows[place].uiNextFree;
    }
    ++agent.uiOpen;
    ++g_state.uiOpen;
    Flow& flow = g_state.flows[place];
    ++flow.uiGeneration;
    flow.bOpen = true;
    flow.uiAgent = agentIndex;
    flow.uiType = type;
    flow.para = *para;
    flow.startMs = now;
    flow.uiWarned = 0;
    flow.uiNextFree = kNoFlow;
    return MakeHandle(place, flow.uiGeneration);
}

int FDSA_FlowMonitorEndSub(FDSA_FLOW_HANDLE handle) {
    std::lock_guard<FlowLock> lock(g_state.mutex);
    Flow* flow = FindFlow(handle);
    if (flow == nullptr) {
        return -1;
    }
    Agent& agent = g_state.agents[flow->uiAgent];
    if (agent.uiOpen > 0) {
        --agent.uiOpen;
    }
    --g_state.uiOpen;
    flow->bOpen = false;
    flow->uiNextFree = g_state.uiFreeHead;
    g_state.uiFreeHead = static_cast<uint32_t>(flow - g_state.flows.data());
    return 0;
}
