// The node status answer: uptime, switches, drivers, dispatcher queues, the
// last hand-off to the agent, the running task, the coffer disk and, on the
// run node of a diagnose export, the state of each of its nodes.
#include "collector/node_status.h"

#include <sys/statvfs.h>

#include <chrono>
#include <string>

#include "collector/collect_file_handoff.h"
#include "collector/driver_states.h"
#include "collector/plugin_quarantine.h"
#include "control/collector_ccdb.h"
#include "control/collector_switch.h"
#include "control/remote_task.h"
#include "core/omlib.h"
#include "export/diagnose_download.h"
#include "export/diagnose_export.h"
#include "export/diagnose_manifest.h"
#include "export/export_frame.h"
#include "infra/chs_log.h"
#include "msg/chs_wire.h"
#include "msg/msg_process.h"
#include "platform/platform_profile.h"

namespace {

using namespace chs_wire;

// Taken when the daemon's image is initialised, before main runs.
const std::chrono::steady_clock::time_point g_daemonStart = std::chrono::steady_clock::now();

constexpr const char* kQueueNames[MSG_PRI_NUM] = {"high", "middle", "low"};

std::string Bounded(const std::string& text) {
    return text.size() <= NODE_STATUS_TEXT_MAX ? text : text.substr(0, NODE_STATUS_TEXT_MAX);
}

uint64_t CofferFreeBytes() {
    struct statvfs fs {};
    std::string path = platform::RealPath(EXPORT_COFFER_MOUNT_PATH);
    if (statvfs(path.c_str(), &fs) != 0) {
        CHS_LOG(2, LOGID_COLLECTOR, "Cannot read the free space of (%s).", path.c_str());
        return 0;
    }
    return static_cast<uint64_t>(fs.f_bavail) * static_cast<uint64_t>(fs.f_frsize);
}

// The running task of this node and how far it has come; false when none.
bool RunningTask(std::string& task, std::string& progress) {
    uint16_t self = omlib::getLocalNidInUser();
    if (g_bGathering.load() || g_bExportMerging.load()) {
        tagCOLLECOR_EXPORT_FILE_PARAM_S cfg = ExportCfgSnapshot();
        size_t settled = 0;
        std::vector<ExportNodeState> states = ExportNodeStates(cfg);
        for (const ExportNodeState& state : states) {
            settled += state.strState != EXPORT_STATE_BUILDING ? 1 : 0;
        }
        task = "diagnose export";
        progress = g_bExportMerging.load() ? "merging the bundle"
                                           : "gathering, " + std::to_string(settled) + " of " +
                                                 std::to_string(states.size()) + " nodes settled";
        return true;
    }
    CCDB_COMM::tagDB_CHS_REMOTE_TASK_S row{};
    if (GetRemoteTask(REMOTE_TASK_LOG_EXPORT, row) == 0 && row.i_taskrunnode == self &&
        row.i_taskendtime == 0 && row.i_taskstatus != TASK_STATUS_SUCCEEDED &&
        row.i_taskstatus != TASK_STATUS_FAILED) {
        task = "remote log";
        progress = std::to_string(static_cast<unsigned long long>(row.i_taskprogress)) + " files sent";
        return true;
    }
    return false;
}

void AppendExportNodes(MsgObject& answer) {
    tagCOLLECOR_EXPORT_FILE_PARAM_S cfg = ExportCfgSnapshot();
    size_t count = 0;
    for (const ExportNodeState& state : ExportNodeStates(cfg)) {
        if (++count > NODE_STATUS_LIST_MAX) {
            break;
        }
        MsgRecord* record = &answer.AddRecord(RECORD_STATUS_EXPORT_NODE);
        record->AppendUInt32(STATUS_EXPORT_TAG_NODE, state.usNode);
        record->AppendString(STATUS_EXPORT_TAG_NAME, Bounded(state.strName));
        record->AppendString(STATUS_EXPORT_TAG_STATE, state.strState);
        record->AppendUInt64(STATUS_EXPORT_TAG_BYTES, state.ullBytes);
        record->AppendString(STATUS_EXPORT_TAG_REASON, Bounded(state.strReason));
    }
}

}  // namespace

NodeStatusSnapshot TakeNodeStatus() {
    NodeStatusSnapshot snapshot;
    auto uptime = std::chrono::steady_clock::now() - g_daemonStart;
    snapshot.ullUptimeSec =
        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(uptime).count());
    if (COLLECTOR_CCDB::GetCollectorSwitch(snapshot.strCollectorSwitch) != 0) {
        snapshot.strCollectorSwitch = GetLastKnownCollectorSwitch();
    }
    if (COLLECTOR_CCDB::GetOemSwitch(snapshot.strOemSwitch) != 0) {
        snapshot.strOemSwitch.clear();
    }
    (void)LastHandedFile(snapshot.strLastFile, snapshot.llLastFileTime);
    (void)RunningTask(snapshot.strTask, snapshot.strTaskProgress);
    snapshot.ullCofferFree = CofferFreeBytes();
    snapshot.vecDrivers = ChsCollectDriverStates();
    if (snapshot.vecDrivers.size() > NODE_STATUS_LIST_MAX) {
        snapshot.vecDrivers.resize(NODE_STATUS_LIST_MAX);
    }
    snapshot.vecQuarantined = ChsQuarantinedPlugins();
    if (snapshot.vecQuarantined.size() > NODE_STATUS_LIST_MAX) {
        snapshot.vecQuarantined.resize(NODE_STATUS_LIST_MAX);
    }
    MsgProcessClass* dispatcher = MsgProcessClass::Instance();
    for (uint32_t priority = 0; priority < MSG_PRI_NUM; ++priority) {
        snapshot.queueLengths[priority] = dispatcher->QueueLength(priority);
    }
    return snapshot;
}

std::string NodeStatusText(const NodeStatusSnapshot& snapshot) {
    std::string text = "uptime_s: " + std::to_string(snapshot.ullUptimeSec) + "\n";
    text += "collector switch: " + snapshot.strCollectorSwitch + ", OEM switch: " + snapshot.strOemSwitch + "\n";
    for (const ChsDriverState& driver : snapshot.vecDrivers) {
        text += "driver " + driver.strName + ": " + (driver.bRunning ? "running" : "stopped") +
                (driver.bStuck ? ", stuck" : "") + "\n";
    }
    for (const QuarantinedPlugin& plugin : snapshot.vecQuarantined) {
        text += "quarantined plugin " + plugin.strName + " (" + plugin.strLibPath + ")\n";
    }
    for (uint32_t priority = 0; priority < MSG_PRI_NUM; ++priority) {
        text += std::string("dispatcher queue ") + kQueueNames[priority] + ": " +
                std::to_string(snapshot.queueLengths[priority]) + " waiting\n";
    }
    text += "last file to the agent: " + (snapshot.llLastFileTime == 0 ? std::string("none") : snapshot.strLastFile) +
            (snapshot.llLastFileTime == 0 ? "" : " at " + std::to_string(snapshot.llLastFileTime)) + "\n";
    text += "task: " + (snapshot.strTask.empty() ? std::string("none") : snapshot.strTask + ", " + snapshot.strTaskProgress) +
            "\n";
    text += "coffer disk free: " + std::to_string(snapshot.ullCofferFree) + " bytes\n";
    return text;
}

void HandleNodeStatus(InnerMsg& request) {
    try {
        NodeStatusSnapshot snapshot = TakeNodeStatus();
        MsgObject answer;
        MsgRecord* head = &answer.AddRecord(OPCODE_NODE_STATUS);
        head->AppendUInt64(STATUS_TAG_UPTIME, snapshot.ullUptimeSec);
        head->AppendString(STATUS_TAG_COLLECTOR_SWITCH, Bounded(snapshot.strCollectorSwitch));
        head->AppendString(STATUS_TAG_OEM_SWITCH, Bounded(snapshot.strOemSwitch));
        head->AppendString(STATUS_TAG_LAST_FILE, Bounded(snapshot.strLastFile));
        head->AppendUInt64(STATUS_TAG_LAST_FILE_TIME, static_cast<uint64_t>(snapshot.llLastFileTime));
        head->AppendString(STATUS_TAG_TASK, snapshot.strTask);
        head->AppendString(STATUS_TAG_TASK_PROGRESS, Bounded(snapshot.strTaskProgress));
        head->AppendUInt64(STATUS_TAG_COFFER_FREE, snapshot.ullCofferFree);
        CCDB_COMM::tagDB_CHS_REMOTE_TASK_S row{};
        bool exportHere = false;
        if (GetRemoteTask(REMOTE_TASK_DIAGNOSE_EXPORT, row) == 0 && row.i_taskrunnode < EXPORT_MAX_NODE_NUM) {
            head->AppendUInt32(STATUS_TAG_EXPORT_RUN_NODE, static_cast<uint32_t>(row.i_taskrunnode));
            exportHere = row.i_taskrunnode == omlib::getLocalNidInUser() && ExportCfgHoldsExport();
        }
        if (exportHere) {
            head->AppendInt32(STATUS_TAG_EXPORT_STATE, getFinalExportDiagFileResult(0));
        }
        for (const ChsDriverState& driver : snapshot.vecDrivers) {
            MsgRecord* record = &answer.AddRecord(RECORD_STATUS_DRIVER);
            record->AppendString(STATUS_DRIVER_TAG_NAME, Bounded(driver.strName));
            record->AppendUInt32(STATUS_DRIVER_TAG_RUNNING, driver.bRunning ? 1 : 0);
            record->AppendUInt32(STATUS_DRIVER_TAG_STUCK, driver.bStuck ? 1 : 0);
        }
        for (const QuarantinedPlugin& plugin : snapshot.vecQuarantined) {
            MsgRecord* record = &answer.AddRecord(RECORD_STATUS_QUARANTINE);
            record->AppendString(STATUS_QUARANTINE_TAG_NAME, Bounded(plugin.strName));
            record->AppendString(STATUS_QUARANTINE_TAG_LIBRARY, Bounded(plugin.strLibPath));
        }
        for (uint32_t priority = 0; priority < MSG_PRI_NUM; ++priority) {
            MsgRecord* record = &answer.AddRecord(RECORD_STATUS_QUEUE);
            record->AppendString(STATUS_QUEUE_TAG_NAME, kQueueNames[priority]);
            record->AppendUInt32(STATUS_QUEUE_TAG_LENGTH, snapshot.queueLengths[priority]);
        }
        if (exportHere) {
            AppendExportNodes(answer);
        }
        if (!request.PostAckMsg(answer)) {
            CHS_LOG(3, LOGID_COLLECTOR, "Failed to answer the node status request.");
        }
    } catch (...) {
        CHS_LOG(3, LOGID_COLLECTOR, "The node status answer could not be built.");
        CollectorPostAckMsg(request, OPCODE_NODE_STATUS, static_cast<int>(EXPORT_ERR_GENERAL));
    }
}
