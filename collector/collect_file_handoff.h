// Collected-file hand-off on the daemon's side: the plugin-facing operations
// of include/infocollector/file_handoff.h plus the ones only the daemon uses
// (answering a request, the switch-change notice, the switch test).
//
// Every function may be called from any thread; none keeps state except the
// process-wide tunables below, which are set once before use (tests lower
// them).
#pragma once

#include <cstdint>
#include <string>

#include "include/infocollector/file_handoff.h"
#include "msg/chs_wire.h"
#include "msg/inner_msg.h"

// Endpoints of the daemon and of the local remote-service agent, and the
// send-file request, under the names the daemon uses (msg/chs_wire.h holds
// the values).
constexpr uint16_t CHS_COLLECTOR_PID = chs_wire::PID_COLLECTOR;
constexpr uint16_t CHS_RELAYD_PID = chs_wire::PID_REMOTE_AGENT;
constexpr uint32_t CHS_OPCODE_SEND_FILE = chs_wire::OPCODE_SEND_FILE;
constexpr uint32_t CHS_OPCODE_SWITCH_CHANGE = chs_wire::OPCODE_AGENT_SWITCH_CHANGE;
constexpr uint32_t CHS_SWITCH_CHANGE_TIMEOUT = 10;  // seconds
// Cells of the send-file request.
constexpr unsigned short SEND_FILE_TAG_PATH = chs_wire::SEND_FILE_TAG_DIR;
constexpr unsigned short SEND_FILE_TAG_FILE_NAME = chs_wire::SEND_FILE_TAG_NAME;
constexpr unsigned short SEND_FILE_TAG_FILE_SIZE = chs_wire::SEND_FILE_TAG_SIZE;
constexpr unsigned short SEND_FILE_TAG_FILE_TYPE = chs_wire::SEND_FILE_TAG_TYPE;
constexpr unsigned short SEND_FILE_TAG_IP = chs_wire::SEND_FILE_TAG_ADDRESS;
constexpr unsigned short SEND_FILE_TAG_NODE_ID = chs_wire::SEND_FILE_TAG_NODE;
constexpr unsigned short SEND_FILE_TAG_DEST_FORM = chs_wire::SEND_FILE_TAG_FORM;
constexpr uint16_t SEND_FILE_DEST_ADDRESS = chs_wire::SEND_FILE_FORM_ADDRESS;
constexpr uint16_t SEND_FILE_DEST_NODE = chs_wire::SEND_FILE_FORM_NODE;
// Time-out of a node-to-node file fetch, in seconds.
constexpr int CHS_GET_FILE_TIMEOUT = 10;

// One poll of waitSendFileFinish / waitAllNodeResponse (1000 ms).
extern uint32_t g_uiHandoffPollMs;

// The decision of isNodeOrArrayOnCollectTime for a given local minute (0..59).
bool IsCollectMinute(const std::string& timerName, int minute);

// Time-out callback of the send-file requests: logs and nothing else.
void timeOuthandle(InnerMsg& answer);

// Answers `request` with one record of code `code`; a non-zero `result`
// travels in a TLV_INTEGER cell 4095. Failures are logged only.
void CollectorPostAckMsg(InnerMsg& request, unsigned long long code, int result);

// Tells the master's agent (no answer expected) that the collector switch
// changed. Failures are logged only.
void NotifyRelaydCollectorSwichChange();

// The last file handed to the agent (its send request posted) and when, in
// seconds since the epoch; false when none since the daemon started.
bool LastHandedFile(std::string& file, int64_t& when);

// True only when the collector switch can be read and reads exactly "on".
bool checkCollectSwitch();
