#include "export/export_frame.h"

#include <ctime>

#include "core/omlib.h"
#include "export/diagnose_globals.h"
#include "infra/chs_log.h"
#include "infra/error_code_desc.h"
#include "msg/msg_object.h"

namespace {

tagCOLLECOR_EXPORT_FILE_PARAM_S LostExportRecord() {
    tagCOLLECOR_EXPORT_FILE_PARAM_S record{};
    record.iGatherResult = EXPORT_GATHER_FAILED;
    return record;
}

}  // namespace

tagCOLLECOR_EXPORT_FILE_PARAM_S g_astExportFileCfg = LostExportRecord();
std::atomic<bool> g_bExportMerging{false};

std::recursive_mutex& ExportCfgMutex() {
    // Never destroyed: detached export threads may still take it at exit.
    static std::recursive_mutex* mutex = new std::recursive_mutex();
    return *mutex;
}

tagCOLLECOR_EXPORT_FILE_PARAM_S ExportCfgSnapshot() {
    ExportCfgLock lock(ExportCfgMutex());
    return g_astExportFileCfg;
}

bool ExportCfgHoldsExport() {
    ExportCfgLock lock(ExportCfgMutex());
    return g_astExportFileCfg.ExportFrom != 0;
}

uint32_t ExportTypeFromWire(int64_t value) {
    return value < 0 || value > static_cast<int64_t>(UINT32_MAX) ? EXPORT_TYPE_UNSUPPORTED
                                                                 : static_cast<uint32_t>(value);
}

uint32_t DIAGNOSE_FILE_MERGE_LIMIT_SIZE = 117440512;
uint32_t DIAGNOSE_INFO_EXPORT_RUNNING_DATA_TIMEOUT = 840;
uint32_t DIAGNOSE_INFO_WAIT_TIMES = 27;
uint32_t DIAGNOSE_INFO_ALARM_TASK_INTERVAL = 3600;
uint32_t DIAGNOSE_INFO_CIRCLE_TASK_INTERVAL = 86400;
std::atomic<uint32_t> g_updateCCDBType{UPDATE_CCDB_UNCHECKED};
std::atomic<uint32_t> g_uiMasterNid{EXPORT_MASTER_NID_UNKNOWN};
std::atomic<uint32_t> g_uiExportGeneration{0};

void InitExportErrorCodeDesc() {
    errorCodeDescMap[EXPORT_SUCCESS] = "Export success!";
    errorCodeDescMap[EXPORT_INNER_ERROR] = "Inner error happened when exportting!";
    errorCodeDescMap[EXPORT_NO_FILE] = "There is no file to export!";
    errorCodeDescMap[EXPORT_PART_FAILED] = "Some files export failed!";
    errorCodeDescMap[EXPORT_TASK_TIMEOUT] = "Task timeout!";
    errorCodeDescMap[EXPORT_UPGRADING] = "It's not allowed to export log when upgrading!";
    errorCodeDescMap[EXPORT_FORCE_STOP] = "Force stop!";
    errorCodeDescMap[EXPORT_SWITCH_OFF] = "Call home switch is off!";
    errorCodeDescMap[EXPORT_SPACE_NOT_ENOUGH] = "System space is not enough!";
    errorCodeDescMap[EXPORT_TASK_RUNNING] = "A task is in exporting!";
    errorCodeDescMap[EXPORT_NO_FILE_SENT] = "There is no file to be sended successfully!";
    errorCodeDescMap[EXPORT_PROCESS_ABNORMAL] = "Related process is abnormal.";
    errorCodeDescMap[EXPORT_ERR_SYSTEM_EXPORTING] = "System is exporting files.";
    errorCodeDescMap[EXPORT_ERR_SPACE] = "System space is not enough!";
    errorCodeDescMap[EXPORT_ERR_SPACE_OTHER] = "System space is not enough!";
}

void PrintExportStatus(const tagEXPORT_FILE_STATUS& status) {
    CHS_LOG(0, LOGID_EXPORT, "TotalExportStatus:%u.", status.TotalExportStatus);
    for (const tagEXPORT_SINGLE_NODE_STATUS& node : status.NodeStatus) {
        CHS_LOG(0, LOGID_EXPORT, "NodeID:%u.", node.NodeID);
        CHS_LOG(0, LOGID_EXPORT, "NodeName:%s.", node.NodeName.c_str());
        CHS_LOG(0, LOGID_EXPORT, "PkgStatus:%u.", node.PkgStatus);
        CHS_LOG(0, LOGID_EXPORT, "ExportStatus:%d.", node.ExportStatus);
    }
}

namespace {

void ResetDataBlock(tagCOLLECOR_EXPORT_DATA_S& block) {
    block.iNodeId = -1;
    block.uiStatus = EXPORT_STATUS_INIT;
    block.strFilePath.clear();
    block.uiFileSize = 0;
    block.strFileName.clear();
}

bool IsDiagnoseType(uint32_t type) {
    return type >= EXPORT_TYPE_DIAGNOSE_ALARM && type <= EXPORT_TYPE_DIAGNOSE_DOWNLOAD;
}

}  // namespace

void InitExportRunningAndEventStatus() {
    ExportCfgLock lock(ExportCfgMutex());
    ++g_uiExportGeneration;
    ResetDataBlock(g_astExportFileCfg.stRunningData);
    ResetDataBlock(g_astExportFileCfg.stAlarmEvent);
}

void ClearExportStrategy() {
    ExportCfgLock lock(ExportCfgMutex());
    InitExportRunningAndEventStatus();
    for (tagCOLLECOR_EXPORT_NODE_INFO_S& node : g_astExportFileCfg.astNode) {
        node.uiCollectStatus = EXPORT_STATUS_CLEARED;
        node.ucSelected = 0;
        node.uiAnswered = EXPORT_ANSWERED_NO;
        node.uiPkgSize = 0;
        node.uiSecondStatus = EXPORT_STATUS_CLEARED;
        node.uiSecondAnswered = EXPORT_ANSWERED_NO;
        node.strNodeName.clear();
        node.strPkgName.clear();
        node.strPkgPath.clear();
    }
    g_astExportFileCfg.ExportFrom = EXPORT_FROM_NONE;
    g_astExportFileCfg.ExportPid = EXPORT_PID_NONE;
    g_astExportFileCfg.ExportOpcode = 0;
    g_astExportFileCfg.ExportNeedMem = 0;
    g_astExportFileCfg.ExportType = EXPORT_TYPE_NONE;
    g_astExportFileCfg.llFinishDeadline = 0;
    g_astExportFileCfg.iGatherResult = EXPORT_GATHER_RUNNING;
    g_astExportFileCfg.uiGatherWaitLimit = 0;
    g_astExportFileCfg.iReservedVerdict = -1;
}

void initExportFileBitMap(uint32_t type) {
    ExportCfgLock lock(ExportCfgMutex());
    for (uint16_t id = 0; id < EXPORT_MAX_NODE_NUM; ++id) {
        tagCOLLECOR_EXPORT_NODE_INFO_S& node = g_astExportFileCfg.astNode[id];
        node.uiCollectStatus = EXPORT_STATUS_INIT;
        node.ucSelected = 0;
        node.uiAnswered = EXPORT_ANSWERED_NO;
        node.uiSecondStatus = EXPORT_STATUS_INIT;
        node.uiSecondAnswered = EXPORT_ANSWERED_NO;
        // An id without a controller keeps an empty name; it is never selected.
        std::string name;
        (void)omlib::getControllerName(id, name);
        node.strNodeName = name;
        if (IsDiagnoseType(type)) {
            node.strPkgName = std::string(EXPORT_DIAGNOSE_PKG_PREFIX) + name + EXPORT_DIAGNOSE_PKG_SUFFIX;
        }
        node.strPkgPath.clear();
    }
}

void getExportFileStrategy(uint32_t type) {
    ExportCfgLock lock(ExportCfgMutex());
    if (IsDiagnoseType(type)) {
        g_astExportFileCfg.ExportFrom = EXPORT_FROM_DIAGNOSE;
        g_astExportFileCfg.ExportPid = EXPORT_DIAGNOSE_PID;
        g_astExportFileCfg.ExportOpcode = EXPORT_DIAGNOSE_OPCODE;
        g_astExportFileCfg.ExportNeedMem = EXPORT_DIAGNOSE_NEED_MEM;
        g_astExportFileCfg.ExportType = type;
        g_astExportFileCfg.strExportPath = strDiagnoseInfoPath;
        g_astExportFileCfg.strExportName = strDiagnoseInfoName;
        g_astExportFileCfg.iGatherResult = EXPORT_GATHER_RUNNING;
        g_astExportFileCfg.uiGatherWaitLimit = EXPORT_DIAGNOSE_WAIT_LIMIT;
    }
    CHS_LOG(1, LOGID_EXPORT,
            "Get export strategy param(ExportFrom=%d, ExportPid=%d, ExportOpcode=%d, ExportNeedMem=%d, "
            "ExportType=%d) from conf file success.",
            static_cast<int>(g_astExportFileCfg.ExportFrom), static_cast<int>(g_astExportFileCfg.ExportPid),
            static_cast<int>(g_astExportFileCfg.ExportOpcode),
            static_cast<int>(g_astExportFileCfg.ExportNeedMem),
            static_cast<int>(g_astExportFileCfg.ExportType));
    InitExportRunningAndEventStatus();
    initExportFileBitMap(type);
}

uint32_t FreshExportBitMapStatus() {
    uint32_t count = omlib::getConfigNodeNum();
    // A cluster file claiming more nodes than there are records must not
    // write past the table.
    if (count > EXPORT_MAX_NODE_NUM) {
        count = EXPORT_MAX_NODE_NUM;
    }
    ExportCfgLock lock(ExportCfgMutex());
    for (uint32_t id = 0; id < count; ++id) {
        tagCOLLECOR_EXPORT_NODE_INFO_S& node = g_astExportFileCfg.astNode[id];
        node.ucSelected = 1;
        node.uiCollectStatus = EXPORT_STATUS_COLLECTING;
        node.uiSecondStatus = EXPORT_STATUS_COLLECTING;
    }
    return 0;
}

void ExpDiagPostAckMsg(InnerMsg& msg, uint32_t opcode, int32_t code) {
    try {
        MsgObject body;
        MsgRecord* record = new MsgRecord(opcode);
        body.append(record);
        record->appendInner(CTLVCell::NewInt32(MSG_TAG_ERROR_CODE, code));
        if (!msg.PostAckMsg(body)) {
            CHS_LOG(3, LOGID_EXPORT, "Failed to post ack msg.");
        }
    } catch (...) {
        CHS_LOG(3, LOGID_EXPORT, "Something wrong with post ack msg.");
    }
}

void exportTimeOutHandle(InnerMsg&) { CHS_LOG(3, LOGID_EXPORT, "Send exort file msg timeout"); }
