#include "peers/ssh_port_service.h"

#include "infra/chs_log.h"
#include "peers/peer_codes.h"
#include "peers/peer_config.h"

namespace chs_peers {

uint16_t SshPortService::Pid() const { return PEER_PID_SSH_PORT; }

void SshPortService::Handle(InnerMsg& request) {
    PeersConfig config;
    if (!AcceptConfigQuery(request, RECORD_SSH_PORT, m_context.PeersConfigFile(), config)) {
        return;
    }
    MsgObject answer;
    MsgRecord* record = &answer.AddRecord(RECORD_SSH_PORT);
    record->AppendUInt32(SSH_PORT_TAG_PORT, config.uiSshPort);
    record->AppendUInt32(MSG_TAG_ERROR_CODE, PEER_OK);
    if (!request.PostAckMsg(answer)) {
        CHS_LOG(3, LOGID_PEERS, "[575] Failed to answer the port query.");
        return;
    }
    CHS_LOG(0, LOGID_PEERS, "[575] Answered SSH port %u.", config.uiSshPort);
}

}  // namespace chs_peers
