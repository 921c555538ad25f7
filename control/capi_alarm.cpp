#include "control/capi_alarm.h"

#include <cstdio>
#include <exception>

#include "core/omlib.h"
#include "infra/chs_log.h"
#include "msg/inner_msg.h"

namespace capi_alarm {
namespace {

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

std::string HexResult(uint32_t result) {
    char text[16];
    snprintf(text, sizeof(text), "0x%x", result);
    return text;
}

}  // namespace

std::string EscapeParameter(const std::string& text) {
    std::string escaped = text;
    ReplaceAll(escaped, "&", "&#38;");
    ReplaceAll(escaped, ",", "&#44;");
    return escaped;
}

int32_t CHS_SendAlarm(uint16_t moduleId, uint64_t alarmId, uint32_t type, const std::string& parameters,
                      uint32_t result) {
    try {
        uint16_t master = 0;
        if (omlib::getMasterNid(master) != 0) {
            // Without a master there is nobody to record the entry.
            CHS_LOG(2, LOGID_CONTROL, "Failed to get master node id.");
            return static_cast<int32_t>(0xFFFFFFFF);
        }
        InnerMsg request;
        tagMsgInfo& info = request.GetMsgInfo();
        info.usSenderBID = omlib::getLocalNidInUser();
        info.usSenderPID = moduleId;
        info.usReceiverBID = master;
        info.usReceiverPID = CHS_ALARM_SERVICE_PID;
        info.uiMsgOPCode = CHS_ALARM_OPCODE;
        info.uiMsgTimeout = CHS_ALARM_TIMEOUT;
        MsgRecord* record = &request.GetBody().AddRecord(CHS_ALARM_RECORD);
        record->AppendUInt64(CHS_ALARM_TAG_ID, alarmId);
        record->AppendUInt32(CHS_ALARM_TAG_TYPE, type);
        record->AppendUInt32(CHS_ALARM_TAG_SOURCE, CHS_ALARM_SOURCE);

        std::string text = parameters;
        if (result != 0) {
            text += text.empty() ? HexResult(result) : "," + HexResult(result);
        }
        if (!text.empty()) {
            record->AppendString(CHS_ALARM_TAG_PARAMS, text);
        }
        InnerMsg answer;
        return static_cast<int32_t>(request.SimpleSyncMsg(answer));
    } catch (const std::exception&) {
        CHS_LOG(2, LOGID_CONTROL, "Exception occured when parsing tlv message.");
        return static_cast<int32_t>(0xFFFFFFFF);
    }
}

}  // namespace capi_alarm
