#include "peers/alarm_service.h"

#include <cstdio>
#include <optional>
#include <vector>

#include "infra/chs_log.h"
#include "msg/chs_wire.h"
#include "peers/peer_codes.h"
#include "peers/peer_fault.h"

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

// A log or clear type: a numeric cell that fits 32 bits unsigned.
bool ReadType(const MsgRecord& record, unsigned short tag, uint32_t& value) {
    const CTLVCell* cell = record.find(tag);
    if (cell == nullptr || !CTLVCell::IsNumericalType(cell->GetType()) ||
        (cell->GetType() == CTLVCell::TLV_INTEGER && cell->GetInt64() < 0) ||
        cell->GetUInt64() > 0xFFFFFFFFull) {
        return false;
    }
    value = static_cast<uint32_t>(cell->GetUInt64());
    return true;
}

// Overrides the overall state of every status answer (peer_fault.h).
constexpr const char* kExportTotalState = "peer561_export_total";

void PostAnswer(InnerMsg& request, MsgObject& answer, const char* what) {
    if (!request.PostAckMsg(answer)) {
        CHS_LOG(3, LOGID_PEERS, "[561] Failed to answer the %s request.", what);
    }
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

std::string AlarmService::Behaviour(const InnerMsg& request) const {
    const MsgObject& body = request.GetBody();
    if (request.GetMsgInfo().uiMsgOPCode == chs_wire::OPCODE_ALM_LOG_LIST) {
        return "log-list";
    }
    if (request.GetMsgInfo().uiMsgOPCode != chs_wire::OPCODE_GENERAL || body.empty()) {
        return "";
    }
    switch (body[0].GetCode()) {
        case RECORD_ALARM_ENTRY:
            return "alarm-entry";
        case chs_wire::RECORD_ALM_EXPORT_START:
            return "export-start";
        case chs_wire::RECORD_ALM_EXPORT_STATUS:
            return "export-status";
        case chs_wire::RECORD_ALM_EXPORT_PKG:
            return "export-package";
        case chs_wire::RECORD_ALM_EXPORT_CLEAR:
            return "export-clear";
        case chs_wire::RECORD_ALM_EXPORT_STOP:
            return "export-stop";
        default:
            return "";
    }
}

void AlarmService::Handle(InnerMsg& request) {
    const tagMsgInfo& info = request.GetMsgInfo();
    const MsgObject& body = request.GetBody();
    if (info.uiMsgOPCode == chs_wire::OPCODE_ALM_LOG_LIST) {
        HandleList(request);
        return;
    }
    if (info.uiMsgOPCode != chs_wire::OPCODE_GENERAL || body.empty()) {
        CHS_LOG(3, LOGID_PEERS, "[561] Unsupported request opcode 0x%x with %zu records.", info.uiMsgOPCode,
                body.size());
        AnswerResult(request, body.empty() ? PEER_ERR_BAD_REQUEST : PEER_ERR_UNSUPPORTED,
                     "unsupported request");
        return;
    }
    switch (body[0].GetCode()) {
        case RECORD_ALARM_ENTRY:
            HandleEntry(request);
            return;
        case chs_wire::RECORD_ALM_EXPORT_START:
            HandleStart(request);
            return;
        case chs_wire::RECORD_ALM_EXPORT_STATUS:
            HandleStatus(request);
            return;
        case chs_wire::RECORD_ALM_EXPORT_PKG:
            HandlePackage(request);
            return;
        case chs_wire::RECORD_ALM_EXPORT_CLEAR:
            HandleClear(request);
            return;
        case chs_wire::RECORD_ALM_EXPORT_STOP:
            HandleStop(request);
            return;
        default:
            CHS_LOG(3, LOGID_PEERS, "[561] Unsupported record %s.", Hex(body[0].GetCode()).c_str());
            AnswerResult(request, PEER_ERR_UNSUPPORTED, "unsupported request");
    }
}

void AlarmService::HandleEntry(InnerMsg& request) {
    const tagMsgInfo& info = request.GetMsgInfo();
    const MsgRecord& entry = request.GetBody()[0];
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

uint32_t AlarmService::ReadNodeName(const MsgRecord& record, unsigned short tag, std::string& name,
                                    std::string& why) const {
    const CTLVCell* cell = record.find(tag);
    if (cell == nullptr || cell->GetType() != CTLVCell::TLV_STRING || cell->GetLength() > kMaxNameCell) {
        why = "cell " + std::to_string(tag) + " must hold a node name";
        return PEER_ERR_BAD_REQUEST;
    }
    name = static_cast<const char*>(*cell);
    if (m_context.Cluster().FindNode(name) == nullptr) {
        why = "\"" + name + "\" is no controller of the cluster";
        return PEER_ERR_NODE;
    }
    return PEER_OK;
}

void AlarmService::HandleStart(InnerMsg& request) {
    uint32_t logType = 0;
    std::string why;
    uint32_t code = PEER_ERR_BAD_REQUEST;
    if (!ReadType(request.GetBody()[0], chs_wire::ALM_TAG_LOG_TYPE, logType)) {
        why = "cell 0 must hold the log type";
    } else {
        code = m_exports.Start(logType, why);
    }
    if (code != PEER_OK) {
        CHS_LOG(3, LOGID_PEERS, "[561] Export start refused (0x%x): %s.", code, why.c_str());
    }
    AnswerResult(request, code, why);
}

void AlarmService::HandleStatus(InnerMsg& request) {
    uint64_t recordCode = request.GetBody()[0].GetCode();
    uint32_t logType = 0;
    if (!ReadType(request.GetBody()[0], chs_wire::ALM_TAG_LOG_TYPE, logType) ||
        !AlarmExports::IsLogType(logType)) {
        AnswerResult(request, PEER_ERR_BAD_REQUEST, "cell 0 must hold a log type of 8, 2 or 1");
        return;
    }
    std::optional<uint64_t> forced = StateNumber(kExportTotalState, 0xFFFFFFFFull);
    std::vector<AlarmNodeStatus> nodes;
    MsgObject answer;
    MsgRecord* first = &answer.AddRecord(recordCode);
    if (!m_exports.Status(logType, nodes)) {
        // The overall state of a failed query must not read as "still running".
        first->AppendUInt32(chs_wire::ALM_TAG_TOTAL_STATUS,
                            static_cast<uint32_t>(forced.value_or(PEER_ERR_NO_EXPORT)));
        first->AppendUInt32(MSG_TAG_ERROR_CODE, PEER_ERR_NO_EXPORT);
        first->AppendString(chs_wire::TAG_DESCRIPTION, "no export of this log type");
        PostAnswer(request, answer, "export status");
        return;
    }
    bool packing = false;
    for (const AlarmNodeStatus& node : nodes) {
        packing = packing || node.iExportState == chs_wire::ALM_NODE_PACKING;
    }
    uint32_t total = static_cast<uint32_t>(
        forced.value_or(packing ? chs_wire::ALM_TOTAL_RUNNING : chs_wire::ALM_TOTAL_DONE));
    // A successful answer carries no cell 4095: the daemon reads any as a failure.
    first->AppendUInt32(chs_wire::ALM_TAG_TOTAL_STATUS, total);
    if (total == chs_wire::ALM_TOTAL_SPECIAL_END) {
        first->AppendUInt32(MSG_TAG_ERROR_CODE, chs_wire::ALM_TOTAL_SPECIAL_END);
    }
    for (size_t i = 0; i < nodes.size(); ++i) {
        MsgRecord* record = first;
        if (i > 0) {
            record = new MsgRecord(recordCode);
            answer.append(record);
        }
        record->AppendString(chs_wire::ALM_TAG_NODE_NAME, nodes[i].strName);
        record->AppendUInt32(chs_wire::ALM_TAG_PKG_STATUS, nodes[i].uiPkgState);
        record->AppendInt32(chs_wire::ALM_TAG_EXPORT_STATUS, nodes[i].iExportState);
    }
    PostAnswer(request, answer, "export status");
}

void AlarmService::HandlePackage(InnerMsg& request) {
    const MsgRecord& record = request.GetBody()[0];
    uint32_t logType = 0;
    std::string name;
    std::string why;
    std::string path;
    uint32_t code = PEER_ERR_BAD_REQUEST;
    if (!ReadType(record, chs_wire::ALM_TAG_LOG_TYPE, logType) || !AlarmExports::IsLogType(logType)) {
        why = "cell 0 must hold a log type of 8, 2 or 1";
    } else if ((code = ReadNodeName(record, chs_wire::ALM_TAG_NODE_NAME, name, why)) == PEER_OK) {
        code = m_exports.Package(logType, name, path, why);
    }
    std::string address = m_context.OwnAddress();
    if (code == PEER_OK && address.empty()) {
        code = PEER_ERR_CONFIG;
        why = "this node has no internal address in cluster.json";
    }
    if (code != PEER_OK) {
        CHS_LOG(3, LOGID_PEERS, "[561] No package location (0x%x): %s.", code, why.c_str());
        AnswerResult(request, code, why);
        return;
    }
    MsgObject answer;
    MsgRecord* location = &answer.AddRecord(record.GetCode());
    location->AppendString(chs_wire::ALM_TAG_LOCATION, address + ":" + path);
    location->AppendUInt32(MSG_TAG_ERROR_CODE, PEER_OK);
    PostAnswer(request, answer, "package location");
}

void AlarmService::HandleClear(InnerMsg& request) {
    const MsgRecord& record = request.GetBody()[0];
    uint32_t clearType = 0;
    uint32_t logType = 0;
    std::string name;
    std::string why;
    uint32_t code = PEER_ERR_BAD_REQUEST;
    if (!ReadType(record, chs_wire::ALM_TAG_LOG_TYPE, clearType) ||
        !AlarmExports::LogTypeOfClearType(clearType, logType)) {
        why = "cell 0 must hold a clear type of 8, 1 or 0";
    } else if ((code = ReadNodeName(record, chs_wire::ALM_TAG_CLEAR_NODE, name, why)) == PEER_OK) {
        code = m_exports.Clear(logType, name, why);
    }
    if (code != PEER_OK) {
        CHS_LOG(3, LOGID_PEERS, "[561] Clear refused (0x%x): %s.", code, why.c_str());
    }
    AnswerResult(request, code, why);
}

void AlarmService::HandleStop(InnerMsg& request) {
    unsigned int stopped = m_exports.StopAll();
    CHS_LOG(1, LOGID_PEERS, "[561] Stop: %u running export(s) ended.", stopped);
    AnswerResult(request, PEER_OK, "");
}

void AlarmService::HandleList(InnerMsg& request) {
    MsgObject answer;
    for (const auto& package : m_exports.List()) {
        MsgRecord* record = &answer.AddRecord(0);
        record->AppendString(chs_wire::ALM_LIST_TAG_NODE, package.first);
        record->AppendString(chs_wire::ALM_LIST_TAG_PATH, package.second);
    }
    if (answer.empty()) {
        // An answer needs a record; one with only the result is an empty list.
        MsgRecord* record = &answer.AddRecord(0);
        record->AppendUInt32(MSG_TAG_ERROR_CODE, PEER_OK);
    }
    CHS_LOG(0, LOGID_PEERS, "[561] Alarm-log list of %zu record(s) for node %u.", answer.size(),
            request.GetMsgInfo().usSenderBID);
    PostAnswer(request, answer, "alarm-log list");
}

}  // namespace chs_peers
