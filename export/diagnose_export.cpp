// Diagnose export, gathering side: the entry on the run node, the gathering
// thread, the notification of every selected node and the handling of their
// answers, and the probe of nodes that are out of the online map.
#include "export/diagnose_export.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <thread>
#include <vector>

#include "collector/collect_file_handoff.h"
#include "collector/node_status.h"
#include "control/remote_task.h"
#include "core/omlib.h"
#include "export/data_export.h"
#include "export/diagnose_download.h"
#include "export/diagnose_globals.h"
#include "export/export_frame.h"
#include "export/msg_single_run.h"
#include "include/infocollector/collector_dir.h"
#include "infra/chs_log.h"
#include "infra/exec_cmd.h"
#include "infra/string_util.h"
#include "infra/timer_drv.h"
#include "platform/platform_profile.h"
#include "infra/detached_tasks.h"

ExportExecFn g_pfnExportExec = chs_execCmdWithoutOutput;
uint32_t g_uiExportGatherPollMs = 1000;
std::atomic<bool> g_bGathering{false};

namespace {

constexpr const char* kPingCmd = "ping %s -c 2 | grep 'ttl=' && exit 0 || exit 2 ";
constexpr size_t kPingCmdBufferLen = 256;

bool IsDirectory(const std::string& realPath) {
    struct stat st {};
    return stat(realPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Whether the directory's permission bits (set-id and sticky bits included)
// are already EXPORT_DIR_MODE, so that a chmod to it would change nothing.
bool HasExportDirMode(const std::string& realPath) {
    struct stat st {};
    return stat(realPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           (st.st_mode & 07777) == static_cast<mode_t>(std::stoul(EXPORT_DIR_MODE, nullptr, 8));
}

// The gathering thread waits here between polls; a settled node record
// wakes it at once, so an export ends when its last node does rather than at
// the next poll.
std::mutex g_gatherMutex;
std::condition_variable g_gatherCond;

// Waits one poll period or until the collection finishes; true when the
// period ran out.
bool WaitOnePoll() {
    std::unique_lock<std::mutex> lock(g_gatherMutex);
    return !g_gatherCond.wait_for(lock, std::chrono::milliseconds(g_uiExportGatherPollMs),
                                  [] { return isInnerFinishedCollection() == 1; });
}

// Cells of the build notification and of its answer.
constexpr unsigned short kNoticeTagCcdbType = chs_wire::BUILD_TAG_CCDB_TYPE;
constexpr unsigned short kNoticeTagRunNode = chs_wire::BUILD_TAG_RUN_NODE;
constexpr unsigned short kNoticeTagType = chs_wire::BUILD_TAG_TYPE;
constexpr unsigned short kNoticeTagPath = chs_wire::BUILD_TAG_PATH;
constexpr unsigned short kAckTagResult = chs_wire::BUILD_ACK_TAG_RESULT;
constexpr unsigned short kAckTagName = chs_wire::BUILD_ACK_TAG_NAME;
constexpr unsigned short kAckTagSize = chs_wire::BUILD_ACK_TAG_SIZE;
constexpr unsigned short kAckTagPath = chs_wire::BUILD_ACK_TAG_PATH;

// Set while this node builds its own package (run node share or a
// notification); guarded by its mutex.
std::mutex g_exportingMutex;
bool g_bExporting = false;

// Holds the node-local exporting flag for one build; `acquired` is false when
// another build holds it.
class ExportingFlag {
  public:
    ExportingFlag() {
        std::lock_guard<std::mutex> lock(g_exportingMutex);
        acquired = !g_bExporting;
        g_bExporting = true;
    }
    ~ExportingFlag() {
        if (acquired) {
            std::lock_guard<std::mutex> lock(g_exportingMutex);
            g_bExporting = false;
        }
    }
    ExportingFlag(const ExportingFlag&) = delete;
    ExportingFlag& operator=(const ExportingFlag&) = delete;
    bool acquired;
};

int64_t ReadInt(const MsgRecord& record, unsigned short tag) {
    const CTLVCell& cell = record[tag];
    return cell.GetInt64();
}

// The size of this node's package file; false when it cannot be read.
bool PackageSize(uint32_t& size) {
    struct stat st {};
    std::string path = platform::RealPath(strDiagnoseInfoPath + strDiagnoseExportName);
    if (stat(path.c_str(), &st) != 0 || st.st_size > UINT32_MAX) {
        return false;
    }
    size = static_cast<uint32_t>(st.st_size);
    return true;
}

void NoteMasterPackage(uint16_t node, const std::string& name) {
    if (name.find("MAIN") != std::string::npos) {
        g_uiMasterNid = node;
    }
}

void MarkNodeFailed(tagCOLLECOR_EXPORT_NODE_INFO_S& record) {
    ExportCfgLock lock(ExportCfgMutex());
    record.uiCollectStatus = EXPORT_STATUS_FAILED;
    record.uiAnswered = EXPORT_ANSWERED_YES;
}

// The run node's own package build, started by the gathering and joined by it
// before it settles the export: a build that outlived the gathering would
// write the record while a download merges. Never destroyed, so that a
// build still running at exit does not end the process.
std::mutex g_localBuildMutex;
std::thread& LocalBuild() {
    static std::thread* build = new std::thread();
    return *build;
}

void JoinLocalBuild() {
    std::lock_guard<std::mutex> lock(g_localBuildMutex);
    if (LocalBuild().joinable()) {
        LocalBuild().join();
    }
}

void StartLocalBuild(uint16_t node, uint32_t type) {
    std::lock_guard<std::mutex> lock(g_localBuildMutex);
    if (LocalBuild().joinable()) {
        LocalBuild().join();  // its node-local flag would refuse the new build anyway
    }
    LocalBuild() = std::thread(exportLocalFileThread, node, type);
}

}  // namespace

void NotifyGatherProgress() {
    std::lock_guard<std::mutex> lock(g_gatherMutex);
    g_gatherCond.notify_all();
}

void WaitGatheringEnd(uint32_t ms) {
    std::unique_lock<std::mutex> lock(g_gatherMutex);
    if (!g_bGathering.load()) {
        // Nothing to end the wait early: the whole period.
        g_gatherCond.wait_for(lock, std::chrono::milliseconds(ms), [] { return false; });
        return;
    }
    g_gatherCond.wait_for(lock, std::chrono::milliseconds(ms), [] { return !g_bGathering.load(); });
}

std::string strDiagnoseExportLocalPath;
std::string strDiagnoseExportName;

std::string ExportSudo() { return platform::GetProfile().strSudoPrefix; }

int32_t ExecExportCmdWithRetry(const std::string& cmd, uint32_t timeoutMs) {
    int32_t ret = g_pfnExportExec(cmd, timeoutMs);
    if (ret != 0) {
        ret = g_pfnExportExec(cmd, timeoutMs);
    }
    return ret;
}

int32_t MakeExportDirUsable(const std::string& dir) {
    std::string real = platform::RealPath(dir);
    if (!IsDirectory(real)) {
        if (CreateDir(real, EXPORT_DIR_MODE) != 0 && CreateDir(real, EXPORT_DIR_MODE) != 0) {
            return -1;
        }
    } else if (!HasExportDirMode(real)) {
        // Each export passes here on every node before its script starts: a
        // directory that already has the mode costs no command.
        std::string cmd = ExportSudo() + "chmod " + EXPORT_DIR_MODE + " " + ShellQuote(real);
        (void)g_pfnExportExec(cmd, EXPORT_CMD_TIMEOUT_MS);
    }
    return IsDirectory(real) ? 0 : -1;
}

void InitExportRequest(InnerMsg& msg, uint16_t node, uint16_t pid, uint32_t opcode, uint32_t timeoutSec) {
    tagMsgInfo& info = msg.GetMsgInfo();
    info.usSenderBID = omlib::getLocalNidInUser();
    info.usSenderPID = EXPORT_DIAGNOSE_PID;
    info.usReceiverBID = node;
    info.usReceiverPID = pid;
    info.uiMsgOPCode = opcode;
    info.uiMsgTimeout = timeoutSec;
    info.usMsgType = MSG_TYPE_REQUEST;
}

// ---------------------------------------------------------------- entry

void handleExportFile(InnerMsg& request) {
    CHS_LOG(1, LOGID_EXPORT, "Collect export diagnose file task.");
    MsgObject& body = request.GetBody();
    if (body.size() == 0) {
        CHS_LOG(3, LOGID_EXPORT, "Failed to parse the objReqMsg, objReqMsg.count is (%lu).",
                static_cast<unsigned long>(body.size()));
        ExpDiagPostAckMsg(request, EXPORT_OPCODE_EXPORT_FILE, static_cast<int32_t>(EXPORT_ERR_GENERAL));
        return;
    }
    uint32_t type = 0;
    try {
        const MsgRecord& record = body[0];
        std::string taskId = static_cast<const char*>(record[EXPORT_TAG_TASK_ID]);
        type = ExportTypeFromWire(ReadInt(record, EXPORT_TAG_TYPE));
        (void)record[EXPORT_TAG_RESERVED64].GetInt64();
        (void)ReadInt(record, EXPORT_TAG_RESERVED);
    } catch (...) {
        CHS_LOG(3, LOGID_EXPORT, "An exception occurred during getting the info from the reqMsg.");
        ExpDiagPostAckMsg(request, EXPORT_OPCODE_EXPORT_FILE, static_cast<int32_t>(EXPORT_ERR_GENERAL));
        return;
    }
    type = NormalizeExportType(type);
    // Without the CCDB no task row keeps a second export out, and its set-up
    // would reset the record under the gathering that runs.
    // A merge of the last export takes its parts from the record and the
    // diagnose directory that a new export would reset and empty.
    if (g_bGathering.load() || g_bExportMerging.load()) {
        CHS_LOG(2, LOGID_EXPORT, "Task is exporting , try again later!");
        ExpDiagPostAckMsg(request, EXPORT_OPCODE_EXPORT_FILE, static_cast<int32_t>(EXPORT_ERR_TASK_RUNNING));
        return;
    }

    uint32_t ret = transExpFileRetValue(exportFilePreHandle(type), type);
    if (ret != 0) {
        static std::mutex lineMutex;
        static uint64_t windowStart = 0;
        static uint32_t count = 0;
        std::lock_guard<std::mutex> lock(lineMutex);
        chsLogPrintLimit(windowStart, count, 3600, 1, 2, LOGID_EXPORT, __FUNCTION__, __LINE__, "Export type(",
                         type, ") abnormal during prehandle exporting file.");
        ExpDiagPostAckMsg(request, EXPORT_OPCODE_EXPORT_FILE, static_cast<int32_t>(ret));
        return;
    }
    if (omlib::testDiskMount(EXPORT_COFFER_MOUNT_PATH) != 0) {
        // The strategy stays set up; the next admission check clears it.
        CHS_LOG(3, LOGID_EXPORT, "The coffer data disk is abnormal.");
        ExpDiagPostAckMsg(request, EXPORT_OPCODE_EXPORT_FILE, static_cast<int32_t>(EXPORT_ERR_GENERAL));
        return;
    }
    if (createExportDiagnoseProcDir() != 0) {
        ClearExportStrategy();
        ExpDiagPostAckMsg(request, EXPORT_OPCODE_EXPORT_FILE, static_cast<int32_t>(EXPORT_ERR_GENERAL));
        return;
    }
    std::string taskId;
    ret = updateExportTaskDBInfo(type, taskId, 0);
    if (ret != 0) {
        ClearExportStrategy();
        CHS_LOG(3, LOGID_EXPORT, "Add remote task info failed(%d)!", static_cast<int>(ret));
        ExpDiagPostAckMsg(request, EXPORT_OPCODE_EXPORT_FILE, static_cast<int32_t>(ret));
        return;
    }
    g_uiMasterNid = EXPORT_MASTER_NID_UNKNOWN;
    uint32_t verdict = exportFileHandle(type, ToStr(request.GetSessionKey()));
    if (transExpFileRetValue(verdict, type) != 0) {
        (void)DeleteRemoteTask(REMOTE_TASK_DIAGNOSE_EXPORT);
        ClearExportStrategy();
        ExpDiagPostAckMsg(request, EXPORT_OPCODE_EXPORT_FILE, static_cast<int32_t>(verdict));
        CHS_LOG(3, LOGID_EXPORT, "Export file failed, type(%d), ret (%d)!", static_cast<int>(type),
                static_cast<int>(verdict));
        return;
    }
    ExpDiagPostAckMsg(request, EXPORT_OPCODE_EXPORT_FILE, 0);
    if (type == EXPORT_TYPE_DIAGNOSE_ALARM || type == EXPORT_TYPE_DIAGNOSE_CIRCLE) {
        notifyExportDiagFile(type);
    }
}

uint32_t updateExportTaskDBInfo(uint32_t type, std::string& taskId, uint64_t /*value*/) {
    uint32_t ccdbType = g_updateCCDBType;
    if (ccdbType == UPDATE_CCDB_ABNORMAL) {
        return 0;
    }
    if (ccdbType != UPDATE_CCDB_NO_TASK) {
        return EXPORT_ERR_GENERAL;
    }
    // The task id is the daemon's clock in milliseconds: unique across
    // restarts, so the stale-task watch never mistakes a new task for an old.
    taskId = ToStr(TimerDrvClass::Now());
    uint32_t ret = InsertRemoteTask(REMOTE_TASK_DIAGNOSE_EXPORT, type, taskId, 0, 0);
    if (ret == 0) {
        return 0;
    }
    return ret == static_cast<uint32_t>(CCDB_COMM::CCDB_CLIENT_OBJ_EXIST) ? EXPORT_ERR_TASK_RUNNING
                                                                          : EXPORT_ERR_GENERAL;
}

uint32_t exportFileHandle(uint32_t type, const std::string& sessionKey) {
    CHS_LOG(1, LOGID_EXPORT, "Infocollector begin to export File.");
    uint32_t ret = checkMemEnough(type);
    if (ret != 0) {
        CHS_LOG(3, LOGID_EXPORT, "The space is not enough for exporting file.");
        return ret;
    }
    g_bGathering = true;
    if (!StartDetachedTask([type, sessionKey] { exportFileThread(type, sessionKey); })) {
        g_bGathering = false;
        CHS_LOG(3, LOGID_EXPORT, "Failed to start the export thread.");
        return EXPORT_INNER_ERROR;
    }
    return 0;
}

void exportFileThread(uint32_t type, std::string sessionKey) { gatherAllNodesFileThread(type, sessionKey); }

// ------------------------------------------------------------- gathering

void gatherAllNodesFileThread(uint32_t type, const std::string& /*sessionKey*/) {
    uint32_t pid = 0;
    uint32_t opcode = 0;
    uint32_t waitLimit = 0;
    {
        ExportCfgLock lock(ExportCfgMutex());
        pid = g_astExportFileCfg.ExportPid;
        opcode = g_astExportFileCfg.ExportOpcode;
        waitLimit = g_astExportFileCfg.uiGatherWaitLimit;
    }
    // The other online nodes start building first: their directories are
    // theirs, so they need not wait for this node's to be emptied. One
    // reading of the online map splits the nodes, so that each falls in
    // exactly one of the two passes.
    uint32_t online = 0;
    (void)omlib::getOnlineMap(online);
    notifyExpFileFromAllNodes(type, pid, opcode, NotifyPass::kOnlinePeers, online);
    // The run node's diagnose directory is emptied here, before anything is
    // put into it: the data exports below copy into it while this node's own
    // build still runs, so that build must not empty it (the other nodes'
    // builds empty theirs).
    ClearDiagnseData();
    notifyExpFileFromAllNodes(type, pid, opcode, NotifyPass::kTheRest, online);
    NotifyExportRunningData();
    NotifyExportAlmAndEvent();

    int32_t gather = 0;
    uint32_t polls = 0;
    bool finished = false;
    for (;;) {
        finished = isInnerFinishedCollection() == 1;
        if (finished || polls >= waitLimit) {
            break;
        }
        CHS_LOG(0, LOGID_EXPORT, "The node does not finish the info collection(%d).", EXPORT_GATHER_RUNNING);
        // Only whole periods count toward the limit, which thus stays a time.
        if (WaitOnePoll()) {
            ++polls;
        }
    }
    // This node's build is bounded by the script's own time-outs; once it has
    // ended nothing of this export writes the node records any more.
    JoinLocalBuild();
    if (!finished) {
        finished = isInnerFinishedCollection() == 1;
    }
    int64_t deadline = static_cast<int64_t>(time(nullptr)) + EXPORT_FINISH_GRACE_SEC;
    uint32_t result = getExportResult(finished ? 0xFFFFFFFF : 0);
    if (result == 0 || result == EXPORT_STATUS_ABNORMAL) {
        gather = 0;
    } else {
        gather = EXPORT_GATHER_FAILED;
        (void)DeleteRemoteTask(REMOTE_TASK_DIAGNOSE_EXPORT);
    }
    {
        ExportCfgLock lock(ExportCfgMutex());
        g_astExportFileCfg.llFinishDeadline = deadline;
        g_astExportFileCfg.iGatherResult = gather;
    }
    CHS_LOG(1, LOGID_EXPORT, "Infocollector collect file(%u) finished, result(%d), time(%lld).", type,
            static_cast<int>(gather), static_cast<long long>(deadline));
    g_bGathering = false;
    NotifyGatherProgress();
}

void notifyExpFileFromAllNodes(uint32_t type, uint32_t pid, uint32_t opcode, NotifyPass pass, uint32_t online) {
    uint16_t self = omlib::getLocalNidInUser();
    for (uint16_t node = 0; node < EXPORT_MAX_NODE_NUM; ++node) {
        bool selected = false;
        {
            ExportCfgLock lock(ExportCfgMutex());
            selected = g_astExportFileCfg.astNode[node].ucSelected == 1;
        }
        if (!selected) {
            continue;
        }
        if (pass != NotifyPass::kAll) {
            bool onlinePeer = node != self && omlib::TestBit(online, node);
            if (onlinePeer != (pass == NotifyPass::kOnlinePeers)) {
                continue;
            }
        }
        (void)notifyExportDiagnoseFile(type, node, pid, opcode);
    }
}

int32_t notifyExportDiagnoseFile(uint32_t type, uint16_t node, uint32_t pid, uint32_t opcode) {
    uint16_t self = omlib::getLocalNidInUser();
    if (self >= EXPORT_MAX_NODE_NUM || node >= EXPORT_MAX_NODE_NUM) {
        CHS_LOG(3, LOGID_EXPORT, "The export node is invalid.");
        return -1;
    }
    tagCOLLECOR_EXPORT_NODE_INFO_S& record = g_astExportFileCfg.astNode[node];
    uint32_t online = 0;
    (void)omlib::getOnlineMap(online);
    if (!omlib::TestBit(online, node)) {
        int32_t conn = checkNodeConnForLogCollect(node);
        if (conn == 0) {
            return colUnNormalNodeLogs(node);
        }
        {
            ExportCfgLock lock(ExportCfgMutex());
            record.uiCollectStatus = EXPORT_STATUS_INIT;
            record.uiAnswered = EXPORT_ANSWERED_YES;
        }
        if (conn == static_cast<int32_t>(CHECK_NODE_INVALID)) {
            CHS_LOG(3, LOGID_EXPORT, "Notify node to export failed, because the node(id %d) is ofline.",
                    static_cast<int>(node));
            return 1;
        }
        CHS_LOG(3, LOGID_EXPORT, "Notify node to export failed, because the node(id %d) can not ping.",
                static_cast<int>(node));
        return 2;
    }
    if (node == self) {
        try {
            StartLocalBuild(node, type);
        } catch (...) {
            CHS_LOG(3, LOGID_EXPORT, "Failed to start the local export thread.");
            MarkNodeFailed(record);
            return -1;
        }
        return 0;
    }
    try {
        std::vector<std::string> addresses;
        (void)omlib::getInternalMgmtIPByNID(self, addresses);
        std::string address = addresses.empty() ? std::string() : addresses.front();
        tagCOLLECOR_EXPORT_FILE_PARAM_S cfg = ExportCfgSnapshot();
        InnerMsg notice;
        InitExportRequest(notice, node, static_cast<uint16_t>(pid), opcode, cfg.uiGatherWaitLimit);
        MsgRecord* body = new MsgRecord(0);
        notice.GetBody().append(body);
        body->appendInner(CTLVCell::NewInt32(kNoticeTagType, static_cast<int32_t>(type)));
        body->appendInner(CTLVCell::NewString(kNoticeTagPath, address + ":" + cfg.strExportPath));
        body->appendInner(
            CTLVCell::NewInt32(kNoticeTagCcdbType, static_cast<int32_t>(g_updateCCDBType.load())));
        body->appendInner(CTLVCell::NewUInt16(kNoticeTagRunNode, self));
        if (!notice.PostAsyncMsg(new MsgAsyncFun(reponseExportFile, exportTimeOutHandle))) {
            CHS_LOG(3, LOGID_EXPORT, "Post async msg failed.");
            MarkNodeFailed(record);
            return -1;
        }
    } catch (...) {
        CHS_LOG(3, LOGID_EXPORT, "Failed to send async message to infocollector.");
        MarkNodeFailed(record);
        return -1;
    }
    return 0;
}

void reponseExportFile(InnerMsg& answer) {
    (void)exportHandleAck(answer, answer.GetMsgInfo().usSenderBID);
    NotifyGatherProgress();
}

int32_t exportHandleAck(InnerMsg& answer, uint16_t node) {
    if (node >= EXPORT_MAX_NODE_NUM) {
        CHS_LOG(3, LOGID_EXPORT, "Export node id is invalid.");
        return -1;
    }
    tagCOLLECOR_EXPORT_NODE_INFO_S& record = g_astExportFileCfg.astNode[node];
    if (answer.GetResult() == MSG_STATE_TIMEOUT) {
        MarkNodeFailed(record);
        CHS_LOG(3, LOGID_EXPORT, "The ack msg is timeout.");
        return -1;
    }
    if (answer.GetResult() != 0) {
        MarkNodeFailed(record);
        CHS_LOG(3, LOGID_EXPORT, "The ack msg of node(%d) failed(%u).", static_cast<int>(node),
                answer.GetResult());
        return -1;
    }
    const MsgObject& body = answer.GetBody();
    if (body.size() == 0) {
        MarkNodeFailed(record);
        CHS_LOG(3, LOGID_EXPORT, "Msg count is zero.");
        return -1;
    }
    try {
        const MsgRecord& ack = body[0];
        if (ReadInt(ack, kAckTagResult) != 0) {
            MarkNodeFailed(record);
            CHS_LOG(3, LOGID_EXPORT, "Msg result is wrong.");
            return -1;
        }
        uint32_t size = static_cast<uint32_t>(ack[kAckTagSize].GetUInt64());
        std::string name = static_cast<const char*>(ack[kAckTagName]);
        const CTLVCell* path = ack.find(kAckTagPath);
        std::string location = path == nullptr ? std::string() : std::string(static_cast<const char*>(*path));
        ExportCfgLock lock(ExportCfgMutex());
        record.uiPkgSize = size;
        if (!name.empty()) {
            record.strPkgName = name;
            NoteMasterPackage(node, name);
        }
        record.strPkgPath = location;
        record.uiAnswered = EXPORT_ANSWERED_YES;
        record.uiCollectStatus = EXPORT_STATUS_READY;
    } catch (...) {
        MarkNodeFailed(record);
        CHS_LOG(3, LOGID_EXPORT, "Failed to get the objReqMsg.");
        return -1;
    }
    return 0;
}

int32_t isInnerFinishedCollection() {
    ExportCfgLock lock(ExportCfgMutex());
    if (g_astExportFileCfg.stRunningData.uiStatus == EXPORT_STATUS_COLLECTING ||
        g_astExportFileCfg.stAlarmEvent.uiStatus == EXPORT_STATUS_COLLECTING) {
        return 0;
    }
    for (const tagCOLLECOR_EXPORT_NODE_INFO_S& node : g_astExportFileCfg.astNode) {
        if (node.ucSelected == 1 && node.uiCollectStatus == EXPORT_STATUS_COLLECTING) {
            return 0;
        }
    }
    return 1;
}

uint32_t getExportResult(uint32_t flag) {
    if (isInnerFinishedCollection() != 1 && flag != 0) {
        CHS_LOG(2, LOGID_EXPORT, "The node does not finish the info collection(ret %d).",
                static_cast<int>(EXPORT_ERR_NOT_FINISHED));
        return EXPORT_ERR_NOT_FINISHED;
    }
    ExportCfgLock lock(ExportCfgMutex());
    uint32_t ready = 0;
    uint32_t failed = 0;
    for (const tagCOLLECOR_EXPORT_NODE_INFO_S& node : g_astExportFileCfg.astNode) {
        if (node.ucSelected != 1) {
            continue;
        }
        if (node.uiCollectStatus == EXPORT_STATUS_ABNORMAL) {
            return EXPORT_STATUS_ABNORMAL;
        }
        if (node.uiCollectStatus == EXPORT_STATUS_READY) {
            ++ready;
        } else {
            ++failed;
        }
    }
    if (ready == 0) {
        return EXPORT_ERR_FAILED;
    }
    if (failed != 0 || g_astExportFileCfg.stRunningData.uiStatus != 0 ||
        g_astExportFileCfg.stAlarmEvent.uiStatus != 0) {
        return EXPORT_STATUS_ABNORMAL;
    }
    return 0;
}

// ----------------------------------------------- nodes out of the online map

int32_t checkNodeConnForLogCollect(uint16_t node) {
    if (node >= omlib::getConfigNodeNum()) {
        CHS_LOG(3, LOGID_EXPORT, "The node is invalid.");
        return static_cast<int32_t>(CHECK_NODE_INVALID);
    }
    std::vector<std::string> addresses;
    if (omlib::getInternalMgmtIPByNID(node, addresses) != 0 || addresses.empty()) {
        return -1;
    }
    int32_t ret = -1;
    for (const std::string& address : addresses) {
        if (address.empty()) {
            continue;
        }
        char cmd[kPingCmdBufferLen] = {};
        int written = snprintf(cmd, sizeof(cmd), kPingCmd, ShellQuote(address).c_str());
        if (written < 0 || static_cast<size_t>(written) >= sizeof(cmd)) {
            continue;
        }
        ret = g_pfnExportExec(platform::GetProfile().strVrfWrapper + cmd, EXPORT_CMD_TIMEOUT_MS);
        if (ret == 0) {
            return 0;
        }
    }
    return ret;
}

int32_t colUnNormalNodeLogs(uint16_t node) {
    if (node >= EXPORT_MAX_NODE_NUM) {
        CHS_LOG(3, LOGID_EXPORT, "Export node(%d) is invalid.", static_cast<int>(node));
        return -1;
    }
    {
        ExportCfgLock lock(ExportCfgMutex());
        g_astExportFileCfg.astNode[node].uiCollectStatus = EXPORT_STATUS_COLLECTING;
    }
    if (!StartDetachedTask([node] { (void)unormalNodeLogCollectThread(node); })) {
        CHS_LOG(3, LOGID_EXPORT, "Failed to start the fallback thread of node(%d).", static_cast<int>(node));
        MarkNodeFailed(g_astExportFileCfg.astNode[node]);
        return -1;
    }
    return 0;
}

int32_t unormalNodeLogCollectThread(uint16_t node) {
    if (node >= EXPORT_MAX_NODE_NUM) {
        CHS_LOG(3, LOGID_EXPORT,
                "(CHECK PARA FAILURE) iNodeID >= OM_MAX_NODE_NUM is false, return(RETURN_SIGNED_ERR).");
        return -1;
    }
    {
        ExportCfgLock lock(ExportCfgMutex());
        tagCOLLECOR_EXPORT_NODE_INFO_S& record = g_astExportFileCfg.astNode[node];
        record.strPkgName =
            std::string(EXPORT_FALLBACK_PKG_PREFIX) + record.strNodeName + EXPORT_DIAGNOSE_PKG_SUFFIX;
        record.uiPkgSize = EXPORT_FALLBACK_PKG_SIZE;
        record.strPkgPath = strDiagnoseExportPath;
        record.uiAnswered = EXPORT_ANSWERED_YES;
        record.uiCollectStatus = EXPORT_STATUS_ABNORMAL;
    }
    NotifyGatherProgress();
    return 0;
}

// -------------------------------------------------- building a node package

void handleExportDiagnoseFileForSingleRun(InnerMsg& request) {
    MsgSingleRun<handleExportDiagnoseFile>(request);
}

void handleExportDiagnoseFile(InnerMsg& request) {
    CHS_LOG(1, LOGID_EXPORT, "Receive export diagnose info task.");
    MsgObject& body = request.GetBody();
    if (body.size() == 0) {
        CHS_LOG(3, LOGID_EXPORT, "Failed to parse the objReqMsg, objReqMsg.count is (%lu).",
                static_cast<unsigned long>(body.size()));
        ExpDiagPostAckMsg(request, EXPORT_DIAGNOSE_OPCODE, static_cast<int32_t>(EXPORT_INNER_ERROR));
        return;
    }
    uint32_t type = 0;
    uint32_t ccdbType = 0;
    uint16_t runNode = 0;
    try {
        const MsgRecord& record = body[0];
        type = ExportTypeFromWire(ReadInt(record, kNoticeTagType));
        (void)static_cast<const char*>(record[kNoticeTagPath]);
        ccdbType = static_cast<uint32_t>(ReadInt(record, kNoticeTagCcdbType));
        runNode = static_cast<uint16_t>(record[kNoticeTagRunNode].GetUInt64());
    } catch (...) {
        CHS_LOG(3, LOGID_EXPORT, "An exception occurred during getting the path from the reqMsg.");
        ExpDiagPostAckMsg(request, EXPORT_DIAGNOSE_OPCODE, static_cast<int32_t>(EXPORT_INNER_ERROR));
        return;
    }
    int32_t ret = exportDiagnoseFileProc(type, ccdbType, runNode);
    try {
        MsgObject answer;
        MsgRecord* record = new MsgRecord(EXPORT_DIAGNOSE_OPCODE);
        answer.append(record);
        if (ret != 0) {
            CHS_LOG(3, LOGID_EXPORT, "An exception occurred during exporting file.");
            record->appendInner(CTLVCell::NewInt32(kAckTagResult, EXPORT_NODE_BUILD_FAILED));
        } else {
            CHS_LOG(1, LOGID_EXPORT, "Export file successed.");
            record->appendInner(CTLVCell::NewInt32(kAckTagResult, 0));
        }
        record->appendInner(CTLVCell::NewString(kAckTagName, strDiagnoseExportName));
        uint32_t size = 0;
        if (PackageSize(size)) {
            record->appendInner(CTLVCell::NewUInt32(kAckTagSize, size));
        } else {
            record->appendInner(CTLVCell::NewInt32(kAckTagSize, 0));
        }
        record->appendInner(CTLVCell::NewString(kAckTagPath, strDiagnoseInfoPath));
        if (!request.PostAckMsg(answer)) {
            CHS_LOG(3, LOGID_EXPORT, "Failed to post ack msg.");
        }
    } catch (...) {
        CHS_LOG(3, LOGID_EXPORT, "Something wrong with post ack msg.");
    }
}

int32_t exportDiagnoseFileProc(uint32_t type, uint32_t ccdbType, uint16_t runNode) {
    uint16_t master = 0;
    bool isMaster = omlib::getMasterNid(master) == 0 && master == omlib::getLocalNidInUser();
    CHS_LOG(1, LOGID_EXPORT, "Receive export diagnose info task.");
    if (type >= EXPORT_TYPE_MODULE_LIMIT) {
        CHS_LOG(3, LOGID_EXPORT, "The type(%d) is wrong.", static_cast<int>(type));
        return -1;
    }
    uint32_t space = checkMemEnough(6);
    if (space != 0) {
        CHS_LOG(3, LOGID_EXPORT, "Space is not enough for exporting diagnose info.");
        return static_cast<int32_t>(space);
    }
    ExportingFlag flag;
    if (!flag.acquired) {
        CHS_LOG(3, LOGID_EXPORT, "Current node is exporting diagnostic file.");
        return static_cast<int32_t>(EXPORT_ERR_TASK_RUNNING);
    }
    try {
        // On the run node the gathering thread has emptied the directory;
        // the running-data and alarm-and-event copies may lie there by now.
        if (runNode != omlib::getLocalNidInUser()) {
            ClearDiagnseData();
        }
        if (createExportDiagnoseDir(isMaster, ccdbType, runNode) != 0) {
            CHS_LOG(3, LOGID_EXPORT, "An exception occurred during create export dir.");
            return -1;
        }
        int32_t ret = exportLocalDiagnoseInfo(isMaster);
        if (ret != 0) {
            return ret;
        }
        WriteCollectorStatus();
        return tarLocalDiagnoseInfo(isMaster);
    } catch (...) {
        CHS_LOG(3, LOGID_EXPORT, "An exception occurred during exporting diagnose info.");
        return -1;
    }
}

int32_t createExportDiagnoseProcDir() {
    if (MakeExportDirUsable(strDiagnoseInfoPath) != 0) {
        CHS_LOG(3, LOGID_EXPORT, "Create export dir failed.");
        return -1;
    }
    return 0;
}

int32_t getRunNodeByExportType(uint32_t ccdbType, uint16_t runNode, uint16_t& node) {
    if (ccdbType == UPDATE_CCDB_ABNORMAL) {
        node = runNode;
        return 0;
    }
    CCDB_COMM::tagDB_CHS_REMOTE_TASK_S row{};
    if (GetRemoteTask(REMOTE_TASK_DIAGNOSE_EXPORT, row) != 0) {
        CHS_LOG(1, LOGID_EXPORT, "There is no task to run.");
        return -1;
    }
    node = static_cast<uint16_t>(row.i_taskrunnode);
    return 0;
}

int32_t createExportDiagnoseDir(bool isMaster, uint32_t ccdbType, uint16_t runNode) {
    if (omlib::testDiskMount(EXPORT_COFFER_MOUNT_PATH) != 0) {
        CHS_LOG(3, LOGID_EXPORT, "The coffer data disk is abnormal.");
        return -1;
    }
    if (createExportDiagnoseProcDir() != 0) {
        return -1;
    }
    uint16_t self = omlib::getLocalNidInUser();
    std::string name;
    (void)omlib::getControllerName(self, name);
    uint16_t taskNode = 0;
    if (getRunNodeByExportType(ccdbType, runNode, taskNode) != 0) {
        return -1;
    }
    std::string dirName = EXPORT_DIAGNOSE_PKG_PREFIX + name;
    if (isMaster) {
        dirName += "_MAIN";
    }
    if (taskNode == self) {
        dirName += "_LOCAL";
    }
    std::string packageDir = strDiagnoseInfoPath + dirName + "/";
    if (MakeExportDirUsable(packageDir) != 0) {
        CHS_LOG(3, LOGID_EXPORT, "Create export dir failed.");
        return -1;
    }
    strDiagnoseExportLocalPath = packageDir;
    strDiagnoseExportName = dirName + EXPORT_DIAGNOSE_PKG_SUFFIX;
    return 0;
}

// The daemon's own figures (switches, drivers, dispatcher queues, the last
// hand-off, the running task) beside what the script gathered. A package
// without them is still a package: a failure is logged only.
void WriteCollectorStatus() {
    std::string path = platform::RealPath(strDiagnoseExportLocalPath) + "collector_status.txt";
    std::string text = NodeStatusText(TakeNodeStatus());
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
    bool written = fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (fd >= 0) {
        close(fd);
    }
    if (!written) {
        CHS_LOG(2, LOGID_EXPORT, "The collector's status is not in the package: %s cannot be written.", path.c_str());
    }
}

int32_t exportLocalDiagnoseInfo(bool isMaster) {
    std::string cmd = "USER=`whoami` " + ExportSudo() + ShellQuote(platform::RealPath(DIAGNOSTIC_SCRIPT)) +
                      " export_command 100 " + (isMaster ? "master" : "slave") + " current " +
                      ShellQuote(platform::RealPath(strDiagnoseExportLocalPath));
    int32_t ret = g_pfnExportExec(cmd, EXPORT_SCRIPT_TIMEOUT_MS);
    CHS_LOG(1, LOGID_EXPORT, "Run export_command cmd return %d.", static_cast<int>(ret));
    return ret;
}

int32_t tarLocalDiagnoseInfo(bool /*isMaster*/) {
    std::string cmd = "USER=`whoami` " + ExportSudo() + ShellQuote(platform::RealPath(DIAGNOSTIC_SCRIPT)) +
                      " export_node 100 " + ShellQuote(platform::RealPath(strDiagnoseExportLocalPath)) + " " +
                      ShellQuote(platform::RealPath(strDiagnoseInfoPath + strDiagnoseExportName));
    int32_t ret = g_pfnExportExec(cmd, EXPORT_PACK_TIMEOUT_MS);
    CHS_LOG(1, LOGID_EXPORT, "Run export_node cmd return(%d).", static_cast<int>(ret));
    return ret;
}

void exportLocalFileThread(uint16_t node, uint32_t type) { handleLocalExportDiagnoseFile(node, type); }

void handleLocalExportDiagnoseFile(uint16_t node, uint32_t type) {
    if (node >= EXPORT_MAX_NODE_NUM) {
        CHS_LOG(3, LOGID_EXPORT, "The export node is invalid.");
        return;
    }
    int32_t ret = exportDiagnoseFileProc(type, g_updateCCDBType, node);
    uint32_t size = 0;
    if (ret != 0 || !PackageSize(size)) {
        size = 0;
    }
    {
        ExportCfgLock lock(ExportCfgMutex());
        tagCOLLECOR_EXPORT_NODE_INFO_S& record = g_astExportFileCfg.astNode[node];
        record.uiAnswered = EXPORT_ANSWERED_YES;
        record.strPkgPath = strDiagnoseInfoPath;
        record.strPkgName = strDiagnoseExportName;
        record.uiPkgSize = size;
        NoteMasterPackage(node, strDiagnoseExportName);
        // The status goes last: the gathering loop reads it to know the record is
        // complete.
        record.uiCollectStatus = ret == 0 ? EXPORT_STATUS_READY : EXPORT_STATUS_FAILED;
    }
    NotifyGatherProgress();
}
