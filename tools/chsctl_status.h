// The node status request seen from chsctl: ask one node, decode its answer
// (bounded: an answer is untrusted), used by `chsctl status` and by
// `chsctl export status` for the per-node states of an export.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/chsctl_client.h"

namespace chs_tools {

struct NodeStatusDriver {
    std::string strName;
    bool bRunning = false;
    bool bStuck = false;
};

struct NodeStatusQueue {
    std::string strName;
    uint32_t uiLength = 0;
};

// A plugin kept out of the node after its code faulted.
struct NodeStatusQuarantined {
    std::string strName;
    std::string strLibrary;
};

// One node of a diagnose export, as its run node reports it.
struct NodeStatusExportNode {
    uint32_t uiNode = 0;
    std::string strName;
    std::string strState;  // built, fallback, offline, failed, building
    uint64_t ullBytes = 0;
    std::string strReason;
};

struct NodeStatusReport {
    uint64_t ullUptimeSec = 0;
    std::string strCollectorSwitch;
    std::string strOemSwitch;
    std::string strLastFile;
    uint64_t ullLastFileTime = 0;  // seconds since the epoch, 0 never
    std::string strTask;
    std::string strTaskProgress;
    uint64_t ullCofferFree = 0;
    bool bHasExportRunNode = false;
    uint32_t uiExportRunNode = 0;
    bool bHasExportState = false;
    int32_t iExportState = 0;
    std::vector<NodeStatusDriver> vecDrivers;
    std::vector<NodeStatusQueue> vecQueues;
    std::vector<NodeStatusExportNode> vecExportNodes;
    std::vector<NodeStatusQuarantined> vecQuarantined;
};

// Asks node `node` for its status within `timeoutSec`. kAnswered with
// `report` filled; kFailed also for an answer that is a refusal or lacks its
// first record.
SendOutcome QueryNodeStatus(uint16_t node, uint32_t timeoutSec, NodeStatusReport& report);

// A few words for an outcome other than kAnswered ("no daemon answers", ...).
const char* SendOutcomeText(SendOutcome outcome);

}  // namespace chs_tools
