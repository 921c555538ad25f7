#include "platform/fdsa.h"

#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "platform/dplog.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

struct Flow {
    uint32_t uiModule;
    uint32_t uiType;
    FDSA_FLOW_PARA_S para;
    Clock::time_point start;
    uint32_t uiWarned = 0;
};

struct Agent {
    uint32_t uiMaxFlows = 100;
    uint32_t uiOpen = 0;
};

// The agent's state outlives static destruction: detached threads (the
// timer clock, the watch) may bracket work while the process exits.
struct AgentState {
    std::mutex mutex;
    std::map<uint32_t, Agent> agents;
    std::map<FDSA_FLOW_HANDLE, Flow> flows;
    FDSA_FLOW_HANDLE nextHandle = 1;
    bool watchStarted = false;
    uint32_t checkIntervalSec = 60;
};
AgentState& g_state = *new AgentState();
std::mutex& g_mutex = g_state.mutex;
std::map<uint32_t, Agent>& g_agents = g_state.agents;
std::map<FDSA_FLOW_HANDLE, Flow>& g_flows = g_state.flows;
FDSA_FLOW_HANDLE& g_nextHandle = g_state.nextHandle;
bool& g_watchStarted = g_state.watchStarted;
uint32_t& g_checkIntervalSec = g_state.checkIntervalSec;

void Watch() {
    for (;;) {
        uint32_t interval;
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            interval = g_checkIntervalSec == 0 ? 1 : g_checkIntervalSec;
        }
        std::this_thread::sleep_for(std::chrono::seconds(interval));
        FdsaCheckFlows();
    }
}

}  // namespace

uint32_t FdsaCheckFlows() {
    uint32_t warnings = 0;
    Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(g_mutex);
    for (auto& entry : g_flows) {
        Flow& flow = entry.second;
        auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - flow.start).count();
        uint32_t limit = flow.para.uiTimeoutSec;
        uint32_t maxWarnings = flow.para.uiWarnTimes == 0 ? 1 : flow.para.uiWarnTimes;
        // Warn once per limit passed: at 1x, 2x, ... the limit.
        if (limit == 0 || flow.uiWarned >= maxWarnings ||
            static_cast<uint64_t>(seconds) < static_cast<uint64_t>(limit) * (flow.uiWarned + 1)) {
            continue;
        }
        ++flow.uiWarned;
        ++warnings;
        dplog_standard(flow.uiModule, 4, "FdsaCheckFlows", __LINE__, 0,
                       "Flow (module %u, type %u, handle %llu) has run for %lld s, over its limit of %u s.",
                       flow.uiModule, flow.uiType, static_cast<unsigned long long>(entry.first),
                       static_cast<long long>(seconds), limit);
    }
    return warnings;
}

uint32_t FdsaOpenFlows() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return static_cast<uint32_t>(g_flows.size());
}

}  // namespace platform

using namespace platform;

int FDSA_AgentInitSub(uint32_t module) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_agents.emplace(module, Agent());
    return 0;
}

int FDSA_AgentMonitorInitSub(uint32_t module, uint32_t maxFlows, uint32_t checkIntervalSec) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_agents.find(module);
    if (it == g_agents.end() || maxFlows == 0) {
        return -1;
    }
    it->second.uiMaxFlows = maxFlows;
    g_checkIntervalSec = checkIntervalSec;
    if (!g_watchStarted) {
        std::thread(Watch).detach();
        g_watchStarted = true;
    }
    return 0;
}

FDSA_FLOW_HANDLE FDSA_FlowMonitorStartSub(uint32_t module, uint32_t type, const FDSA_FLOW_PARA_S* para,
                                          uint32_t /*flags*/) {
    if (para == nullptr) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    // Brackets of a module without an agent are accepted: the callers bracket
    // work under module 550 without initialising its agent themselves.
    Agent& agent = g_agents[module];
    if (agent.uiOpen >= agent.uiMaxFlows) {
        return 0;
    }
    ++agent.uiOpen;
    FDSA_FLOW_HANDLE handle = g_nextHandle++;
    g_flows.emplace(handle, Flow{module, type, *para, Clock::now(), 0});
    return handle;
}

int FDSA_FlowMonitorEndSub(FDSA_FLOW_HANDLE handle) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_flows.find(handle);
    if (it == g_flows.end()) {
        return -1;
    }
    auto agent = g_agents.find(it->second.uiModule);
    if (agent != g_agents.end() && agent->second.uiOpen > 0) {
        --agent->second.uiOpen;
    }
    g_flows.erase(it);
    return 0;
}
