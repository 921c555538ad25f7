#include "control/collector_switch.h"

#include <bitset>
#include <exception>

#include "collector/collect_file_handoff.h"
#include "collector/driver_states.h"
#include "control/capi_alarm.h"
#include "control/collector_ccdb.h"
#include "core/omlib.h"
#include "include/infocollector/collector_db.h"
#include "include/infocollector/engine.h"
#include "infra/chs_log.h"

bool PLUGIN_SWITCH_STATUS = true;
std::mutex g_mutexSwitchStatus;

namespace {

constexpr uint16_t kNoticeMsgType = 3;

std::mutex g_mutexLastSwitch;
std::string g_strLastKnownSwitch = CHS_SWITCH_OFF;

// Ends a failed set request: the requester gets the code, the operation log
// a failure entry carrying the same code.
void FailSetRequest(InnerMsg& msg, uint32_t sessionKey, const std::string& value, uint64_t eventId,
                    uint32_t code) {
    RspSetCollectoerSwitchMsg(msg, code);
    SendSetCollectorSwitchOplog(sessionKey, value, eventId, code);
}

// "driver a, b failed to start", at most kMaxDriverListText bytes of names.
std::string DriverFailureText(const std::vector<std::string>& names, bool start) {
    constexpr size_t kMaxDriverListText = 1024;
    std::string list;
    for (const std::string& name : names) {
        if (list.size() + name.size() + 2 > kMaxDriverListText) {
            list += ", ...";
            break;
        }
        list += (list.empty() ? "" : ", ") + name;
    }
    return std::string(names.size() == 1 ? "driver " : "drivers ") + list + " failed to " +
           (start ? "start" : "stop");
}

void PostReply(InnerMsg& msg, MsgObject& body) {
    if (!msg.PostAckMsg(body)) {
        CHS_LOG(3, LOGID_CONTROL, "Failed to post ack msg.");
    }
}

}  // namespace

std::string GetLastKnownCollectorSwitch() {
    std::lock_guard<std::mutex> lock(g_mutexLastSwitch);
    return g_strLastKnownSwitch;
}

void SetLastKnownCollectorSwitch(const std::string& value) {
    std::lock_guard<std::mutex> lock(g_mutexLastSwitch);
    g_strLastKnownSwitch = value;
}

uint32_t ExtractSetCollectorSwitchMsg(InnerMsg& msg, std::string& value, unsigned short tag) {
    if (msg.GetBody().empty()) {
        CHS_LOG(3, LOGID_CONTROL, "Obj count is zero.");
        return CHS_ERR_SWITCH_NO_CELL;
    }
    try {
        // A missing cell and a cell that is not text both throw.
        value = static_cast<const char*>(msg.GetBody()[0][tag]);
    } catch (const std::exception&) {
        CHS_LOG(3, LOGID_CONTROL,
                "An exception occurred during getting the collector switch from the reqMsg.");
        return CHS_ERR_SWITCH_NO_CELL;
    }
    return 0;
}

uint32_t CheckCollectorSwitch(const std::string& value) {
    if (value == CHS_SWITCH_OFF || value == CHS_SWITCH_ON) {
        return 0;
    }
    CHS_LOG(3, LOGID_CONTROL, "The switch value is illegal");
    return CHS_ERR_SWITCH_ILLEGAL;
}

void HandleSetSwitch(InnerMsg& msg) {
    std::string value;
    if (ExtractSetCollectorSwitchMsg(msg, value, CHS_SWITCH_TAG_OEM) == 0) {
        HandleSetOemSwitch(msg, value);
    } else {
        HandleSetCollectorSwitch(msg);
    }
}

void HandleSetCollectorSwitch(InnerMsg& msg) {
    if (COLLECTOR_CCDB::IsCollectorOemMode()) {
        CHS_LOG(0, LOGID_CONTROL, "The OEM device doesn's support Call Home Service.");
        RspSetCollectoerSwitchMsg(msg, CHS_ERR_SWITCH_FAILED);
        return;
    }
    uint32_t sessionKey = msg.GetSessionKey();
    std::string newValue;
    uint32_t ret = ExtractSetCollectorSwitchMsg(msg, newValue, CHS_SWITCH_TAG_COLLECTOR);
    if (ret != 0) {
        CHS_LOG(3, LOGID_CONTROL, "Failed to extract parameter, return %d.", static_cast<int>(ret));
        RspSetCollectoerSwitchMsg(msg, ret);
        return;
    }
    ret = CheckCollectorSwitch(newValue);
    if (ret != 0) {
        CHS_LOG(3, LOGID_CONTROL, "Failed to check collector switch, return %d.", static_cast<int>(ret));
        FailSetRequest(msg, sessionKey, newValue, CHS_EVENT_SWITCH_SET_FAILED, ret);
        return;
    }
    std::string areaId;
    ret = COLLECTOR_CCDB::GetAgentAreaId(areaId);
    if (ret != 0) {
        CHS_LOG(3, LOGID_CONTROL, "Failed to check center id, return %d.", static_cast<int>(ret));
        FailSetRequest(msg, sessionKey, newValue, CHS_EVENT_SWITCH_SET_FAILED, ret);
        return;
    }
    if (areaId.empty()) {
        CHS_LOG(3, LOGID_CONTROL, "Site id not set.");
        FailSetRequest(msg, sessionKey, newValue, CHS_EVENT_SWITCH_SET_FAILED, CHS_ERR_NO_SITE_ID);
        return;
    }
    std::string oldValue;
    ret = COLLECTOR_CCDB::GetCollectorSwitch(oldValue);
    if (ret != 0) {
        CHS_LOG(3, LOGID_CONTROL, "Failed to check collector switch, return %d.", static_cast<int>(ret));
        FailSetRequest(msg, sessionKey, newValue, CHS_EVENT_SWITCH_SET_FAILED, ret);
        return;
    }
    ret = COLLECTOR_CCDB::SetCollectorSwitch(newValue);
    if (ret != 0) {
        CHS_LOG(3, LOGID_CONTROL, "Failed to save collector switch, return %d.", static_cast<int>(ret));
        FailSetRequest(msg, sessionKey, newValue, CHS_EVENT_SWITCH_SET_FAILED, ret);
        return;
    }
    if (newValue == CHS_SWITCH_ON) {
        ret = SaveUserBySessionKey(sessionKey);
        if (ret != 0) {
            // Collection must not run on behalf of nobody: undo the switch.
            (void)COLLECTOR_CCDB::SetCollectorSwitch(oldValue);
            CHS_LOG(3, LOGID_CONTROL, "Failed to save user information, return %d.", static_cast<int>(ret));
            FailSetRequest(msg, sessionKey, newValue, CHS_EVENT_SWITCH_SET_FAILED, ret);
            return;
        }
    }
    // This node applies the new value at once, so that the answer can name
    // the local drivers that did not follow; every other node applies it
    // when the broadcast arrives (here the broadcast then finds nothing to do).
    std::vector<std::string> failedDrivers;
    uint32_t applied = NotifyAllPluginRegister(newValue, &failedDrivers);
    if (newValue != oldValue) {
        NotifyAllNodeSwitchDbChange();
    }
    if (newValue == CHS_SWITCH_OFF) {
        NotifyRelaydCollectorSwichChange();
    }
    if (applied == chs_wire::RESULT_SWITCH_DRIVER_FAILED) {
        // The switch stays as set: the other drivers follow it, and so does
        // every other node.
        std::string text = DriverFailureText(failedDrivers, newValue == CHS_SWITCH_ON);
        CHS_LOG(3, LOGID_CONTROL, "Collector switch set to %s, but %s.", newValue.c_str(), text.c_str());
        RspSetCollectoerSwitchMsg(msg, applied, text);
        SendSetCollectorSwitchOplog(sessionKey, newValue, CHS_EVENT_SWITCH_SET_FAILED, applied);
        return;
    }
    RspSetCollectoerSwitchMsg(msg, 0);
    SendSetCollectorSwitchOplog(sessionKey, newValue, CHS_EVENT_SWITCH_SET_OK, 0);
}

void HandleSetOemSwitch(InnerMsg& msg, const std::string& value) {
    uint32_t sessionKey = msg.GetSessionKey();
    uint32_t ret = CheckCollectorSwitch(value);
    if (ret != 0) {
        CHS_LOG(3, LOGID_CONTROL, "Failed to check oem switch, return %d.", static_cast<int>(ret));
        FailSetRequest(msg, sessionKey, value, CHS_EVENT_OEM_SWITCH_SET_FAILED, ret);
        return;
    }
    ret = COLLECTOR_CCDB::SetOemSwitch(value);
    if (ret != 0) {
        CHS_LOG(3, LOGID_CONTROL, "Failed to save oem switch, return %d.", static_cast<int>(ret));
        FailSetRequest(msg, sessionKey, value, CHS_EVENT_OEM_SWITCH_SET_FAILED, ret);
        return;
    }
    // No node is told: the OEM switch is read afresh at every OEM-mode check.
    RspSetCollectoerSwitchMsg(msg, 0);
    SendSetCollectorSwitchOplog(sessionKey, value, CHS_EVENT_OEM_SWITCH_SET_OK, 0);
}

void HandleQueryCollectorSwitch(InnerMsg& msg) {
    CHS_LOG(0, LOGID_CONTROL, "recice query switch msg.");
    std::string collectorSwitch;
    uint32_t ret = COLLECTOR_CCDB::GetCollectorSwitch(collectorSwitch);
    if (ret != 0) {
        CHS_LOG(3, LOGID_CONTROL, "Failed to query the collector switch, ret(%d).", static_cast<int>(ret));
        CollectorPostAckMsg(msg, CHS_RECORD_QUERY_SWITCH_FAILED, static_cast<int>(ret));
        return;
    }
    std::string oemSwitch;
    ret = COLLECTOR_CCDB::GetOemSwitch(oemSwitch);
    if (ret != 0) {
        CHS_LOG(3, LOGID_CONTROL, "Failed to query the oem collector switch, ret(%d).",
                static_cast<int>(ret));
        CollectorPostAckMsg(msg, CHS_RECORD_QUERY_SWITCH_FAILED, static_cast<int>(ret));
        return;
    }
    // The stored texts are reported as they are, so that a bad value can be
    // seen (and set again) from the management side.
    if (CheckCollectorSwitch(collectorSwitch) != 0 || CheckCollectorSwitch(oemSwitch) != 0) {
        CHS_LOG(3, LOGID_CONTROL, "The switch is illegal. switch(%s) oemswitch(%s)", collectorSwitch.c_str(),
                oemSwitch.c_str());
    }
    RspQueryCollectorSwitchMsg(msg, collectorSwitch, oemSwitch);
}

void RspSetCollectoerSwitchMsg(InnerMsg& msg, uint32_t result, const std::string& description) {
    try {
        MsgObject body;
        MsgRecord* record = &body.AddRecord(CHS_RECORD_SET_SWITCH);
        record->AppendInt32(MSG_TAG_ERROR_CODE, static_cast<int32_t>(result));
        if (!description.empty()) {
            record->AppendString(chs_wire::TAG_DESCRIPTION, description);
        }
        PostReply(msg, body);
    } catch (const std::exception&) {
        CHS_LOG(3, LOGID_CONTROL, "Something wrong with post ack msg.");
    }
}

void RspQueryCollectorSwitchMsg(InnerMsg& msg, const std::string& collectorSwitch,
                                const std::string& oemSwitch) {
    try {
        MsgObject body;
        MsgRecord* record = &body.AddRecord(CHS_RECORD_QUERY_SWITCH);
        record->AppendEnum(CHS_SWITCH_TAG_QUALIFIER, CHS_SWITCH_QUALIFIER);
        record->AppendString(CHS_SWITCH_TAG_COLLECTOR, collectorSwitch);
        record->AppendString(CHS_SWITCH_TAG_OEM, oemSwitch);
        record->AppendInt32(MSG_TAG_ERROR_CODE, 0);
        PostReply(msg, body);
    } catch (const std::exception&) {
        CHS_LOG(3, LOGID_CONTROL, "Something wrong with post ack msg.");
    }
}

void SendSetCollectorSwitchOplog(uint32_t sessionKey, const std::string& value, uint64_t eventId,
                                 uint32_t result) {
    std::string text = capi_alarm::ParaFormat(sessionKey, value);
    (void)capi_alarm::CHS_SendAlarm(CHS_COLLECTOR_PID, eventId, CHS_OPLOG_ENTRY_TYPE, text, result);
}

uint32_t NotifyAllPluginRegister(const std::string& value, std::vector<std::string>* failedDrivers) {
    std::lock_guard<std::mutex> lock(g_mutexSwitchStatus);
    InfoCollectEngineClass* engine = InfoCollectEngineClass::instance();
    bool start = value == CHS_SWITCH_ON;
    if (!start && value != CHS_SWITCH_OFF) {
        CHS_LOG(3, LOGID_CONTROL, "The Collector switch is error:(%s).", value.c_str());
        return CHS_ERR_SWITCH_FAILED;
    }
    if (PLUGIN_SWITCH_STATUS == start) {
        CHS_LOG(0, LOGID_CONTROL, start ? "The Collector plugins have started." : "The Collector plugins have stopped.");
        return 0;
    }
    // Set before the call: a failed start is not retried by a later "on".
    PLUGIN_SWITCH_STATUS = start;
    int32_t failed = start ? engine->StartAllCollect() : engine->StopAllCollect();
    CHS_LOG(1, LOGID_CONTROL, "The result of %s Collector:(%d).", start ? "start" : "stop", failed);
    if (failed == 0) {
        return 0;
    }
    if (failedDrivers != nullptr) {
        *failedDrivers = ChsLastFailedDrivers(engine);
    }
    return chs_wire::RESULT_SWITCH_DRIVER_FAILED;
}

void NotifyAllNodeSwitchDbChange() {
    try {
        InnerMsg notice;
        tagMsgInfo& info = notice.GetMsgInfo();
        info.usMsgType = kNoticeMsgType;
        info.usSenderBID = omlib::getLocalNidInUser();
        info.usSenderPID = CHS_COLLECTOR_PID;
        info.usReceiverPID = CHS_COLLECTOR_PID;
        info.uiMsgOPCode = CHS_OPCODE_SWITCH_DB_CHANGE;
        notice.GetBody().append(new MsgRecord(0));
        uint32_t online = 0;
        omlib::getOnlineMap(online);
        unsigned int posted = notice.Broadcast(nullptr, nullptr);
        // A node left out is not lost: its periodic switch check applies
        // the stored value later.
        if (posted != 0 && posted == std::bitset<32>(online).count()) {
            CHS_LOG(0, LOGID_CONTROL, "Succeed in notify nodes that the switch has changed");
        } else {
            CHS_LOG(3, LOGID_CONTROL, "Failed to notify all nodes that the switch has changed.");
        }
    } catch (const std::exception&) {
        CHS_LOG(3, LOGID_CONTROL, "Exception occured.");
    }
}

void HandleCollectorSwichChange(InnerMsg& msg) {
    if (msg.GetBody().empty()) {
        CHS_LOG(3, LOGID_CONTROL, "Obj count is zero.");
        return;
    }
    NotifyAllNodeSwitchDbChange();
}

void HandleCollectorSwitchDbChange(InnerMsg& /*msg*/) {
    (void)DelAllAlarmRecord();
    std::string value;
    uint32_t ret = COLLECTOR_CCDB::GetCollectorSwitch(value);
    if (ret != 0) {
        CHS_LOG(3, LOGID_CONTROL, "Failed to check collectoer switch, return %d.", static_cast<int>(ret));
        return;
    }
    ret = NotifyAllPluginRegister(value);
    if (ret != 0) {
        CHS_LOG(3, LOGID_CONTROL, "Failed to start or stop collector plugins,ret:(%d).",
                static_cast<int>(ret));
    }
}

void ControlPluginsBySwitch() {
    std::string value;
    if (COLLECTOR_CCDB::GetCollectorSwitch(value) != 0) {
        return;
    }
    std::string last = GetLastKnownCollectorSwitch();
    if (value != last) {
        CHS_LOG(1, LOGID_CORE, "Switch changed from %s to %s by loop checking in main.", last.c_str(),
                value.c_str());
    }
    uint32_t ret = NotifyAllPluginRegister(value);
    // Drivers that did not follow are logged and shown as they are; the
    // value itself was applied.
    if (ret == 0 || ret == chs_wire::RESULT_SWITCH_DRIVER_FAILED) {
        SetLastKnownCollectorSwitch(value);
    }
}

uint32_t QryUserFromAA(uint32_t sessionKey, InnerMsg& reply) {
    try {
        InnerMsg request;
        tagMsgInfo& info = request.GetMsgInfo();
        uint16_t local = omlib::getLocalNidInUser();
        info.uiSessionKey = sessionKey;
        info.usSenderBID = local;
        info.usReceiverBID = local;
        info.usSenderPID = CHS_USER_QUERY_SENDER_PID;
        info.usReceiverPID = CHS_ACCESS_AUTH_PID;
        info.uiMsgOPCode = CHS_USER_QUERY_OPCODE;
        info.uiMsgTimeout = CHS_USER_QUERY_TIMEOUT;
        request.GetBody().append(new MsgRecord(CHS_USER_QUERY_RECORD));
        return request.SimpleSyncMsg(reply);
    } catch (const std::exception&) {
        CHS_LOG(3, LOGID_CONTROL, "Something wrong with send sync msg.");
        return CHS_ERR_SWITCH_FAILED;
    }
}

uint32_t ExtractSyslogUserMsg(InnerMsg& reply, std::string& user) {
    if (reply.GetBody().empty()) {
        CHS_LOG(3, LOGID_CONTROL, "The msg obj count is zero.");
        return CHS_ERR_SWITCH_FAILED;
    }
    try {
        user = static_cast<const char*>(reply.GetBody()[0][CHS_USER_QUERY_TAG_NAME]);
    } catch (const std::exception&) {
        CHS_LOG(3, LOGID_CONTROL, "Something wrong with get obj msg.");
        return CHS_ERR_SWITCH_FAILED;
    }
    return 0;
}

uint32_t GetSyslogUserBySessionKey(uint32_t sessionKey, std::string& user) {
    InnerMsg reply;
    uint32_t ret = QryUserFromAA(sessionKey, reply);
    if (ret != 0) {
        CHS_LOG(3, LOGID_CONTROL, " Failed to query device info from cfg");
        return ret;
    }
    ret = ExtractSyslogUserMsg(reply, user);
    if (ret != 0) {
        CHS_LOG(3, LOGID_CONTROL, " Failed to extract device info");
        return ret;
    }
    return 0;
}

uint32_t SaveUserBySessionKey(uint32_t sessionKey) {
    std::string user;
    if (GetSyslogUserBySessionKey(sessionKey, user) != 0) {
        return CHS_ERR_NO_USER;
    }
    CHS_LOG(0, LOGID_CONTROL, "User name is %s", user.c_str());
    return COLLECTOR_CCDB::SetSyslogUser(user);
}
