#include "collector/collector_msg_handler.h"

#include <new>

#include "collector/collect_file_handoff.h"
#include "collector/node_status.h"
#include "collector/plugin_quarantine.h"
#include "infra/chs_log.h"
#include "msg/chs_wire.h"

const tagCOLLECTOR_MSG_FUNC_ENTRY g_COLLECTOR_MSG_Func_Entry[COLLECTOR_MSG_FUNC_NUM] = {
    {chs_wire::RECORD_SET_SWITCH, chs_wire::SWITCH_QUALIFIER, HandleSetSwitch, 1},
    {chs_wire::RECORD_QUERY_SWITCH, chs_wire::SWITCH_QUALIFIER, HandleQueryCollectorSwitch, 1},
    {chs_wire::OPCODE_SWITCH_DB_CHANGE, 0, HandleCollectorSwitchDbChange, 0},
    {chs_wire::OPCODE_EXPORT_FILE, 0, handleExportFile, 1},
    {chs_wire::OPCODE_EXPORT_DELETE_FILE, 0, processDelFileFromPeer, 1},
    {chs_wire::OPCODE_EXPORT_QUERY_PEER_STATUS, 0, processQueryDiagDataStatus, 1},
    {chs_wire::OPCODE_EXPORT_NODE_BUILD, 0, handleExportDiagnoseFileForSingleRun, 1},
    {chs_wire::OPCODE_EXPORT_GET_STATUS, 0, handleGetExportStatusForSingelRun, 1},
    {chs_wire::OPCODE_EXPORT_DOWNLOAD, 0, handleDownLoadFileHandleForSingleRun, 1},
    {chs_wire::OPCODE_EXPORT_CLEAR, 0, handleClearExportDataForSingelRun, 1},
    {chs_wire::OPCODE_PKG_COLLECTOR_FILE, 0, HandlePkgCollectorFile, 1},
    {chs_wire::OPCODE_REMOTE_LOG_COLLECT, 0, handleRemoteLogCollect, 1},
    {chs_wire::OPCODE_REMOTE_LOG_STOP, 0, handleStopRemoteLogCollect, 1},
    {chs_wire::OPCODE_COLLECTOR_SWITCH_CHANGE, 0, HandleCollectorSwichChange, 1},
    {chs_wire::OPCODE_CLEAR_ALL_COLLECTOR_FILE, 0, HandleClearAllCollectorFile, 1},
};

namespace {

// Requests of this project's own, beside the table of the management interface above.
const tagCOLLECTOR_MSG_FUNC_ENTRY kExtensionEntries[] = {
    {chs_wire::OPCODE_NODE_STATUS, 0, HandleNodeStatus, 1},
    {chs_wire::OPCODE_PLUGIN_RELEASE, 0, HandleReleasePlugin, 1},
};

}  // namespace

MsgHandle* NewCollectorHandler(void (*function)(InnerMsg&), uint32_t priority) {
    return new (std::nothrow) MsgHandleWrapper(function, priority);
}

CollectorHandlerFactory g_pfnCollectorHandlerFactory = NewCollectorHandler;

// The switch and clear handlers live in control/collector_switch.h, the
// diagnose export handlers in export/, the remote log task handlers in
// logexport/.

namespace {

// Registers one handler; 0, or -1 with the failure logged.
int RegisterCollectorEntry(MsgProcessClass* engine, const tagCOLLECTOR_MSG_FUNC_ENTRY& entry) {
    uint32_t subKey = static_cast<uint32_t>(entry.ullSubKey);
    MsgHandle* handler =
        g_pfnCollectorHandlerFactory(entry.pfnHandle, static_cast<uint32_t>(entry.ullPri));
    bool registered = handler != nullptr;
    // The helper destroys a handler the engine refuses; the lookup tells
    // whether this one is the handler now in place.
    engine->AddHandlerHelper(handler, entry.ullKey, subKey);
    if (registered) {
        registered = engine->SearchHander((static_cast<unsigned long long>(subKey) << 16) +
                                          entry.ullKey) == handler;
    }
    if (!registered) {
        CHS_LOG(3, LOGID_COLLECTOR, " Failed to register collector msg 0x%llX.", entry.ullKey);
        return -1;
    }
    return 0;
}

}  // namespace

int InitInfoCollectMsgHandler() {
    MsgProcessClass* engine = MsgProcessClass::Instance();
    if (engine->Init(CHS_COLLECTOR_PID) != 0) {
        CHS_LOG(3, LOGID_COLLECTOR, "Failed to init msg.");
    }
    for (const tagCOLLECTOR_MSG_FUNC_ENTRY& entry : g_COLLECTOR_MSG_Func_Entry) {
        if (RegisterCollectorEntry(engine, entry) != 0) {
            return -1;
        }
    }
    for (const tagCOLLECTOR_MSG_FUNC_ENTRY& entry : kExtensionEntries) {
        if (RegisterCollectorEntry(engine, entry) != 0) {
            return -1;
        }
    }
    return 0;
}
