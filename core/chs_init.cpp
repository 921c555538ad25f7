#include "core/chs_init.h"

#include <malloc.h>

#include <exception>

#include "collector/collector_db.h"
#include "collector/collector_msg_handler.h"
#include "collector/info_collect_engine.h"
#include "control/collector_ccdb.h"
#include "control/collector_switch.h"
#include "core/collector_dir.h"
#include "core/trace_point.h"
#include "export/diagnose_download.h"
#include "export/export_frame.h"
#include "infocollector/https_client.h"
#include "infra/chs_log.h"
#include "infra/log_rate_limit.h"
#include "infra/timer_drv.h"
#include "logexport/log_list_service.h"
#include "logexport/remote_log_task.h"
#include "msg/msg_process.h"
#include "platform/fdsa.h"

uint32_t g_uiSupervisionPeriodMs = 60000;
uint32_t g_uiCurlRetryMs = 3000;

namespace {

const char* const kSwitchOn = "on";

struct MarkerEntry {
    const char* pcName;
    int (*pHandler)(void*);
};

const MarkerEntry kSupervisionMarkers[] = {
    {"TP_MON_COLLECTOR_Main_MallocHugeMem", ChsTpMallocCallback},
    {"TP_MON_COLLECTOR_Main_HighCPU", ChsTpCpuCallback},
    {"TP_MON_COLLECTOR_Main_HighHandler", ChsTpHandlerCallback},
};

int32_t InitSubsystems() {
    if (!CURL_Init()) {
        TimerDrvClass::Sleep(g_uiCurlRetryMs);
        if (!CURL_Init()) {
            return -1;
        }
    }

    uint32_t ccdbResult = COLLECTOR_CCDB::Init();
    std::string collectorSwitch = GetLastKnownCollectorSwitch();
    uint32_t switchResult = COLLECTOR_CCDB::GetCollectorSwitch(collectorSwitch);
    SetLastKnownCollectorSwitch(collectorSwitch);
    if (ccdbResult != 0 || switchResult != 0) {
        CHS_LOG(3, LOGID_CORE, "Info collector init failed.");
        CCDB_COMM::WaitCcdbUpgrade();
        return -1;
    }

    int ret = FDSA_AgentInitSub(551);
    if (ret == 0) {
        ret = FDSA_AgentMonitorInitSub(551, 100, 60);
    }
    if (ret != 0) {
        CHS_LOG(1, LOGID_CORE, "Init info collector fdsa_agent failed.");
    }

    g_pfnClockTracePoint = [] { ChsTpCheckPoint("TP_MON_CHS_ClockTask_Sleep2H"); };
    // Without its timers the daemon cannot collect, supervise its flows or
    // recycle timer objects: that ends start-up.
    if (!TimerDrvClass::instance()->Init(5)) {
        CHS_LOG(3, LOGID_CORE, "Info collector init failed: the timer driver does not start.");
        return -1;
    }

    InitExportErrorCodeDesc();
    int32_t msgResult = -1;
    try {
        msgResult = InitInfoCollectMsgHandler() == 0 && InitLogServiceMsgHandler() == 0 ? 0 : -1;
    } catch (const std::exception& error) {
        // A task thread that does not start ends start-up like any other
        // failure, with exit status 1 rather than an abort.
        CHS_LOG(3, LOGID_CORE, "Init msg failed: %s", error.what());
    }

    RecoverCollectorDirForCofferData();
    int32_t result = RecoverDb() != 0 ? -1 : msgResult;
    CollectorDbOper("");
    if (result != 0) {
        CHS_LOG(3, LOGID_CORE, "Info collector init failed.");
        CCDB_COMM::WaitCcdbUpgrade();
        return -1;
    }

    InfoCollectEngineClass::instance()->Init();
    if (collectorSwitch == kSwitchOn) {
        InfoCollectEngineClass::instance()->StartAllCollect();
        RecoverRemoteTask();
    }
    CHS_LOG(1, LOGID_CORE, "[OMM]Info collector init Done.");
    return 0;
}

}  // namespace

int32_t CHS_Init() {
    // Any subsystem whose thread does not start (the flow monitor's watcher,
    // an engine's worker) throws; start-up then fails with status 1 instead
    // of aborting the process.
    try {
        return InitSubsystems();
    } catch (const std::exception& error) {
        CHS_LOG(3, LOGID_CORE, "Info collector init failed: %s", error.what());
        return -1;
    }
}

void CHS_CheckEveryMinute() {
    for (const MarkerEntry& marker : kSupervisionMarkers) {
        ChsTpCheckPoint(marker.pcName, marker.pHandler);
    }
    ControlPluginsBySwitch();
    MsgProcessClass::Instance()->CheckMsgQue();
    CheckLogIdNums();
}

void CHS_SupervisionLoop(uint32_t cycles) {
    int32_t minuteCounter = 0;
    for (uint32_t done = 0; cycles == 0 || done < cycles; ++done) {
        CHS_CheckEveryMinute();
        if (minuteCounter == 5) {
            ClearExportDiagnoseInfoRecord();
            minuteCounter = 1;
        } else {
            ++minuteCounter;
        }
        CHS_LOG(0, LOGID_CORE, "Supervision cycle %u done, next in %u ms.", done + 1, g_uiSupervisionPeriodMs);
        TimerDrvClass::Sleep(g_uiSupervisionPeriodMs);
        malloc_trim(0);
    }
}
