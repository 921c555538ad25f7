#include "peers/access_auth.h"

#include "infra/chs_log.h"
#include "peers/peer_codes.h"
#include "peers/peer_config.h"

namespace chs_peers {

uint16_t AccessAuth::Pid() const { return PEER_PID_ACCESS_AUTH; }

void AccessAuth::Handle(InnerMsg& request) {
    PeersConfig config;
    if (!AcceptConfigQuery(request, RECORD_QUERY_USER, m_context.PeersConfigFile(), config)) {
        return;
    }
    const tagMsgInfo& info = request.GetMsgInfo();
    // The key is a secret of the session: it is never written to the log.
    auto found = config.mapSessions.find(std::to_string(info.uiSessionKey));
    if (found == config.mapSessions.end()) {
        CHS_LOG(3, LOGID_PEERS, "[567] Unknown session key from node %u pid %u.", info.usSenderBID,
                info.usSenderPID);
        AnswerResult(request, PEER_ERR_UNKNOWN_SESSION, "unknown session");
        return;
    }
    MsgObject answer;
    MsgRecord* record = &answer.AddRecord(RECORD_QUERY_USER);
    record->AppendString(QUERY_USER_TAG_NAME, found->second);
    record->AppendUInt32(MSG_TAG_ERROR_CODE, PEER_OK);
    if (!request.PostAckMsg(answer)) {
        CHS_LOG(3, LOGID_PEERS, "[567] Failed to answer the user query.");
        return;
    }
    CHS_LOG(0, LOGID_PEERS, "[567] Session resolved to user %s.", found->second.c_str());
}

}  // namespace chs_peers
