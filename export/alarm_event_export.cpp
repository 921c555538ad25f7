// The alarm-and-event file of a diagnose export: the alarm-log service of this
// node packs it (log type 1); a thread polls the service in rounds, copies
// the package into the diagnose directory and has the service clear it.
#include <unistd.h>

#include <thread>

#include "core/omlib.h"
#include "core/trace_point.h"
#include "export/alarm_log_client.h"
#include "export/data_export.h"
#include "export/data_file_copy.h"
#include "export/diagnose_export.h"
#include "export/diagnose_globals.h"
#include "infra/chs_log.h"
#include "infra/fdsa_flow_mon.h"
#include "infra/file_util.h"
#include "infra/timer_drv.h"
#include "msg/chs_wire.h"
#include "platform/platform_profile.h"
#include "infra/detached_tasks.h"

uint32_t DIAGNOSE_INFO_WAIT_ROUND_MS = 20000;

namespace {

// The copy in progress; hidden, so the merge's "*" never packs it.
constexpr const char* kStagingName = ".alarm_event.part";

tagCOLLECOR_EXPORT_DATA_S& Block() { return g_astExportFileCfg.stAlarmEvent; }

bool IsCurrent(uint32_t generation) { return IsCurrentExport(generation); }

void Settle(uint32_t generation, uint32_t status) { SettleDataBlock(Block(), generation, status); }

uint32_t CurrentStatus(uint32_t generation) {
    ExportCfgLock lock(ExportCfgMutex());
    return IsCurrent(generation) ? Block().uiStatus : EXPORT_STATUS_FAILED;
}

bool IsReady(const tagEXPORT_SINGLE_NODE_STATUS& node) {
    return (node.ExportStatus == chs_wire::ALM_NODE_READY ||
            node.ExportStatus == chs_wire::ALM_NODE_READY_PARTIAL) &&
           node.PkgStatus != chs_wire::ALM_PKG_FETCHED;
}

// Copies the package of `node` into the diagnose directory. 0 or -1.
int32_t CopyNodePackage(const tagEXPORT_SINGLE_NODE_STATUS& node, uint32_t type, uint32_t generation) {
    std::string location;
    std::string address;
    std::string path;
    // Both say what failed themselves.
    if (notifyDownloadLogFile(type, node.NodeName, location) != 0 ||
        ParseLogFilePath(location, address, path) != 0) {
        return -1;
    }
    // The service of this node wrote the file below this node's root; the
    // address part names this node and is not needed.
    uint64_t size = 0;
    int fd = OpenDataSource(path, size);
    if (fd < 0) {
        CHS_LOG(3, LOGID_EXPORT, "Get the event file size failed.");
        return -1;
    }
    if (size > EVENT_FILE_LIMIT_SIZE) {
        close(fd);
        CHS_LOG_PRINT(3, LOGID_EXPORT, "The event file(", path, ") is over the limit size.");
        return -1;
    }
    std::string dir = platform::RealPath(strDiagnoseInfoPath);
    std::string staging = dir + kStagingName;
    (void)unlink(staging.c_str());
    int32_t ret = CopyToNewFile(fd, size, staging);
    close(fd);
    if (ret != 0) {
        return -1;
    }
    std::string name = baseName(path);
    uint64_t copied = 0;
    // An export cleared meanwhile gets nothing into the directory it emptied.
    if (!IsCurrent(generation) || !RegularFileSizeNoFollow(staging, copied)) {
        (void)unlink(staging.c_str());
        return -1;
    }
    if (PublishDataFile(staging, dir + name) != 0) {
        return -1;
    }
    ExportCfgLock lock(ExportCfgMutex());
    if (!IsCurrent(generation)) {
        (void)unlink((dir + name).c_str());
        return -1;
    }
    tagCOLLECOR_EXPORT_DATA_S& block = Block();
    block.strFileName = name;
    block.uiFileSize = static_cast<uint32_t>(copied);
    block.strFilePath = strDiagnoseInfoPath + name;
    return 0;
}

int32_t FetchAlarmAndEventFileFor(const tagEXPORT_FILE_STATUS& status, uint32_t type, uint32_t generation) {
    if (status.NodeStatus.empty()) {
        // Nothing was packed: no file, and no success either.
        CHS_LOG(3, LOGID_EXPORT, "Collector export event failed");
        return -1;
    }
    for (const tagEXPORT_SINGLE_NODE_STATUS& node : status.NodeStatus) {
        int32_t ret = IsReady(node) ? CopyNodePackage(node, type, generation) : -1;
        (void)ClearNodeLogFile(type, node.NodeName);
        if (ret != 0) {
            CHS_LOG(3, LOGID_EXPORT, "Collector export event failed %u.", node.NodeID);
            return -1;
        }
    }
    return 0;
}

void WaitExportAlmAndEventFileHandlerFor(uint32_t type, uint32_t generation) {
    tagEXPORT_FILE_STATUS status{};
    uint32_t ret = 0;
    bool done = false;
    for (uint32_t rounds = 0; rounds < DIAGNOSE_INFO_WAIT_TIMES; ++rounds) {
        ret = queryExportStatus(type, status);
        if (ret != 0 && status.TotalExportStatus != chs_wire::ALM_TOTAL_RUNNING) {
            break;
        }
        PrintExportStatus(status);
        if (status.TotalExportStatus != chs_wire::ALM_TOTAL_RUNNING) {
            done = true;
            break;
        }
        if (rounds + 1 < DIAGNOSE_INFO_WAIT_TIMES) {
            PauseExportRound(type, DIAGNOSE_INFO_WAIT_ROUND_MS, status);
        }
    }
    if (!done) {
        CHS_LOG(3, LOGID_EXPORT, "Collector export event failed status %u, ret %d.", status.TotalExportStatus,
                static_cast<int>(ret));
        Settle(generation, EXPORT_STATUS_FAILED);
    } else {
        int32_t fetched = FetchAlarmAndEventFileFor(status, type, generation);
        Settle(generation, fetched == 0 ? EXPORT_STATUS_READY : EXPORT_STATUS_FAILED);
    }
    CHS_LOG(1, LOGID_EXPORT, "Collector export event finished, ret %d.",
            static_cast<int>(CurrentStatus(generation)));
}

void WaitExportAlmAndEventFileFor(uint32_t type, uint32_t generation) {
    FdsaFlowMonClass flowMon(EVENT_WAIT_FLOW_MODULE, EVENT_WAIT_FLOW_TYPE, {1, EVENT_WAIT_FLOW_LIMIT_SEC});
    flowMon.Start();
    ChsTpCheckPoint(TP_WAIT_EXPORT_ALM_AND_EVENT);
    WaitExportAlmAndEventFileHandlerFor(type, generation);
    flowMon.End();
}

}  // namespace

void NotifyExportAlmAndEvent() {
    if (omlib::getLocalNidInUser() >= EXPORT_MAX_NODE_NUM) {
        CHS_LOG(3, LOGID_EXPORT, "The export node is invalid.");
        return;
    }
    uint32_t generation = g_uiExportGeneration.load();
    uint16_t master = 0;
    int32_t masterNode = omlib::getMasterNid(master) == 0 ? static_cast<int32_t>(master) : -1;
    {
        ExportCfgLock lock(ExportCfgMutex());
        Block().uiStatus = EXPORT_STATUS_COLLECTING;
        Block().iNodeId = masterNode;
    }
    int32_t ret = notifyExportFile(chs_wire::ALM_LOG_TYPE_EVENT);
    if (ret != 0) {
        CHS_LOG(3, LOGID_EXPORT, "Notify export event failed, error(%d)", static_cast<int>(ret));
        Settle(generation, EXPORT_STATUS_FAILED);
        return;
    }
    if (!StartDetachedTask([generation] { WaitExportAlmAndEventFileFor(chs_wire::ALM_LOG_TYPE_EVENT, generation); })) {
        CHS_LOG(3, LOGID_EXPORT, "Failed to start the event export thread.");
        Settle(generation, EXPORT_STATUS_FAILED);
    }
}

void WaitExportAlmAndEventFile(uint32_t type) {
    WaitExportAlmAndEventFileFor(type, g_uiExportGeneration.load());
}

void WaitExportAlmAndEventFileHandler(uint32_t type) {
    WaitExportAlmAndEventFileHandlerFor(type, g_uiExportGeneration.load());
}

int32_t fetchAlarmAndEventFile(const tagEXPORT_FILE_STATUS& status, uint32_t type) {
    return FetchAlarmAndEventFileFor(status, type, g_uiExportGeneration.load());
}
