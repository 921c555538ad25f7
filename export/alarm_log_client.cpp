#include "export/alarm_log_client.h"

#include <algorithm>
#include <chrono>
#include <set>

#include "core/omlib.h"
#include "export/diagnose_export.h"
#include "infra/chs_log.h"
#include "infra/timer_drv.h"
#include "msg/chs_wire.h"

uint32_t g_uiAlmStatusPollMs = 1000;

namespace {

constexpr int64_t kFirstPollMs = 50;

// Names of the nodes whose package is ready and not yet fetched.
std::set<std::string> ReadyNodes(const tagEXPORT_FILE_STATUS& status) {
    std::set<std::string> ready;
    for (const tagEXPORT_SINGLE_NODE_STATUS& node : status.NodeStatus) {
        if ((node.ExportStatus == chs_wire::ALM_NODE_READY || node.ExportStatus == chs_wire::ALM_NODE_READY_PARTIAL) &&
            node.PkgStatus != chs_wire::ALM_PKG_FETCHED) {
            ready.insert(node.NodeName);
        }
    }
    return ready;
}

// A text cell's value, or null when the cell is absent or not text.
const char* TextCell(const MsgRecord& record, unsigned short tag) {
    const CTLVCell* cell = record.find(tag);
    if (cell == nullptr || cell->GetType() != CTLVCell::TLV_STRING) {
        return nullptr;
    }
    return static_cast<const char*>(*cell);
}

// A numeric cell's value, or `absent` when the cell is absent or not a number.
uint64_t NumberCell(const MsgRecord& record, unsigned short tag, uint64_t absent) {
    const CTLVCell* cell = record.find(tag);
    if (cell == nullptr || !CTLVCell::IsNumericalType(cell->GetType())) {
        return absent;
    }
    return cell->GetUInt64();
}

// Sends a general-command request `record` to 561 of `node` and waits.
// true with `answer` filled when an answer arrived in time.
bool AskAlarmService(uint16_t node, uint32_t opcode, MsgRecord* record, uint32_t timeoutSec, InnerMsg& answer) {
    try {
        InnerMsg request;
        InitExportRequest(request, node, chs_wire::PID_ALARM, opcode, timeoutSec);
        request.GetBody().append(record);
        if (!request.SendSyncMsg(answer) || answer.GetResult() != MSG_STATE_SUCCESS) {
            CHS_LOG(3, LOGID_EXPORT, "Send message failed.");
            return false;
        }
        return true;
    } catch (...) {
        CHS_LOG(3, LOGID_EXPORT, "Send message failed.");
        return false;
    }
}

MsgRecord* GeneralRecord(uint64_t code, uint32_t logType) {
    MsgRecord* record = new MsgRecord(code);
    record->appendInner(CTLVCell::NewUInt32(chs_wire::ALM_TAG_LOG_TYPE, logType));
    return record;
}

}  // namespace

uint32_t GetAlmLogType(uint32_t mode) {
    switch (mode) {
        case chs_wire::REMOTE_LOG_MODE_ALARM_FIRST:
            return chs_wire::ALM_LOG_TYPE_FIRST;
        case chs_wire::REMOTE_LOG_MODE_ALARM_SECOND:
            return chs_wire::ALM_LOG_TYPE_SECOND;
        default:
            return mode;
    }
}

uint32_t GetAlmClearLogType(uint32_t logType) {
    switch (logType) {
        case chs_wire::ALM_LOG_TYPE_FIRST:
            return chs_wire::ALM_CLEAR_TYPE_FIRST;
        case chs_wire::ALM_LOG_TYPE_SECOND:
            return chs_wire::ALM_CLEAR_TYPE_SECOND;
        case chs_wire::ALM_LOG_TYPE_EVENT:
            return chs_wire::ALM_CLEAR_TYPE_EVENT;
        default:
            return logType;
    }
}

int32_t notifyExportFile(uint32_t logType) {
    InnerMsg answer;
    if (!AskAlarmService(omlib::getLocalNidInUser(), chs_wire::OPCODE_GENERAL,
                         GeneralRecord(chs_wire::RECORD_ALM_EXPORT_START, logType), ALM_LOG_REQUEST_TIMEOUT,
                         answer)) {
        return -1;
    }
    return static_cast<int32_t>(answer.TryGetErrorCode());
}

uint32_t ExtractExportStatus(const InnerMsg& answer, tagEXPORT_FILE_STATUS& status) {
    status.TotalExportStatus = EXPORT_ERR_FAILED;
    status.NodeStatus.clear();
    const MsgObject& body = answer.GetBody();
    if (body.empty()) {
        CHS_LOG(3, LOGID_EXPORT, "Received null message .");
        return 0xFFFFFFFF;
    }
    status.TotalExportStatus =
        static_cast<uint32_t>(NumberCell(body[0], chs_wire::ALM_TAG_TOTAL_STATUS, EXPORT_ERR_FAILED));
    uint64_t code = NumberCell(body[0], MSG_TAG_ERROR_CODE, 0);
    if (code != 0) {
        CHS_LOG(3, LOGID_EXPORT, "Failed to get query export status, ret(%u).", static_cast<uint32_t>(code));
        return static_cast<uint32_t>(code);
    }
    for (const MsgRecord& record : body) {
        const char* name = TextCell(record, chs_wire::ALM_TAG_NODE_NAME);
        if (name == nullptr) {
            continue;  // the overall state may stand in a record of its own
        }
        tagEXPORT_SINGLE_NODE_STATUS node;
        node.NodeName = name;
        node.PkgStatus = static_cast<uint32_t>(NumberCell(record, chs_wire::ALM_TAG_PKG_STATUS, 0));
        node.ExportStatus = static_cast<int32_t>(NumberCell(record, chs_wire::ALM_TAG_EXPORT_STATUS, 0));
        uint16_t nodeId = 0;
        if (omlib::getControllerID(node.NodeName, nodeId) != 0 || nodeId >= EXPORT_MAX_NODE_NUM) {
            CHS_LOG(3, LOGID_EXPORT, "Failed to get node(%s) log file name(%u).", node.NodeName.c_str(),
                    static_cast<unsigned int>(nodeId));
            continue;
        }
        node.NodeID = nodeId;
        status.NodeStatus.push_back(node);
    }
    return 0;
}

uint32_t queryExportStatus(uint32_t logType, tagEXPORT_FILE_STATUS& status) {
    status.TotalExportStatus = EXPORT_ERR_FAILED;
    status.NodeStatus.clear();
    InnerMsg answer;
    if (!AskAlarmService(omlib::getLocalNidInUser(), chs_wire::OPCODE_GENERAL,
                         GeneralRecord(chs_wire::RECORD_ALM_EXPORT_STATUS, logType), ALM_LOG_REQUEST_TIMEOUT,
                         answer)) {
        return 0xFFFFFFFF;
    }
    return ExtractExportStatus(answer, status);
}

int32_t notifyDownloadLogFile(uint32_t logType, const std::string& nodeName, std::string& location) {
    location.clear();
    MsgRecord* record = GeneralRecord(chs_wire::RECORD_ALM_EXPORT_PKG, logType);
    record->appendInner(CTLVCell::NewString(chs_wire::ALM_TAG_NODE_NAME, nodeName));
    InnerMsg answer;
    if (!AskAlarmService(omlib::getLocalNidInUser(), chs_wire::OPCODE_GENERAL, record, ALM_LOG_PACKAGE_TIMEOUT,
                         answer)) {
        return -1;
    }
    uint32_t code = answer.TryGetErrorCode();
    const char* text = answer.GetBody().empty() ? nullptr : TextCell(answer.GetBody()[0], chs_wire::ALM_TAG_LOCATION);
    if (code != 0 || text == nullptr) {
        CHS_LOG(3, LOGID_EXPORT, "Failed to get node log file(%u).", code);
        return -1;
    }
    location = text;
    return 0;
}

int32_t ParseLogFilePath(const std::string& location, std::string& address, std::string& file) {
    size_t colon = location.find(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == location.size()) {
        CHS_LOG(3, LOGID_EXPORT, "The file path is null.");
        return -1;
    }
    address = location.substr(0, colon);
    file = location.substr(colon + 1);
    CHS_LOG(0, LOGID_EXPORT, "filename[%s] nodeip[%s]", file.c_str(), address.c_str());
    return 0;
}

int32_t ClearNodeLogFile(uint32_t logType, const std::string& nodeName) {
    MsgRecord* record = GeneralRecord(chs_wire::RECORD_ALM_EXPORT_CLEAR, GetAlmClearLogType(logType));
    record->appendInner(CTLVCell::NewString(chs_wire::ALM_TAG_CLEAR_NODE, nodeName));
    InnerMsg answer;
    if (!AskAlarmService(omlib::getLocalNidInUser(), chs_wire::OPCODE_GENERAL, record, ALM_LOG_REQUEST_TIMEOUT,
                         answer)) {
        return -1;
    }
    return answer.TryGetErrorCode() == 0 ? 0 : -1;
}

int32_t notifyStopExportFile() {
    InnerMsg answer;
    if (!AskAlarmService(omlib::getLocalNidInUser(), chs_wire::OPCODE_GENERAL,
                         new MsgRecord(chs_wire::RECORD_ALM_EXPORT_STOP), ALM_LOG_REQUEST_TIMEOUT, answer)) {
        return -1;
    }
    return answer.TryGetErrorCode() == 0 ? 0 : -1;
}

int32_t ExtractAlarmLoglistMsg(const InnerMsg& answer, std::vector<std::pair<std::string, std::string>>& list) {
    list.clear();
    if (answer.TryGetErrorCode() != 0) {
        return -1;
    }
    for (const MsgRecord& record : answer.GetBody()) {
        const char* node = TextCell(record, chs_wire::ALM_LIST_TAG_NODE);
        const char* path = TextCell(record, chs_wire::ALM_LIST_TAG_PATH);
        if (node != nullptr && path != nullptr) {
            list.emplace_back(node, path);
        }
    }
    return 0;
}

int32_t GetAlmLogFileList(std::vector<std::pair<std::string, std::string>>& list) {
    list.clear();
    uint16_t master = 0;
    if (omlib::getMasterNid(master) != 0 || master >= EXPORT_MAX_NODE_NUM) {
        CHS_LOG(3, LOGID_EXPORT, "The master nid is invalid.");
        return -1;
    }
    InnerMsg answer;
    if (!AskAlarmService(master, chs_wire::OPCODE_ALM_LOG_LIST, new MsgRecord(0), ALM_LOG_REQUEST_TIMEOUT,
                         answer)) {
        return -1;
    }
    return ExtractAlarmLoglistMsg(answer, list);
}

void PauseExportRound(uint32_t logType, uint32_t roundMs, const tagEXPORT_FILE_STATUS& last) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(roundMs);
    const std::set<std::string> readyBefore = ReadyNodes(last);
    // A package of a few megabytes is ready within a fraction of a second:
    // the first asks come soon, later ones back off to the poll period.
    int64_t pollMs = std::min<int64_t>(kFirstPollMs, g_uiAlmStatusPollMs);
    while (true) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return;
        }
        TimerDrvClass::Sleep(static_cast<uint32_t>(std::min<int64_t>(left.count(), pollMs)));
        pollMs = std::min<int64_t>(pollMs * 2, g_uiAlmStatusPollMs);
        tagEXPORT_FILE_STATUS status;
        if (queryExportStatus(logType, status) != 0 || status.TotalExportStatus != chs_wire::ALM_TOTAL_RUNNING) {
            return;  // the caller's next round sees why
        }
        std::set<std::string> ready = ReadyNodes(status);
        if (!std::includes(readyBefore.begin(), readyBefore.end(), ready.begin(), ready.end())) {
            return;
        }
    }
}
