// Alarm service (endpoint 561): records the alarms, events and operation-log
// entries that modules report (general command 259, record 0xD00C900A5) as
// one JSON line each in <cluster>/remote/alarm/node<N>.jsonl, with every cell
// of the entry (tag, type code, value), and answers 0 in cell 4095.
//
// Later work: the alarm-log and alarm-and-event export tasks that the daemon's
// log tasks start, query, fetch and clear through this endpoint.
//
// Thread-safe: each entry is appended with one write.
#pragma once

#include <string>

#include "peers/peer_context.h"
#include "peers/peer_dispatcher.h"

namespace chs_peers {

class AlarmService : public PeerModule {
  public:
    // `context` must outlive the service.
    explicit AlarmService(const PeerContext& context) : m_context(context) {}

    uint16_t Pid() const override;
    void Handle(InnerMsg& request) override;

    // The file the entries of node `nodeId` go to.
    static std::string RecordFile(const std::string& clusterDir, uint16_t nodeId);

  private:
    const PeerContext& m_context;
};

// A cell as {"tag": n, "type": code, "value": ...}: numbers as JSON numbers
// (signed for TLV_INTEGER), texts as strings, octets in hexadecimal.
Json::Value CellToJson(const CTLVCell& cell);

}  // namespace chs_peers
