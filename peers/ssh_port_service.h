// SSH-port service (endpoint 575): answers the system SSH port query (general
// command 259, record 0xD00C900AC) with one record 0xD00C900AC holding the
// port in cell 1 (4-byte unsigned) and 0 in cell 4095. The port comes from
// peers.json ("ssh_port", default 22).
//
// Stateless apart from the context; thread-safe.
#pragma once

#include "peers/peer_context.h"
#include "peers/peer_dispatcher.h"

namespace chs_peers {

class SshPortService : public PeerModule {
  public:
    // `context` must outlive the service.
    explicit SshPortService(const PeerContext& context) : m_context(context) {}

    uint16_t Pid() const override;
    void Handle(InnerMsg& request) override;

  private:
    const PeerContext& m_context;
};

}  // namespace chs_peers
