#include "collector/collector_msg_handler.h"

#include <new>

#include "collector/collect_file_handoff.h"
#include "infra/chs_log.h"

const tagCOLLECTOR_MSG_FUNC_ENTRY g_COLLECTOR_MSG_Func_Entry[COLLECTOR_MSG_FUNC_NUM] = {
    {0xD00002000ULL, 0xE05C, HandleSetSwitch, 1},
    {0xD00000000ULL, 0xE05C, HandleQueryCollectorSwitch, 1},
    {0x7000300E, 0, HandleCollectorSwitchDbChange, 0},
    {0x70003014, 0, handleExportFile, 1},
    {0x70003016, 0, processDelFileFromPeer, 1},
    {0x70003021, 0, processQueryDiagDataStatus, 1},
    {0x70003015, 0, handleExportDiagnoseFileForSingleRun, 1},
    {0x70003017, 0, handleGetExportStatusForSingelRun, 1},
    {0x70003018, 0, handleDownLoadFileHandleForSingleRun, 1},
    {0x70003019, 0, handleClearExportDataForSingelRun, 1},
    {0x70003004, 0, HandlePkgCollectorFile, 1},
    {0x70003010, 0, handleRemoteLogCollect, 1},
    {0x70003011, 0, handleStopRemoteLogCollect, 1},
    {0x7000300A, 0, HandleCollectorSwichChange, 1},
    {0x7000300F, 0, HandleClearAllCollectorFile, 1},
};

MsgHandle* NewCollectorHandler(void (*function)(InnerMsg&), uint32_t priority) {
    return new (std::nothrow) MsgHandleWrapper(function, priority);
}

CollectorHandlerFactory g_pfnCollectorHandlerFactory = NewCollectorHandler;

// The switch and clear handlers live in control/collector_switch.h, the
// diagnose export handlers in export/, the remote log task handlers in
// logexport/.

int InitInfoCollectMsgHandler() {
    MsgProcessClass* engine = MsgProcessClass::Instance();
    if (engine->Init(CHS_COLLECTOR_PID) != 0) {
        CHS_LOG(3, LOGID_COLLECTOR, "Failed to init msg.");
    }
    for (const tagCOLLECTOR_MSG_FUNC_ENTRY& entry : g_COLLECTOR_MSG_Func_Entry) {
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
            CHS_LOG(3, LOGID_COLLECTOR, " Failed to register collector msg");
            return -1;
        }
    }
    return 0;
}
