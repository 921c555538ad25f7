#include "core/chs_init.h"

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

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
#include "platform/dplog.h"
#include "platform/fdsa.h"
#include "platform/om_cluster.h"

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
    {
        // A shutdown under way holds this lock until the process ends:
        // nothing starts after its stop. With the switch off the drivers
        // were never started, so the first supervision step does not stop them.
        std::lock_guard<std::mutex> lock(g_mutexSwitchStatus);
        PLUGIN_SWITCH_STATUS = collectorSwitch == kSwitchOn;
        if (PLUGIN_SWITCH_STATUS) {
            int32_t failed = InfoCollectEngineClass::instance()->StartAllCollect();
            if (failed != 0) {
                CHS_LOG(3, LOGID_CORE, "%d input drivers did not start.", static_cast<int>(failed));
            }
        }
    }
    if (collectorSwitch == kSwitchOn) {
        RecoverRemoteTask();
    }
    CHS_LOG(1, LOGID_CORE, "[OMM]Info collector init Done.");
    return 0;
}

int g_shutdownPipe[2] = {-1, -1};

void OnShutdownSignal(int signo) {
    int saved = errno;
    unsigned char byte = static_cast<unsigned char>(signo);
    (void)!write(g_shutdownPipe[1], &byte, 1);
    errno = saved;
}

[[noreturn]] void ShutDown(int signo) {
    const char* name = signo == SIGINT ? "SIGINT" : "SIGTERM";
    CHS_LOG(1, LOGID_CORE, "%s received: stopping every input driver, then exiting.", name);
    // Held to the end: no switch change and no start-up start can follow.
    g_mutexSwitchStatus.lock();
    PLUGIN_SWITCH_STATUS = false;
    int32_t failed = InfoCollectEngineClass::instance()->Exit();
    if (failed != 0) {
        CHS_LOG(2, LOGID_CORE, "%d input drivers failed or did not stop in time; exiting without them.",
                static_cast<int>(failed));
    } else {
        CHS_LOG(1, LOGID_CORE, "Every input driver stopped.");
    }
    CHS_LOG(1, LOGID_CORE, "[OMM]Info collector exits on %s.", name);
    platform::LogClose();
    platform::DetachCluster();
    // Not exit(): threads left behind in plugin code must not meet the
    // destructors of static objects.
    _exit(0);
}

void WaitForShutdownSignal() {
    for (;;) {
        unsigned char byte = 0;
        ssize_t got = read(g_shutdownPipe[0], &byte, 1);
        if (got == 1) {
            ShutDown(byte);
        }
        if (got < 0 && errno == EINTR) {
            continue;
        }
        CHS_LOG(3, LOGID_CORE, "The shutdown pipe failed (errno %d): SIGTERM and SIGINT now end the daemon at once.",
                got < 0 ? errno : 0);
        signal(SIGTERM, SIG_DFL);
        signal(SIGINT, SIG_DFL);
        return;
    }
}

}  // namespace

bool CHS_InstallShutdownOnSignals() {
    if (g_shutdownPipe[0] < 0 && pipe2(g_shutdownPipe, O_CLOEXEC) != 0) {
        CHS_LOG(3, LOGID_CORE, "No clean shutdown: the signal pipe cannot be made (errno %d).", errno);
        return false;
    }
    // A flood of signals must never block the handler.
    (void)fcntl(g_shutdownPipe[1], F_SETFL, O_NONBLOCK);
    try {
        std::thread(WaitForShutdownSignal).detach();
    } catch (const std::system_error& error) {
        CHS_LOG(3, LOGID_CORE, "No clean shutdown: the signal thread does not start (%s).", error.what());
        return false;
    }
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    action.sa_handler = OnShutdownSignal;
    if (sigaction(SIGTERM, &action, nullptr) != 0 || sigaction(SIGINT, &action, nullptr) != 0) {
        CHS_LOG(3, LOGID_CORE, "No clean shutdown: the signal handlers cannot be set (errno %d).", errno);
        return false;
    }
    return true;
}

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
