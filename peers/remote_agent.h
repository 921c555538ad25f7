// Remote-service agent (endpoint 550). A send-file request makes it fetch the
// named file, from its own node or in the node form from the named node, and
// deliver it to the remote support service: with a URL in the "remote"
// section of peers.json an HTTPS upload to <url>/<controller name>/
// (peers/https_delivery.h), otherwise a copy into the directory
// <cluster>/remote/<controller name>/. The answer carries the result in cell
// 4095 (0: delivered) and, on failure, the reason; every delivery is one line
// in the node's event file. The collector's switch-change notice is recorded
// in the node's event file and not answered.
//
// Thread-safe: requests may be handled concurrently; a delivery lands under
// its final name by rename, so a reader never sees half a file.
#pragma once

#include <string>

#include "peers/peer_context.h"
#include "peers/peer_dispatcher.h"

namespace chs_peers {

class RemoteAgent : public PeerModule {
  public:
    // `context` must outlive the agent.
    explicit RemoteAgent(const PeerContext& context) : m_context(context) {}

    uint16_t Pid() const override;
    bool IsNotice(const InnerMsg& request) const override;
    void Handle(InnerMsg& request) override;

  private:
    void HandleSendFile(InnerMsg& request);
    void HandleSwitchChange(InnerMsg& request);
    // Copies `source` to `directory`/`name`; PEER_OK or PEER_ERR_FILE with `why`.
    static uint32_t Deliver(const std::string& source, const std::string& directory, const std::string& name,
                            std::string& why);

    const PeerContext& m_context;
};

}  // namespace chs_peers
