// Access authentication (endpoint 567): turns the session key of a user query
// (general command 259, record 0x2FB, the key in the header's uiSessionKey)
// into the user name configured for it in peers.json. The answer is one record
// 0x2FB with the name in cell 0 and 0 in cell 4095; an unknown key or an
// unreadable configuration is answered with a failure code in cell 4095.
//
// Stateless apart from the context; thread-safe.
#pragma once

#include "peers/peer_context.h"
#include "peers/peer_dispatcher.h"

namespace chs_peers {

class AccessAuth : public PeerModule {
  public:
    // `context` must outlive the module.
    explicit AccessAuth(const PeerContext& context) : m_context(context) {}

    uint16_t Pid() const override;
    void Handle(InnerMsg& request) override;

  private:
    const PeerContext& m_context;
};

}  // namespace chs_peers
