#include "peers/remote_agent.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <system_error>
#include <thread>

#include "infra/chs_log.h"
#include "peers/https_delivery.h"
#include "peers/peer_codes.h"
#include "peers/remote_config.h"
#include "platform/platform_state.h"

namespace fs = std::filesystem;

namespace chs_peers {
namespace {

// A state override naming a file (its base name) whose deliveries fail.
const char* const kRefuseNameState = "peer550_refuse_name";

struct SendFileRequest {
    std::string strPath;
    uint16_t usSourceNode = 0;
    std::string strAddress;  // address form only
    bool bNodeForm = false;
    uint64_t ulSize = 0;
};

const CTLVCell* FindTyped(const MsgRecord& record, unsigned short tag, bool numeric) {
    const CTLVCell* cell = record.find(tag);
    if (cell == nullptr) {
        return nullptr;
    }
    bool isNumeric = CTLVCell::IsNumericalType(cell->GetType());
    bool isText = cell->GetType() == CTLVCell::TLV_STRING;
    return (numeric ? isNumeric : isText) ? cell : nullptr;
}

// PEER_OK with `out` filled, or PEER_ERR_BAD_REQUEST with the reason.
uint32_t ParseSendFile(const InnerMsg& request, uint16_t ownNode, SendFileRequest& out, std::string& why) {
    if (request.GetBody().empty()) {
        why = "the request has no record";
        return PEER_ERR_BAD_REQUEST;
    }
    const MsgRecord& record = request.GetBody()[0];
    const CTLVCell* dir = FindTyped(record, SEND_FILE_TAG_DIR, false);
    const CTLVCell* name = FindTyped(record, SEND_FILE_TAG_NAME, false);
    const CTLVCell* form = FindTyped(record, SEND_FILE_TAG_FORM, true);
    if (dir == nullptr || name == nullptr || form == nullptr) {
        why = "cells 0 and 1 (text) and 6 (number) are required";
        return PEER_ERR_BAD_REQUEST;
    }
    out.strPath = std::string(static_cast<const char*>(*dir)) + static_cast<const char*>(*name);
    if (const CTLVCell* size = FindTyped(record, SEND_FILE_TAG_SIZE, true)) {
        out.ulSize = size->GetUInt64();
    }
    uint64_t formValue = form->GetUInt64();
    if (formValue == SEND_FILE_FORM_NODE) {
        const CTLVCell* node = FindTyped(record, SEND_FILE_TAG_NODE, true);
        if (node == nullptr || node->GetUInt64() > 0xFFFF) {
            why = "the node form needs a node id in cell 5";
            return PEER_ERR_BAD_REQUEST;
        }
        out.bNodeForm = true;
        out.usSourceNode = static_cast<uint16_t>(node->GetUInt64());
    } else if (formValue == SEND_FILE_FORM_ADDRESS) {
        const CTLVCell* address = FindTyped(record, SEND_FILE_TAG_ADDRESS, false);
        if (address == nullptr) {
            why = "the address form needs an address in cell 4";
            return PEER_ERR_BAD_REQUEST;
        }
        out.strAddress = static_cast<const char*>(*address);
        out.usSourceNode = ownNode;
    } else {
        why = "cell 6 holds an unknown form " + std::to_string(formValue);
        return PEER_ERR_BAD_REQUEST;
    }
    return PEER_OK;
}

// The node's directory as one URL path segment the service accepts; a name
// that is not one falls back to "node<N>".
std::string UploadDirName(const std::string& dirName, uint16_t nodeId) {
    bool plain =
        !dirName.empty() && dirName.size() <= 64 && dirName.front() != '.' &&
        dirName.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-") ==
            std::string::npos;
    return plain ? dirName : "node" + std::to_string(nodeId);
}

}  // namespace

uint16_t RemoteAgent::Pid() const { return PEER_PID_REMOTE_AGENT; }

bool RemoteAgent::IsNotice(const InnerMsg& request) const {
    return request.GetMsgInfo().uiMsgOPCode == OPCODE_SWITCH_CHANGE;
}

void RemoteAgent::Handle(InnerMsg& request) {
    switch (request.GetMsgInfo().uiMsgOPCode) {
        case OPCODE_SEND_FILE:
            HandleSendFile(request);
            return;
        case OPCODE_SWITCH_CHANGE:
            HandleSwitchChange(request);
            return;
        default:
            CHS_LOG(3, LOGID_PEERS, "[550] Unsupported opcode 0x%x.", request.GetMsgInfo().uiMsgOPCode);
            AnswerResult(request, PEER_ERR_UNSUPPORTED, "unsupported opcode");
    }
}

void RemoteAgent::HandleSendFile(InnerMsg& request) {
    SendFileRequest parsed;
    std::string why;
    uint32_t code = ParseSendFile(request, m_context.NodeId(), parsed, why);
    if (code == PEER_OK && !m_context.HasNode(parsed.usSourceNode)) {
        why = "node " + std::to_string(parsed.usSourceNode) + " is not in the cluster";
        code = PEER_ERR_NODE;
    }
    fs::path source;
    if (code == PEER_OK) {
        code = m_context.ResolveNodeFile(parsed.usSourceNode, parsed.strPath, source, why);
    }
    std::string dirName = m_context.NodeDirName(parsed.usSourceNode);
    std::string destination = m_context.RemoteDir() + "/" + dirName;
    // The delivered name is the one the request gave, not a symbolic link's target.
    std::string name = fs::path(parsed.strPath).filename().string();
    // Tests make one named file fail while the others go through.
    std::optional<std::string> refused = platform::state::Get(kRefuseNameState);
    if (code == PEER_OK && refused && *refused == name) {
        why = "told to refuse " + name;
        code = PEER_ERR_FILE;
    }
    // Read for every delivery: a changed URL, proxy or CRL counts at once.
    RemoteConfig remote;
    if (code == PEER_OK && !LoadRemoteConfig(m_context.PeersConfigFile(), remote, why)) {
        code = PEER_ERR_CONFIG;
    }
    UploadOutcome upload;
    if (code == PEER_OK && remote.Enabled()) {
        code = UploadFile(remote, source.string(), UploadDirName(dirName, parsed.usSourceNode), name, upload,
                          why);
        destination = upload.strUrl;
    } else if (code == PEER_OK) {
        code = Deliver(source.string(), destination, name, why);
        destination += "/";
    }

    Json::Value line;
    line["time"] = NowText();
    line["event"] = "send-file";
    line["path"] = parsed.strPath;
    line["sourceNode"] = parsed.usSourceNode;
    line["form"] = parsed.bNodeForm ? "node" : "address";
    if (!parsed.bNodeForm) {
        line["address"] = parsed.strAddress;
    }
    if (remote.Enabled()) {
        line["via"] = "https";
        line["url"] = upload.strUrl;
        line["httpStatus"] = upload.iStatus;
        char errorCode[16];
        snprintf(errorCode, sizeof(errorCode), "0x%08X", upload.uiErrorCode);
        line["errorCode"] = errorCode;
        if (remote.uiProxyType != 0) {
            line["proxy"] = remote.strProxyHost + ":" + std::to_string(remote.uiProxyPort);
        }
    }
    line["result"] = code;
    if (code == PEER_OK) {
        line["delivered"] = destination + name;
        CHS_LOG(1, LOGID_PEERS, "[550] Delivered %s of node %u to %s%s.", parsed.strPath.c_str(),
                parsed.usSourceNode, destination.c_str(), name.c_str());
    } else {
        line["reason"] = why;
        CHS_LOG(3, LOGID_PEERS, "[550] Send-file of \"%s\" failed (0x%x): %s.", parsed.strPath.c_str(), code,
                why.c_str());
    }
    AppendJsonLine(m_context.EventFile(), line);
    AnswerResult(request, code, code == PEER_OK ? "" : why);
}

void RemoteAgent::HandleSwitchChange(InnerMsg& request) {
    const tagMsgInfo& info = request.GetMsgInfo();
    Json::Value line;
    line["time"] = NowText();
    line["event"] = "switch-change";
    line["senderNode"] = info.usSenderBID;
    line["senderPid"] = info.usSenderPID;
    line["records"] = static_cast<Json::UInt64>(request.GetBody().size());
    AppendJsonLine(m_context.EventFile(), line);
    CHS_LOG(1, LOGID_PEERS, "[550] Collector switch changed (notice from node %u).", info.usSenderBID);
}

uint32_t RemoteAgent::Deliver(const std::string& source, const std::string& directory,
                              const std::string& name, std::string& why) {
    if (name.empty() || name == "." || name == "..") {
        why = "the request names no file";
        return PEER_ERR_BAD_REQUEST;
    }
    std::error_code ec;
    fs::create_directories(directory, ec);
    if (ec) {
        why = directory + ": " + ec.message();
        return PEER_ERR_FILE;
    }
    // A hidden partial name per process and thread keeps two deliveries of the
    // same file from writing into one another.
    std::string partial = directory + "/." + name + "." + std::to_string(getpid()) + "." +
                          std::to_string(std::hash<std::thread::id>()(std::this_thread::get_id()) % 100000) +
                          ".part";
    fs::copy_file(source, partial, fs::copy_options::overwrite_existing, ec);
    if (!ec) {
        fs::rename(partial, directory + "/" + name, ec);
    }
    if (ec) {
        why = "copying " + source + ": " + ec.message();
        fs::remove(partial, ec);
        return PEER_ERR_FILE;
    }
    return PEER_OK;
}

}  // namespace chs_peers
