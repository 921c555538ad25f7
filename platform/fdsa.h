// Flow monitoring agent: a hang detector. A unit of work is bracketed by
// FDSA_FlowMonitorStartSub / FDSA_FlowMonitorEndSub; a watch thread started by
// FDSA_AgentMonitorInitSub logs a warning for every bracket that has stayed
// open longer than its limit (once per bracket and limit passed).
//
// Thread-safe. A handle is only valid until its End call.
#pragma once

#include <cstdint>

struct FDSA_FLOW_PARA_S {
    uint32_t uiWarnTimes;    // how many warnings one open bracket may produce (0 = 1)
    uint32_t uiTimeoutSec;   // the bracket's limit in seconds
};

typedef uint64_t FDSA_FLOW_HANDLE;

int FDSA_AgentInitSub(uint32_t module);
// `maxFlows`: brackets one module may hold open at once; `checkIntervalSec`:
// period of the watch thread.
int FDSA_AgentMonitorInitSub(uint32_t module, uint32_t maxFlows, uint32_t checkIntervalSec);
// 0 (no handle) when the agent of `module` is not initialised or is full.
FDSA_FLOW_HANDLE FDSA_FlowMonitorStartSub(uint32_t module, uint32_t type, const FDSA_FLOW_PARA_S* para,
                                          uint32_t flags);
int FDSA_FlowMonitorEndSub(FDSA_FLOW_HANDLE handle);

namespace platform {
// One watch pass over every open bracket; the watch thread calls it, tests may too.
// Returns the number of warnings written.
uint32_t FdsaCheckFlows();
uint32_t FdsaOpenFlows();
}  // namespace platform
