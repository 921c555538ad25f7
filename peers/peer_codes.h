// Endpoints, operation codes, record codes and result codes of the sibling
// modules that chs-peers plays. The request layouts are the daemon's; the
// failure codes are this program's own (the daemon only tells 0 from the rest).
#pragma once

#include <cstdint>

#include "msg/chs_wire.h"

namespace chs_peers {

// Endpoints (process ids) served on every node.
constexpr uint16_t PEER_PID_REMOTE_AGENT = chs_wire::PID_REMOTE_AGENT;
constexpr uint16_t PEER_PID_ALARM = chs_wire::PID_ALARM;
constexpr uint16_t PEER_PID_ACCESS_AUTH = chs_wire::PID_ACCESS_AUTH;
constexpr uint16_t PEER_PID_SSH_PORT = chs_wire::PID_SSH_PORT;
// The alarm-log exports of 561 and the synchronisation service 569 speak the
// daemon's log-task contract: their codes are in msg/chs_wire.h.

// Remote-service agent.
using chs_wire::OPCODE_SEND_FILE;
constexpr uint32_t OPCODE_SWITCH_CHANGE = chs_wire::OPCODE_AGENT_SWITCH_CHANGE;
using chs_wire::SEND_FILE_TAG_DIR;
using chs_wire::SEND_FILE_TAG_NAME;
using chs_wire::SEND_FILE_TAG_SIZE;
using chs_wire::SEND_FILE_TAG_TYPE;
using chs_wire::SEND_FILE_TAG_ADDRESS;
using chs_wire::SEND_FILE_TAG_NODE;
using chs_wire::SEND_FILE_TAG_FORM;
using chs_wire::SEND_FILE_FORM_ADDRESS;
using chs_wire::SEND_FILE_FORM_NODE;

// General-command requests (operation code 259) and their record codes.
using chs_wire::OPCODE_GENERAL;
using chs_wire::RECORD_ALARM_ENTRY;
using chs_wire::RECORD_QUERY_USER;
using chs_wire::RECORD_SSH_PORT;
using chs_wire::ALARM_TAG_ID;
using chs_wire::ALARM_TAG_TYPE;
using chs_wire::QUERY_USER_TAG_NAME;
using chs_wire::SSH_PORT_TAG_PORT;
constexpr uint32_t DEFAULT_SSH_PORT = 22;

// Result codes carried in cell 4095 of an answer (0: success).
constexpr uint32_t PEER_OK = 0;
constexpr uint32_t PEER_ERR_BAD_REQUEST = 0x03000003;   // no record, missing cell, wrong cell type
constexpr uint32_t PEER_ERR_UNSUPPORTED = 0x03000010;   // a request this module does not serve
constexpr uint32_t PEER_ERR_PATH_REFUSED = 0x03000011;  // the path leaves the node root
constexpr uint32_t PEER_ERR_FILE = 0x03000012;          // the file cannot be read or delivered
constexpr uint32_t PEER_ERR_NODE = 0x03000013;          // no such node in the cluster
constexpr uint32_t PEER_ERR_CONFIG = 0x03000014;        // peers.json cannot be read
constexpr uint32_t PEER_ERR_UNKNOWN_SESSION = 0x03000015;
constexpr uint32_t PEER_ERR_RECORD = 0x03000016;  // the entry cannot be recorded
constexpr uint32_t PEER_ERR_BUSY = 0x03000017;    // too many requests queued
constexpr uint32_t PEER_ERR_NO_EXPORT = 0x03000018;  // no export of that log type was started
constexpr uint32_t PEER_ERR_NOT_READY = 0x03000019;  // the package is not built, failed or was cleared
constexpr uint32_t PEER_ERR_UPLOAD = 0x0300001A;     // the remote support service was not reached or refused

// Log id of every line chs-peers writes; the module id of the process is 550.
constexpr unsigned int LOGID_PEERS = 0x09000;
constexpr unsigned int PEERS_LOG_MODULE = PEER_PID_REMOTE_AGENT;

}  // namespace chs_peers
