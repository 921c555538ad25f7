// Alarm service (endpoint 561).
//
// Entries: records the alarms, events and operation-log entries that modules
// report (general command 259, record 0xD00C900A5) as one JSON line each in
// <cluster>/remote/alarm/node<N>.jsonl, with every cell of the entry (tag,
// type code, value), and answers 0 in cell 4095.
//
// Exports (general command 259; the records and cells are in msg/chs_wire.h):
// start, status, package location, clear and stop of the alarm-log exports
// (alarm_export.h), and the list of finished packages (opcode 0x70003005).
// Every cell is checked before use: a missing or mistyped cell, an unknown
// log or clear type is PEER_ERR_BAD_REQUEST; a node name must be one of the
// cluster's controller names (PEER_ERR_NODE).
//
// Thread-safe: each entry is appended with one write; the exports lock.
#pragma once

#include <string>

#include "peers/alarm_export.h"
#include "peers/peer_context.h"
#include "peers/peer_dispatcher.h"

namespace chs_peers {

class AlarmService : public PeerModule {
  public:
    // `context` must outlive the service.
    explicit AlarmService(const PeerContext& context) : m_context(context), m_exports(context) {}

    uint16_t Pid() const override;
    std::string Behaviour(const InnerMsg& request) const override;
    void Handle(InnerMsg& request) override;

    // The file the entries of node `nodeId` go to.
    static std::string RecordFile(const std::string& clusterDir, uint16_t nodeId);

    // The longest node name a request may carry (controller names are shorter).
    static constexpr size_t kMaxNameCell = 64;

  private:
    void HandleEntry(InnerMsg& request);
    void HandleStart(InnerMsg& request);
    void HandleStatus(InnerMsg& request);
    void HandlePackage(InnerMsg& request);
    void HandleClear(InnerMsg& request);
    void HandleStop(InnerMsg& request);
    void HandleList(InnerMsg& request);
    // The controller name in text cell `tag`: PEER_OK, PEER_ERR_BAD_REQUEST
    // (absent, not text, too long) or PEER_ERR_NODE (no such controller).
    uint32_t ReadNodeName(const MsgRecord& record, unsigned short tag, std::string& name,
                          std::string& why) const;

    const PeerContext& m_context;
    AlarmExports m_exports;
};

// A cell as {"tag": n, "type": code, "value": ...}: numbers as JSON numbers
// (signed for TLV_INTEGER), texts as strings, octets in hexadecimal.
Json::Value CellToJson(const CTLVCell& cell);

}  // namespace chs_peers
