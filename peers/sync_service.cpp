#include "peers/sync_service.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "infra/chs_log.h"
#include "msg/chs_wire.h"
#include "peers/peer_codes.h"
#include "peers/peer_fault.h"
#include "peers/peer_files.h"
#include "peers/running_data.h"
#include "platform/om_cluster.h"

namespace chs_peers {
namespace {

constexpr const char* kPadState = "peer569_running_data_pad";

// `size` bytes of white space (a newline last), which leaves the JSON valid.
bool WritePadding(int fd, uint64_t size) {
    std::string block(65536, ' ');
    while (size > 0) {
        size_t now = static_cast<size_t>(std::min<uint64_t>(size, block.size()));
        if (now == size) {
            block[now - 1] = '\n';
        }
        if (!WriteAll(fd, block.data(), now)) {
            return false;
        }
        size -= now;
    }
    return true;
}

}  // namespace

uint16_t SyncService::Pid() const { return chs_wire::PID_SYNC; }

std::string SyncService::Behaviour(const InnerMsg& request) const {
    return request.GetMsgInfo().uiMsgOPCode == chs_wire::OPCODE_RUNNING_DATA ? "running-data" : "";
}

void SyncService::Handle(InnerMsg& request) {
    const tagMsgInfo& info = request.GetMsgInfo();
    const MsgObject& body = request.GetBody();
    if (info.uiMsgOPCode != chs_wire::OPCODE_RUNNING_DATA) {
        CHS_LOG(3, LOGID_PEERS, "[569] Unsupported opcode 0x%x.", info.uiMsgOPCode);
        AnswerResult(request, PEER_ERR_UNSUPPORTED, "unsupported opcode");
        return;
    }
    if (body.empty() || body[0].GetCode() != chs_wire::RECORD_RUNNING_DATA) {
        CHS_LOG(3, LOGID_PEERS, "[569] Running-data request from node %u without its record.",
                info.usSenderBID);
        AnswerResult(request, PEER_ERR_BAD_REQUEST, "the first record must be the running-data record");
        return;
    }
    uint16_t master = 0xFFFF;
    OMLIB_getMasterNodeID(&master);
    CHS_LOG(1, LOGID_PEERS, "[569] Running data asked by node %u pid %u (this node %u, master %u).",
            info.usSenderBID, info.usSenderPID, m_context.NodeId(), master);

    std::string why;
    uint32_t code = Produce(info.usSenderBID, info.usSenderPID, why);
    std::string address = m_context.OwnAddress();
    if (code == PEER_OK && address.empty()) {
        code = PEER_ERR_CONFIG;
        why = "this node has no internal address in cluster.json";
    }
    if (code != PEER_OK) {
        CHS_LOG(3, LOGID_PEERS, "[569] No running data (0x%x): %s.", code, why.c_str());
        AnswerResult(request, code, why);
        return;
    }
    MsgObject answer;
    MsgRecord* record = &answer.AddRecord(chs_wire::RECORD_RUNNING_DATA);
    record->AppendString(chs_wire::RUNNING_DATA_TAG_LOCATION, address + ":" + kDir + kFile);
    record->AppendUInt32(MSG_TAG_ERROR_CODE, PEER_OK);
    if (!request.PostAckMsg(answer)) {
        CHS_LOG(3, LOGID_PEERS, "[569] Failed to answer the running-data request.");
    }
}

uint32_t SyncService::Produce(uint16_t askingNode, uint16_t askingPid, std::string& why) {
    uint64_t pad = StateNumber(kPadState, kMaxPad).value_or(0);
    Json::StreamWriterBuilder builder;
    builder["indentation"] = " ";
    std::string text =
        Json::writeString(builder, CollectRunningData(m_context, askingNode, askingPid)) + "\n";

    std::lock_guard<std::mutex> lock(m_mutex);
    DirFd dir = OpenDirBelow(m_context.NodeRoot(m_context.NodeId()).string(), kDir, true, why);
    if (!dir.Valid()) {
        return PEER_ERR_FILE;
    }
    std::string partial = std::string(".") + kFile + ".part";
    unlinkat(dir.Get(), partial.c_str(), 0);
    int fd = openat(dir.Get(), partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        why = partial + ": " + strerror(errno);
        return PEER_ERR_FILE;
    }
    bool ok = WriteAll(fd, text.data(), text.size()) && WritePadding(fd, pad);
    int err = errno;
    ok = close(fd) == 0 && ok;
    if (ok && renameat(dir.Get(), partial.c_str(), dir.Get(), kFile) != 0) {
        err = errno;
        ok = false;
    }
    if (!ok) {
        why = std::string(kFile) + ": " + strerror(err);
        unlinkat(dir.Get(), partial.c_str(), 0);
        return PEER_ERR_FILE;
    }
    CHS_LOG(1, LOGID_PEERS, "[569] Running data written: %zu bytes%s.", text.size(),
            pad == 0 ? "" : (" and " + std::to_string(pad) + " bytes of padding").c_str());
    return PEER_OK;
}

}  // namespace chs_peers
