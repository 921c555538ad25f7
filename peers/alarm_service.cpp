#include "peers/alarm_service.h"

#include <cstdio>

#include "infra/chs_log.h"
#include "peers/peer_codes.h"

namespace chs_peers {
namespace {

std::string Hex(uint64_t value) {
    char text[24];
    snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

bool IsNumericCell(const MsgRecord& record, unsigned short tag) {
    const CTLVCell* cell = record.find(tag);
    return cell != nullptr && CTLVCell::IsNumericalType(cell->GetType());
}

}  // namespace

Json::Value CellToJson(const CTLVCell& cell) {
    Json::Value out;
    out["tag"] = cell.GetTag();
    out["type"] = static_cast<unsigned int>(cell.GetType());
    switch (cell.GetType()) {
        case CTLVCell::TLV_INTEGER:
            out["value"] = static_cast<Json::Int64>(cell.GetInt64());
            break;
        case CTLVCell::TLV_UNSIGNED:
        case CTLVCell::TLV_BOOL:
        case CTLVCell::TLV_ENUM:
        case CTLVCell::TLV_TIME:
            out["value"] = static_cast<Json::UInt64>(cell.GetUInt64());
            break;
        case CTLVCell::TLV_OCTETS: {
            std::string hex;
            const unsigned char* bytes = cell.GetValue();
            for (unsigned int i = 0; bytes != nullptr && i < cell.GetLength(); ++i) {
                char pair[3];
                snprintf(pair, sizeof(pair), "%02x", bytes[i]);
                hex += pair;
            }
            out["value"] = hex;
            break;
        }
        default:
            out["value"] = cell.toString();
    }
    return out;
}

uint16_t AlarmService::Pid() const { return PEER_PID_ALARM; }

std::string AlarmService::RecordFile(const std::string& clusterDir, uint16_t nodeId) {
    return clusterDir + "/remote/alarm/node" + std::to_string(nodeId) + ".jsonl";
}

void AlarmService::Handle(InnerMsg& request) {
    const tagMsgInfo& info = request.GetMsgInfo();
    const MsgObject& body = request.GetBody();
    if (info.uiMsgOPCode != OPCODE_GENERAL || body.empty() || body[0].GetCode() != RECORD_ALARM_ENTRY) {
        // The export tasks of this endpoint use other records: not served yet.
        CHS_LOG(3, LOGID_PEERS, "[561] Unsupported request opcode 0x%x record %s.", info.uiMsgOPCode,
                body.empty() ? "none" : Hex(body[0].GetCode()).c_str());
        AnswerResult(request, body.empty() ? PEER_ERR_BAD_REQUEST : PEER_ERR_UNSUPPORTED,
                     "unsupported request");
        return;
    }
    const MsgRecord& entry = body[0];
    if (!IsNumericCell(entry, ALARM_TAG_ID) || !IsNumericCell(entry, ALARM_TAG_TYPE)) {
        CHS_LOG(3, LOGID_PEERS, "[561] Entry from node %u pid %u lacks a numeric id or type.",
                info.usSenderBID, info.usSenderPID);
        AnswerResult(request, PEER_ERR_BAD_REQUEST, "cells 0 and 1 must be numbers");
        return;
    }

    Json::Value line;
    line["time"] = NowText();
    line["node"] = m_context.NodeId();
    line["senderNode"] = info.usSenderBID;
    line["senderPid"] = info.usSenderPID;
    line["sessionKey"] = info.uiSessionKey;
    line["record"] = Hex(entry.GetCode());
    line["id"] = Hex(entry[ALARM_TAG_ID].GetUInt64());
    line["entryType"] = static_cast<Json::UInt64>(entry[ALARM_TAG_TYPE].GetUInt64());
    Json::Value& cells = line["cells"] = Json::Value(Json::arrayValue);
    for (const CTLVCell& cell : entry) {
        cells.append(CellToJson(cell));
    }
    if (!AppendJsonLine(RecordFile(m_context.ClusterDir(), m_context.NodeId()), line)) {
        AnswerResult(request, PEER_ERR_RECORD, "the entry cannot be recorded");
        return;
    }
    CHS_LOG(0, LOGID_PEERS, "[561] Recorded entry %s of type %llu from pid %u.", line["id"].asCString(),
            static_cast<unsigned long long>(entry[ALARM_TAG_TYPE].GetUInt64()), info.usSenderPID);
    AnswerResult(request, PEER_OK, "");
}

}  // namespace chs_peers
