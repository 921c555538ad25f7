// The node status request (chs_wire::OPCODE_NODE_STATUS), an extension of
// this project: the state of this node at a glance for `chsctl status` and
// `chsctl export status`. The answer's layout is in msg/chs_wire.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "collector/driver_states.h"
#include "infra/plugin_fault.h"
#include "msg/inner_msg.h"
#include "msg/msg_process.h"

// What the status tells of this node, lists cut to the answer's bounds.
struct NodeStatusSnapshot {
    uint64_t ullUptimeSec = 0;
    std::string strCollectorSwitch;
    std::string strOemSwitch;
    std::string strLastFile;
    int64_t llLastFileTime = 0;  // seconds since the epoch, 0 never
    std::string strTask;         // "diagnose export", "remote log" or empty
    std::string strTaskProgress;
    uint64_t ullCofferFree = 0;
    std::vector<ChsDriverState> vecDrivers;
    std::vector<QuarantinedPlugin> vecQuarantined;
    uint32_t queueLengths[MSG_PRI_NUM] = {};
};

NodeStatusSnapshot TakeNodeStatus();

// The snapshot as lines of text, for the node's diagnose package.
std::string NodeStatusText(const NodeStatusSnapshot& snapshot);

// Answers `request` with this node's status. Never refuses: a part that
// cannot be read is left empty (and logged).
void HandleNodeStatus(InnerMsg& request);
