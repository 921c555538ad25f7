#include "platform/fdsa.h"

#include <time.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dplog.h"

// Brackets are opened and closed around every unit of work of the busy loops
// (every timer firing): each is a short hold of one mutex over a table of
// places reused through a free list, with no allocation once the table has
// grown to the brackets open at once. (Without the lock, the atomic updates
// of the places and of the agents' counts cost more than the lock does.)
namespace platform {
namespace {

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
    std::mutex mutex;
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
            std::lock_guard<std::mutex> lock(g_state.mutex);
            interval = g_state.uiCheckIntervalSec == 0 ? 1 : g_state.uiCheckIntervalSec;
        }
        std::this_thread::sleep_for(std::chrono::seconds(interval));
        FdsaCheckFlows();
    }
}

}  // namespace

uint32_t FdsaCheckFlows() {
    uint32_t warnings = 0;
    int64_t now = NowMs();
    std::lock_guard<std::mutex> lock(g_state.mutex);
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
        ++warnings;
        uint32_t module = g_state.agents[flow.uiAgent].uiModule;
        dplog_standard(module, 4, "FdsaCheckFlows", __LINE__, 0,
                       "Flow (module %u, type %u, handle %llu) has run for %lld s, over its limit of %u s.", module,
                       flow.uiType, static_cast<unsigned long long>(MakeHandle(place, flow.uiGeneration)),
                       static_cast<long long>(seconds), limit);
    }
    return warnings;
}

uint32_t FdsaOpenFlows() {
    std::lock_guard<std::mutex> lock(g_state.mutex);
    return g_state.uiOpen;
}

}  // namespace platform

using namespace platform;

int FDSA_AgentInitSub(uint32_t module) {
    std::lock_guard<std::mutex> lock(g_state.mutex);
    uint32_t index;
    AgentOf(module, &index);
    return 0;
}

int FDSA_AgentMonitorInitSub(uint32_t module, uint32_t maxFlows, uint32_t checkIntervalSec) {
    std::lock_guard<std::mutex> lock(g_state.mutex);
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
    std::lock_guard<std::mutex> lock(g_state.mutex);
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
    std::lock_guard<std::mutex> lock(g_state.mutex);
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
