// The collector switch ("on"/"off", cluster-wide) and the OEM collector
// switch: the management requests that set and query them, the spreading of a
// change to every node, the start and stop of the local plugins to match the
// stored value, the recording of the user who switched collection on, the
// clearing of everything collected, and the operation log of set requests.
//
// Thread safety: the handlers run on the message engine's threads and may run
// concurrently with each other and with ControlPluginsBySwitch (main thread).
// Every start/stop decision and the engine call that follows it happen under
// g_mutexSwitchStatus; a set request applies the new value on its own node
// before it answers (at most the engine's driver time limit). The CCDB read-modify-write of a set request is not
// locked: two set requests at the same moment may both see the same old value.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "msg/chs_wire.h"
#include "msg/inner_msg.h"

// Whether the plugins are, as far as this unit knows, started. True at
// start-up because start-up starts collection itself. Guarded by
// g_mutexSwitchStatus; changes only inside NotifyAllPluginRegister.
extern bool PLUGIN_SWITCH_STATUS;
extern std::mutex g_mutexSwitchStatus;

constexpr const char* CHS_SWITCH_ON = "on";
constexpr const char* CHS_SWITCH_OFF = "off";

// Request keys and cells of the two management requests.
constexpr unsigned long long CHS_RECORD_SET_SWITCH = chs_wire::RECORD_SET_SWITCH;
constexpr unsigned long long CHS_RECORD_QUERY_SWITCH = chs_wire::RECORD_QUERY_SWITCH;
constexpr unsigned long long CHS_RECORD_QUERY_SWITCH_FAILED = chs_wire::RECORD_QUERY_SWITCH_FAILED;
constexpr unsigned long long CHS_SWITCH_QUALIFIER = chs_wire::SWITCH_QUALIFIER;
constexpr unsigned short CHS_SWITCH_TAG_QUALIFIER = chs_wire::SWITCH_TAG_QUALIFIER;
constexpr unsigned short CHS_SWITCH_TAG_COLLECTOR = chs_wire::SWITCH_TAG_COLLECTOR;
constexpr unsigned short CHS_SWITCH_TAG_OEM = chs_wire::SWITCH_TAG_OEM;
// Notices between nodes and modules.
constexpr uint32_t CHS_OPCODE_COLLECTOR_SWITCH_CHANGE = chs_wire::OPCODE_COLLECTOR_SWITCH_CHANGE;
constexpr uint32_t CHS_OPCODE_SWITCH_DB_CHANGE = chs_wire::OPCODE_SWITCH_DB_CHANGE;
constexpr uint32_t CHS_OPCODE_CLEAR_ALL_COLLECTOR_FILE = chs_wire::OPCODE_CLEAR_ALL_COLLECTOR_FILE;
// The user query of the access-authentication module.
constexpr uint16_t CHS_ACCESS_AUTH_PID = chs_wire::PID_ACCESS_AUTH;
constexpr uint16_t CHS_USER_QUERY_SENDER_PID = chs_wire::PID_REMOTE_AGENT;
constexpr uint32_t CHS_USER_QUERY_OPCODE = chs_wire::OPCODE_GENERAL;
constexpr uint32_t CHS_USER_QUERY_TIMEOUT = 50;  // seconds
constexpr unsigned long long CHS_USER_QUERY_RECORD = chs_wire::RECORD_QUERY_USER;
constexpr unsigned short CHS_USER_QUERY_TAG_NAME = chs_wire::QUERY_USER_TAG_NAME;
// Operation-log event ids.
constexpr uint64_t CHS_EVENT_SWITCH_SET_OK = 0x200FE05C0009ULL;
constexpr uint64_t CHS_EVENT_SWITCH_SET_FAILED = 0x200FE05C000AULL;
constexpr uint64_t CHS_EVENT_OEM_SWITCH_SET_OK = 0x2FE05C0001ULL;
constexpr uint64_t CHS_EVENT_OEM_SWITCH_SET_FAILED = 0x2FE05C0002ULL;
constexpr uint32_t CHS_OPLOG_ENTRY_TYPE = 3;
// Result codes.
constexpr uint32_t CHS_ERR_SWITCH_ILLEGAL = chs_wire::RESULT_SWITCH_ILLEGAL;
constexpr uint32_t CHS_ERR_SWITCH_NO_CELL = chs_wire::RESULT_BAD_REQUEST;
constexpr uint32_t CHS_ERR_NO_SITE_ID = chs_wire::RESULT_SWITCH_NO_SITE_ID;
constexpr uint32_t CHS_ERR_NO_USER = chs_wire::RESULT_SWITCH_NO_USER;
constexpr uint32_t CHS_ERR_SWITCH_FAILED = chs_wire::RESULT_REFUSED;

// Handlers of the message table (collector/collector_msg_handler.h). None
// keeps the request beyond the call.
void HandleSetSwitch(InnerMsg& msg);
void HandleSetCollectorSwitch(InnerMsg& msg);
void HandleSetOemSwitch(InnerMsg& msg, const std::string& value);
void HandleQueryCollectorSwitch(InnerMsg& msg);
void HandleCollectorSwichChange(InnerMsg& msg);
void HandleCollectorSwitchDbChange(InnerMsg& msg);
void HandleClearAllCollectorFile(InnerMsg& msg);

// The text of cell `tag` of the first record: 0, or 0x03000003 when there is
// no record or no such text cell.
uint32_t ExtractSetCollectorSwitchMsg(InnerMsg& msg, std::string& value, unsigned short tag);
// 0 for exactly "on" or "off", else 0x4000C958.
uint32_t CheckCollectorSwitch(const std::string& value);
// Starts or stops the local plugins when `value` differs from what they are
// known to be doing (each driver within the engine's time limit, all in
// parallel): 0 when nothing needed doing or every driver followed,
// chs_wire::RESULT_SWITCH_DRIVER_FAILED when some failed, threw or overran
// (their names in `failedDrivers` when given), or 0xFFFFFFFF for a value
// other than "on"/"off".
uint32_t NotifyAllPluginRegister(const std::string& value, std::vector<std::string>* failedDrivers = nullptr);
// Broadcasts 0x7000300E to every online node, this one included. Failures
// are logged only.
void NotifyAllNodeSwitchDbChange();

// Replies to a set or query request; posting failures are logged only. A
// non-empty `description` goes into the description cell.
void RspSetCollectoerSwitchMsg(InnerMsg& msg, uint32_t result, const std::string& description = "");
void RspQueryCollectorSwitchMsg(InnerMsg& msg, const std::string& collectorSwitch,
                                const std::string& oemSwitch);
// Writes one operation-log entry for a set request; delivery failures are
// ignored, they do not change the outcome of the request.
void SendSetCollectorSwitchOplog(uint32_t sessionKey, const std::string& value, uint64_t eventId,
                                 uint32_t result);

// Resolves the user behind `sessionKey` with the access-authentication
// module and stores it as the syslog user: 0, 0x4000C960 when the user
// cannot be resolved, or the store's result.
uint32_t SaveUserBySessionKey(uint32_t sessionKey);
uint32_t GetSyslogUserBySessionKey(uint32_t sessionKey, std::string& user);
// Sends the user query synchronously (blocks up to 50 s); its result code.
uint32_t QryUserFromAA(uint32_t sessionKey, InnerMsg& reply);
// The text of cell 0 of the first record of `reply`: 0 or 0xFFFFFFFF.
uint32_t ExtractSyslogUserMsg(InnerMsg& reply, std::string& user);

// One step of the daemon's supervision cycle: re-reads the collector switch
// and applies it through NotifyAllPluginRegister; the last-known value is
// replaced only when that succeeded, so the next cycle retries a failure.
void ControlPluginsBySwitch();
// The collector switch value last applied ("off" until set). Start-up sets it
// from the CCDB; the supervision step refreshes it. Thread-safe.
std::string GetLastKnownCollectorSwitch();
void SetLastKnownCollectorSwitch(const std::string& value);
