// Synchronisation service (endpoint 569): produces the running data of the
// cluster (running_data.h) as a file on this node,
// <own root>/VXA/coffer_data/omm/export_import/running_data/running_data.json,
// and answers its location "address:path" (this node's internal address and
// the system path) in text cell 0 of one record, with 0 in cell 4095.
// Request: opcode 0x70000516, first record 0xD00C90015, no cells.
//
// The daemon asks the master; whichever node is asked serves, and the log
// says who asked. The state override peer569_running_data_pad (peer_fault.h)
// pads the file, so that tests get a large one.
//
// Thread-safe: one file is produced at a time, and lands under its final
// name by rename, so a reader never sees half of one.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "peers/peer_context.h"
#include "peers/peer_dispatcher.h"

namespace chs_peers {

class SyncService : public PeerModule {
  public:
    // `context` must outlive the service.
    explicit SyncService(const PeerContext& context) : m_context(context) {}

    uint16_t Pid() const override;
    std::string Behaviour(const InnerMsg& request) const override;
    void Handle(InnerMsg& request) override;

    static constexpr const char* kDir = "/VXA/coffer_data/omm/export_import/running_data/";
    static constexpr const char* kFile = "running_data.json";
    // Largest padding the override may ask for.
    static constexpr uint64_t kMaxPad = 1ull << 30;

  private:
    // Writes the file; PEER_OK or a code with `why`.
    uint32_t Produce(uint16_t askingNode, uint16_t askingPid, std::string& why);

    const PeerContext& m_context;
    std::mutex m_mutex;
};

}  // namespace chs_peers
