#include "tools/chsctl_client.h"

#include <json/json.h>

#include <cstdio>
#include <iostream>

#include "infra/chs_log.h"
#include "infra/string_util.h"
#include "msg/msg_api.h"
#include "platform/dplog.h"
#include "platform/om_cluster.h"
#include "tools/cluster_layout.h"

namespace chs_tools {
namespace {

constexpr size_t kMaxReasonShown = 1024;

}  // namespace

bool AttachAsClient(const std::string& clusterDir, uint16_t node, std::string& error) {
    std::string clusterFile = clusterDir + "/cluster.json";
    std::string nodeRoot = SimulatedNodeRoot(clusterDir, node);
    // Only errors of the platform layer belong on a command line's terminal.
    dpax_log_level_set(0, 3);
    if (!platform::AttachCluster(clusterFile, node, nodeRoot, false, error)) {
        return false;
    }
    SetModuleID(0);
    if (msg_api::StartClient() != 0) {
        error = "the message transport does not start";
        return false;
    }
    return true;
}

SendOutcome SendRequest(InnerMsg& request, uint16_t node, uint32_t timeoutSec, InnerMsg& answer) {
    tagMsgInfo& info = request.GetMsgInfo();
    info.usReceiverBID = node;
    info.usReceiverNodeID = node;
    if (info.uiMsgTimeout == 0) {
        info.uiMsgTimeout = timeoutSec;
    }
    unsigned char* buffer = nullptr;
    if (request.Encode(buffer) == 0xFFFFFFFF) {
        return SendOutcome::kNotEncoded;
    }
    void* reply = nullptr;
    int ret = msg_api::SendSyncMsg(buffer, &info, &reply);
    if (ret == MSG_ERR_UNREACHABLE) {
        msg_api::FreeMsg(reply);
        return SendOutcome::kUnreachable;
    }
    if (ret == MSG_ERR_TIMEOUT || reply == nullptr) {
        msg_api::FreeMsg(reply);
        return ret == MSG_ERR_TIMEOUT ? SendOutcome::kTimedOut : SendOutcome::kFailed;
    }
    unsigned int decoded = answer.Decode(static_cast<unsigned char*>(reply), 0);
    msg_api::FreeMsg(reply);
    return decoded == 0xFFFFFFFF ? SendOutcome::kFailed : SendOutcome::kAnswered;
}

int ReportSendFailure(SendOutcome outcome, const InnerMsg& request, uint16_t node) {
    const tagMsgInfo& info = request.GetMsgInfo();
    switch (outcome) {
        case SendOutcome::kAnswered:
            return kExitOk;
        case SendOutcome::kUnreachable:
            fprintf(stderr, "chsctl: node %u endpoint %u is not reachable\n", node, info.usReceiverPID);
            return kExitUnreachable;
        case SendOutcome::kTimedOut:
            fprintf(stderr, "chsctl: no answer from node %u endpoint %u within %u s\n", node,
                    info.usReceiverPID, info.uiMsgTimeout);
            return kExitTimeout;
        case SendOutcome::kNotEncoded:
            fprintf(stderr, "chsctl: the message cannot be encoded\n");
            return kExitUsage;
        case SendOutcome::kFailed:
            break;
    }
    fprintf(stderr, "chsctl: sending failed or the answer cannot be decoded\n");
    return kExitFailed;
}

void PrintMessageJson(const InnerMsg& message) {
    Json::Value out;
    message.Serialization(out);
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "  ";
    std::cout << Json::writeString(writer, out) << std::endl;
}

InnerMsg NewCollectorRequest(uint32_t opcode, MsgRecord* record) {
    InnerMsg request;
    tagMsgInfo& info = request.GetMsgInfo();
    info.usMsgType = MSG_TYPE_REQUEST;
    info.usReceiverPID = kCollectorPid;
    info.uiMsgOPCode = opcode;
    request.SetSessionKey(kChsctlSessionKey);
    request.GetBody().append(record);
    return request;
}

bool AttachControl(const ControlOptions& options) {
    std::string error;
    if (!AttachAsClient(options.strCluster, static_cast<uint16_t>(options.ulNode), error)) {
        fprintf(stderr, "chsctl: %s\n", error.c_str());
        return false;
    }
    return true;
}

bool AnswerText(const InnerMsg& answer, unsigned short tag, std::string& text) {
    if (answer.GetBody().empty()) {
        return false;
    }
    const CTLVCell* cell = answer.GetBody()[0].find(tag);
    if (cell == nullptr || cell->GetType() != CTLVCell::TLV_STRING) {
        return false;
    }
    text = static_cast<const char*>(*cell);
    return true;
}

int ReportFailedResult(unsigned int result, const char* meaning) {
    if (meaning != nullptr) {
        fprintf(stderr, "failed: result 0x%08X (%s)\n", result, meaning);
    } else {
        fprintf(stderr, "failed: result 0x%08X\n", result);
    }
    return kExitFailed;
}

std::string TerminalSafe(const std::string& text, size_t max) { return OneLine(text, max, '?'); }

int ReportRefusal(unsigned int result, const char* meaning, uint16_t node, const std::string& reason) {
    int status = ReportFailedResult(result, meaning);
    if (!reason.empty()) {
        std::string shown = TerminalSafe(reason, kMaxReasonShown);
        fprintf(stderr, "node %u says: %s%s\n", node, shown.c_str(),
                reason.size() > shown.size() ? "..." : "");
    }
    return status;
}

}  // namespace chs_tools
