#include "collector/collect_file_handoff.h"

#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>

#include "control/collector_ccdb.h"
#include "core/omlib.h"
#include "infra/chs_log.h"
#include "infra/file_util.h"

uint32_t g_uiHandoffPollMs = 1000;

namespace {

// What the request may claim about the file. The agent reads the file
// itself; the size is only informative, so a size beyond 32 bits travels as 0.
bool StatFile(const std::string& file, unsigned int& size) {
    struct stat st {};
    if (stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    size = 0;
    (void)getFileSize(file, size);
    return true;
}

// The part of both request forms that does not depend on the destination.
void FillSendFileRequest(InnerMsg& request, const std::string& file, unsigned int size, int fileType,
                         unsigned int timeout) {
    tagMsgInfo& info = request.GetMsgInfo();
    info.usSenderBID = MSG_LOCAL_NODE_BID;
    info.usSenderPID = CHS_COLLECTOR_PID;
    info.usReceiverBID = MSG_LOCAL_NODE_BID;
    info.usReceiverPID = CHS_RELAYD_PID;
    info.uiMsgOPCode = CHS_OPCODE_SEND_FILE;
    info.uiMsgTimeout = timeout;
    info.usMsgType = MSG_TYPE_REQUEST;

    MsgRecord* record = &request.GetBody().AddRecord(0);
    record->AppendString(SEND_FILE_TAG_PATH, dirName(file));
    record->AppendString(SEND_FILE_TAG_FILE_NAME, baseName(file));
    record->AppendUInt32(SEND_FILE_TAG_FILE_SIZE, size);
    record->AppendInt32(SEND_FILE_TAG_FILE_TYPE, fileType);
}

// The last file handed to the agent, for the node status.
std::mutex g_lastHandedMutex;
std::string g_strLastHanded;
int64_t g_llLastHandedTime = 0;

// Where the agent is to send a file: to an address, or to a node.
struct SendDestination {
    bool bNode = false;
    std::string strAddress;
    unsigned short usNode = 0;
};

// The one builder of send-file requests: checks the file, builds the request
// for `to` and posts it with `callback`, which it takes in every case (a
// request not queued destroys it uncalled). 0 when queued, else -1.
int QueueSendFile(const std::string& file, int fileType, const SendDestination& to,
                  std::unique_ptr<MsgAsyncCall> callback, unsigned int timeout) {
    try {
        unsigned int size = 0;
        // Asking the agent for a file that is not there could only fail
        // later, and would look like a successful hand-off now. In the node
        // form the agent fetches the file from that node: only a file of this
        // node can be checked here; another node's travels with size 0.
        if (!StatFile(file, size) && (!to.bNode || to.usNode == omlib::getLocalNidInUser())) {
            CHS_LOG(3, LOGID_COLLECTOR, "Send file(%s) refused: no such file.", file.c_str());
            return -1;
        }
        InnerMsg request;
        FillSendFileRequest(request, file, size, fileType, timeout);
        MsgRecord& record = request.GetBody()[0];
        if (to.bNode) {
            CHS_LOG(0, LOGID_COLLECTOR, "Send file(%s), fileSize(%u), nodeId(%u).", file.c_str(), size,
                    static_cast<unsigned int>(to.usNode));
            record.AppendUInt16(SEND_FILE_TAG_NODE_ID, to.usNode);
            record.AppendUInt16(SEND_FILE_TAG_DEST_FORM, SEND_FILE_DEST_NODE);
        } else {
            CHS_LOG(0, LOGID_COLLECTOR, "Send file(%s), fileSize(%u), ip(%s).", file.c_str(), size,
                    to.strAddress.c_str());
            record.AppendString(SEND_FILE_TAG_IP, to.strAddress);
            record.AppendUInt16(SEND_FILE_TAG_DEST_FORM, SEND_FILE_DEST_ADDRESS);
        }
        if (!request.PostAsyncMsg(callback.release())) {
            CHS_LOG(3, LOGID_COLLECTOR, "Send file(%s): the request could not be posted.", file.c_str());
            return -1;
        }
        std::lock_guard<std::mutex> lock(g_lastHandedMutex);
        g_strLastHanded = file;
        g_llLastHandedTime = static_cast<int64_t>(time(nullptr));
        return 0;
    } catch (...) {
        CHS_LOG(3, LOGID_COLLECTOR, "Send file(%s): exception while building the request.", file.c_str());
        return -1;
    }
}

// Tells a plugin what became of one request, in the terms of the public
// header: the answer's message type stays inside the daemon.
class SendResultCall : public MsgAsyncCall {
  public:
    SendResultCall(const std::string& file, PluginSendResultFunc onResult, void* context)
        : m_strFile(file), m_pfnResult(onResult), m_pContext(context) {}

    void msg_rsp(InnerMsg& answer) override {
        // An answer whose state is not success was never read: the agent's
        // code is unknown. Otherwise the agent's cell 4095 (read as every
        // answer of the daemon is).
        uint32_t code =
            answer.GetResult() == MSG_STATE_SUCCESS ? answer.TryGetErrorCode() : PLUGIN_SEND_CODE_TRANSPORT;
        Report(code == 0 ? PLUGIN_SEND_DELIVERED : PLUGIN_SEND_REFUSED, code);
    }
    void timeout(InnerMsg& /*answer*/) override { Report(PLUGIN_SEND_TIMED_OUT, 0); }

  private:
    void Report(PluginSendOutcome outcome, uint32_t code) {
        if (outcome == PLUGIN_SEND_DELIVERED) {
            CHS_LOG(0, LOGID_COLLECTOR, "Send file(%s): delivered.", m_strFile.c_str());
        } else if (outcome == PLUGIN_SEND_REFUSED) {
            CHS_LOG(2, LOGID_COLLECTOR, "Send file(%s): refused, code 0x%08X.", m_strFile.c_str(), code);
        } else {
            CHS_LOG(2, LOGID_COLLECTOR, "Send file(%s): no answer in time.", m_strFile.c_str());
        }
        try {
            m_pfnResult(m_strFile, outcome, code, m_pContext);
        } catch (...) {
            CHS_LOG(3, LOGID_COLLECTOR, "Send file(%s): the plugin's result function threw; dropped.",
                    m_strFile.c_str());
        }
    }

    std::string m_strFile;
    PluginSendResultFunc m_pfnResult;
    void* m_pContext;
};

std::unique_ptr<MsgAsyncCall> ResponseCall(void (*onResponse)(InnerMsg&)) {
    return std::make_unique<MsgAsyncFun>(onResponse, timeOuthandle);
}

// Null when there is no function to report to (logged).
std::unique_ptr<MsgAsyncCall> ResultCall(const std::string& file, PluginSendResultFunc onResult,
                                         void* context) {
    if (onResult == nullptr) {
        CHS_LOG(3, LOGID_COLLECTOR, "Send file(%s) refused: no result function.", file.c_str());
        return nullptr;
    }
    return std::make_unique<SendResultCall>(file, onResult, context);
}

SendDestination ToAddress(const std::string& address) {
    SendDestination to;
    to.strAddress = address;
    return to;
}

SendDestination ToNode(unsigned short node) {
    SendDestination to;
    to.bNode = true;
    to.usNode = node;
    return to;
}

// Response callbacks write the flag or counter on another thread; the
// atomic loads pair with their stores.
template <typename T, typename Done>
void PollUntil(T& value, int seconds, Done done) {
    int left = seconds;
    while (!done(__atomic_load_n(&value, __ATOMIC_ACQUIRE)) && left > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(g_uiHandoffPollMs));
        --left;
    }
}

}  // namespace

int pluginGetFile(int nodeId, std::string source, std::string destination) {
    if (nodeId == static_cast<int>(omlib::getLocalNidInUser())) {
        // The copy joins directory and name without a separator of its own.
        if (!destination.empty() && destination.back() != '/') {
            destination += '/';
        }
        return static_cast<int>(copyFile(source, destination));
    }
    // A node number that does not fit would alias another node.
    int ret = nodeId < 0 || nodeId > UINT16_MAX
                  ? -1
                  : omlib::getFileFromOtherNode(static_cast<uint16_t>(nodeId), source, destination,
                                                CHS_GET_FILE_TIMEOUT);
    if (ret != 0) {
        CHS_LOG(3, LOGID_COLLECTOR, "Failed to get node(%d) file, ret:%d.", nodeId, ret);
        return -1;
    }
    CHS_LOG(0, LOGID_COLLECTOR, "Success in get node:%d file:%s, ret:%d.", nodeId, source.c_str(), 0);
    return 0;
}

int pluginSendFile(std::string file, int fileType, std::string address, void (*onResponse)(InnerMsg&),
                   unsigned int timeout) {
    return QueueSendFile(file, fileType, ToAddress(address), ResponseCall(onResponse), timeout);
}

int pluginSendFile(std::string file, int fileType, unsigned short nodeId, void (*onResponse)(InnerMsg&),
                   unsigned int timeout) {
    return QueueSendFile(file, fileType, ToNode(nodeId), ResponseCall(onResponse), timeout);
}

int pluginSendFileWithResult(const std::string& file, int fileType, const std::string& address,
                             PluginSendResultFunc onResult, void* context, unsigned int timeoutSec) {
    std::unique_ptr<MsgAsyncCall> call = ResultCall(file, onResult, context);
    return call ? QueueSendFile(file, fileType, ToAddress(address), std::move(call), timeoutSec) : -1;
}

int pluginSendFileWithResult(const std::string& file, int fileType, unsigned short nodeId,
                             PluginSendResultFunc onResult, void* context, unsigned int timeoutSec) {
    std::unique_ptr<MsgAsyncCall> call = ResultCall(file, onResult, context);
    return call ? QueueSendFile(file, fileType, ToNode(nodeId), std::move(call), timeoutSec) : -1;
}

bool LastHandedFile(std::string& file, int64_t& when) {
    std::lock_guard<std::mutex> lock(g_lastHandedMutex);
    file = g_strLastHanded;
    when = g_llLastHandedTime;
    return when != 0;
}

void timeOuthandle(InnerMsg& /*answer*/) { CHS_LOG(3, LOGID_COLLECTOR, "Msg timeout"); }

void waitSendFileFinish(bool& done, int seconds) {
    PollUntil(done, seconds, [](bool value) { return value; });
}

void waitAllNodeResponse(unsigned int& pending, int seconds) {
    PollUntil(pending, seconds, [](unsigned int value) { return value == 0; });
}

void CollectorPostAckMsg(InnerMsg& request, unsigned long long code, int result) {
    try {
        MsgObject body;
        MsgRecord* record = &body.AddRecord(code);
        if (result != 0) {
            record->AppendInt32(MSG_TAG_ERROR_CODE, result);
        }
        CHS_LOG(0, LOGID_COLLECTOR, "Start to send ack msg: OpCode(%llu) .ret(%d).", code, result);
        if (request.PostAckMsg(body)) {
            CHS_LOG(0, LOGID_COLLECTOR, "Succeeded in send msg: OpCode(%llu) .ret(%d).", code, result);
        } else {
            CHS_LOG(3, LOGID_COLLECTOR, "Failed to send the response message.");
        }
    } catch (...) {
        CHS_LOG(3, LOGID_COLLECTOR, "An exception occurred during sending the response message.");
    }
}

void NotifyRelaydCollectorSwichChange() {
    try {
        uint16_t master = 0;
        if (omlib::getMasterNid(master) != 0) {
            // Without the master the notice would go to node 0 by accident.
            CHS_LOG(3, LOGID_COLLECTOR, "Failed to post async msg.");
            return;
        }
        InnerMsg notice;
        tagMsgInfo& info = notice.GetMsgInfo();
        info.usSenderBID = omlib::getLocalNidInUser();
        info.usSenderPID = CHS_COLLECTOR_PID;
        info.usReceiverBID = master;
        info.usReceiverPID = CHS_RELAYD_PID;
        info.uiMsgOPCode = CHS_OPCODE_SWITCH_CHANGE;
        info.uiMsgTimeout = CHS_SWITCH_CHANGE_TIMEOUT;
        info.usMsgType = MSG_TYPE_REQUEST;
        notice.GetBody().append(new MsgRecord(0));
        if (!notice.PostAsyncMsg(nullptr)) {
            CHS_LOG(3, LOGID_COLLECTOR, "Failed to post async msg.");
        }
    } catch (...) {
        CHS_LOG(3, LOGID_COLLECTOR, "Something is wrong with msg.");
    }
}

bool checkCollectSwitch() {
    std::string value;
    return COLLECTOR_CCDB::GetCollectorSwitch(value) == 0 && value == "on";
}
