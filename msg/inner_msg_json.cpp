// The JSON side of InnerMsg: the extra-information document a request carries
// in cell 4094, and the JSON form of a whole message.
#include <json/json.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "infra/chs_log.h"
#include "infra/json_util.h"
#include "infra/string_util.h"
#include "msg/inner_msg.h"
#include "msg/msg_exception.h"

namespace {

const char* const kTokenKey = "Token_#";
const char* const kTokenValue = "__InnerExtarInfo_#";

// The document of cell 4094 of the first record: absent (empty text, true),
// well formed (its value, true) or unusable (false).
bool ReadExtraDocument(const MsgObject& body, Json::Value& document, bool& present) {
    present = false;
    if (body.empty()) {
        return true;
    }
    const CTLVCell* cell = body[0].find(MSG_TAG_DESCRIPTION);
    if (cell == nullptr) {
        return true;
    }
    present = true;
    if (cell->GetType() != CTLVCell::TLV_STRING) {
        return false;
    }
    return JsonDeserialization(cell->toString(), document) && document.isObject() &&
           document[kTokenKey].isString() && document[kTokenKey].asString() == kTokenValue;
}

struct HeaderField {
    const char* name;
    size_t offset;
    unsigned int size;
};

const HeaderField kHeaderFields[] = {
    {"usSenderBID", offsetof(tagMsgInfo, usSenderBID), 2},
    {"usSenderPID", offsetof(tagMsgInfo, usSenderPID), 2},
    {"usReceiverBID", offsetof(tagMsgInfo, usReceiverBID), 2},
    {"usReceiverPID", offsetof(tagMsgInfo, usReceiverPID), 2},
    {"uiMsgLength", offsetof(tagMsgInfo, uiMsgLength), 4},
    {"usMsgType", offsetof(tagMsgInfo, usMsgType), 2},
    {"usReserve", offsetof(tagMsgInfo, usReserve), 2},
    {"uiMsgOPCode", offsetof(tagMsgInfo, uiMsgOPCode), 4},
    {"uiMsgState", offsetof(tagMsgInfo, uiMsgState), 4},
    {"uiMsgTimeout", offsetof(tagMsgInfo, uiMsgTimeout), 4},
    {"uiSessionKey", offsetof(tagMsgInfo, uiSessionKey), 4},
    {"usSenderNodeID", offsetof(tagMsgInfo, usSenderNodeID), 2},
    {"usReceiverNodeID", offsetof(tagMsgInfo, usReceiverNodeID), 2},
};

// Reads an unsigned decimal or 0x-hexadecimal text that fits `maxValue`.
bool ParseUnsigned(const std::string& text, unsigned long long maxValue, unsigned long long& value) {
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* digits = hex ? "0123456789abcdefABCDEF" : "0123456789";
    std::string body = hex ? text.substr(2) : text;
    if (body.empty() || body.find_first_not_of(digits) != std::string::npos) {
        return false;
    }
    errno = 0;
    value = std::strtoull(body.c_str(), nullptr, hex ? 16 : 10);
    return errno == 0 && value <= maxValue;
}

// A number of the JSON form, given as a JSON number or as text. A missing
// member reads as 0; false when it is not a number that fits `maxValue`.
bool ReadNumber(const Json::Value& object, const char* key, unsigned long long maxValue, unsigned long long& value) {
    value = 0;
    if (!object.isMember(key)) {
        return true;
    }
    return ParseUnsigned(FromJson(object, key), maxValue, value);
}

// The value text of a numeric cell, with double quotes stripped; negative
// numbers are taken for the signed type.
bool ParseCellNumber(std::string text, uint64_t& raw) {
    ReplaceStringAll(text, "\"", "");
    unsigned long long value = 0;
    if (ParseUnsigned(text, ~0ULL, value)) {
        raw = value;
        return true;
    }
    if (text.size() > 1 && text[0] == '-' && text.find_first_not_of("0123456789", 1) == std::string::npos) {
        errno = 0;
        long long number = std::strtoll(text.c_str(), nullptr, 10);
        raw = static_cast<uint64_t>(number);
        return errno == 0;
    }
    return false;
}

// One cell of the JSON form; null when the object cannot be a cell.
CTLVCell* CellFromJson(const Json::Value& item) {
    unsigned long long tag = 0;
    unsigned long long type = 0;
    unsigned long long length = 0;
    if (!item.isObject() || !ReadNumber(item, "tag", MAX_TAG_VALUE - 1, tag) ||
        !ReadNumber(item, "type", CTLVCell::TLV_TYPE_MAX, type) || !ReadNumber(item, "length", 0xFFFF, length)) {
        return nullptr;
    }
    std::string value = FromJson(item, "value");
    uint64_t raw = 0;
    if (CTLVCell::IsNumericalType(static_cast<unsigned int>(type)) && !ParseCellNumber(value, raw)) {
        return nullptr;
    }
    std::unique_ptr<CTLVCell> cell(new CTLVCell());
    auto cellType = static_cast<CTLVCell::ETLVType>(type);
    auto cellTag = static_cast<unsigned short>(tag);
    if (type == CTLVCell::TLV_STRING || type == CTLVCell::TLV_JSON_ARRAY || type == CTLVCell::TLV_JSON_OBJECT) {
        cell->set_i(CTLVCell::TLV_STRING, cellTag, value.c_str(), value.size() + 1);
    } else if (CTLVCell::IsNumericalType(static_cast<unsigned int>(type))) {
        std::string bytes(static_cast<size_t>(length), '\0');
        for (size_t i = 0; i < bytes.size() && i < sizeof(raw); ++i) {
            bytes[i] = static_cast<char>((raw >> (8 * i)) & 0xFF);
        }
        cell->set_i(cellType, cellTag, bytes.data(), bytes.size());
    } else {
        cell->set_i(cellType, cellTag, value.data(), value.size());
    }
    return cell.release();
}

}  // namespace

bool InnerMsg::SetExtraInfo(const std::string& key, const std::string& value) {
    if (m_info.usMsgType != MSG_TYPE_REQUEST) {
        return false;
    }
    Json::Value document;
    bool present = false;
    if (!ReadExtraDocument(m_body, document, present)) {
        return false;
    }
    if (!present) {
        document = Json::Value(Json::objectValue);
        document[kTokenKey] = kTokenValue;
    }
    document[key] = value;
    if (m_body.empty()) {
        m_body.append(new MsgRecord(0));
    }
    m_body[0].replaceAppendInner(CTLVCell::NewString(MSG_TAG_DESCRIPTION, JsonSerialization(document)));
    return true;
}

bool InnerMsg::GetExtraInfo(const std::string& key, std::string& value, bool& usable) const {
    usable = false;
    if (m_info.usMsgType != MSG_TYPE_REQUEST) {
        return false;
    }
    Json::Value document;
    bool present = false;
    usable = ReadExtraDocument(m_body, document, present);
    if (!usable || !present || !document.isMember(key)) {
        return false;
    }
    value = FromJson(document, key);
    return true;
}

void InnerMsg::Serialization(Json::Value& root) const {
    Json::Value header(Json::objectValue);
    for (const HeaderField& field : kHeaderFields) {
        const char* at = reinterpret_cast<const char*>(&m_info) + field.offset;
        if (field.size == 2) {
            uint16_t value;
            memcpy(&value, at, sizeof(value));
            header[field.name] = value;
        } else {
            uint32_t value;
            memcpy(&value, at, sizeof(value));
            header[field.name] = value;
        }
    }
    Json::Value records(Json::arrayValue);
    for (const MsgRecord& record : m_body) {
        Json::Value item(Json::objectValue);
        item["cmd"] = static_cast<Json::UInt64>(record.GetCode());
        Json::Value cells(Json::arrayValue);
        for (const CTLVCell& cell : record) {
            Json::Value entry(Json::objectValue);
            entry["tag"] = cell.GetTag();
            entry["type"] = static_cast<unsigned int>(cell.GetType());
            entry["length"] = cell.GetLength();
            entry["value"] = cell.toString();
            cells.append(entry);
        }
        item["cells"] = cells;
        records.append(item);
    }
    root["msgHdr"] = header;
    root["msgBody"] = records;
}

bool InnerMsg::Deserialization(const Json::Value& root) {
    if (!root.isObject() || !root.isMember("msgHdr") || !root.isMember("msgBody")) {
        return false;
    }
    const Json::Value& header = root["msgHdr"];
    const Json::Value& body = root["msgBody"];
    bool whole = header.isObject() && body.isArray();
    if (header.isObject()) {
        for (const HeaderField& field : kHeaderFields) {
            unsigned long long value = 0;
            unsigned long long max = field.size == 2 ? 0xFFFF : 0xFFFFFFFF;
            if (!ReadNumber(header, field.name, max, value)) {
                whole = false;
                continue;
            }
            char* at = reinterpret_cast<char*>(&m_info) + field.offset;
            if (field.size == 2) {
                uint16_t narrow = static_cast<uint16_t>(value);
                memcpy(at, &narrow, sizeof(narrow));
            } else {
                uint32_t narrow = static_cast<uint32_t>(value);
                memcpy(at, &narrow, sizeof(narrow));
            }
        }
    }
    if (!body.isArray()) {
        return false;
    }
    for (const Json::Value& item : body) {
        unsigned long long code = 0;
        if (!item.isObject() || !ReadNumber(item, "cmd", ~0ULL, code)) {
            whole = false;
            continue;
        }
        MsgRecord* record = new MsgRecord(code);
        const Json::Value& cells = item["cells"];
        if (!cells.isNull() && !cells.isArray()) {
            whole = false;
        }
        for (Json::ArrayIndex i = 0; cells.isArray() && i < cells.size(); ++i) {
            CTLVCell* cell = nullptr;
            try {
                cell = CellFromJson(cells[i]);
            } catch (const std::exception&) {
                cell = nullptr;
            }
            if (cell == nullptr) {
                whole = false;
                continue;
            }
            record->appendInner(cell);
        }
        m_body.append(record);
    }
    return whole;
}

void InnerMsg::Serialization(const std::string& path) const {
    Json::Value root;
    Serialization(root);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << JsonSerialization(root);
}

void InnerMsg::Deserialization(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    Json::Value root;
    if (JsonDeserialization(text.str(), root)) {
        Deserialization(root);
    }
}
