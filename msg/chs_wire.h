// The wire contract of remote log tasks, the log exports and collected-file
// packaging: operation codes, record codes, cell tags and the result values
// that travel between the daemon (551), the sibling modules (chs-peers) and
// the management command line (chsctl). All three include this header, so a
// code is written down exactly once.
//
// Cells are TLV cells; "u32"/"u64" are unsigned cells, "i32" a signed one,
// "text" a string cell. Result codes of answers travel in cell 4095.
#pragma once

#include <cstddef>
#include <cstdint>

namespace chs_wire {

// Endpoints.
constexpr uint16_t PID_REMOTE_AGENT = 550;
constexpr uint16_t PID_COLLECTOR = 551;
constexpr uint16_t PID_ALARM = 561;
constexpr uint16_t PID_ACCESS_AUTH = 567;
constexpr uint16_t PID_SYNC = 569;
constexpr uint16_t PID_SSH_PORT = 575;

constexpr unsigned short TAG_RESULT = 4095;
constexpr unsigned short TAG_DESCRIPTION = 4094;

// The general command: the handler comes from the first record's code.
constexpr uint32_t OPCODE_GENERAL = 259;

// ---- Remote-service agent (550) ----
// Send a file on: tag 0 text directory, 1 text file name, 2 size, 3 file
// type, then either the address form (tag 4 text address) or the node form
// (tag 5 node id), told apart by tag 6. The answer's cell 4095 is 0 when sent.
constexpr uint32_t OPCODE_SEND_FILE = 0x70001001;
constexpr unsigned short SEND_FILE_TAG_DIR = 0;
constexpr unsigned short SEND_FILE_TAG_NAME = 1;
constexpr unsigned short SEND_FILE_TAG_SIZE = 2;
constexpr unsigned short SEND_FILE_TAG_TYPE = 3;
constexpr unsigned short SEND_FILE_TAG_ADDRESS = 4;
constexpr unsigned short SEND_FILE_TAG_NODE = 5;
constexpr unsigned short SEND_FILE_TAG_FORM = 6;
constexpr uint16_t SEND_FILE_FORM_ADDRESS = 0;
constexpr uint16_t SEND_FILE_FORM_NODE = 1;
// Notice to the master's agent that the collector switch changed.
constexpr uint32_t OPCODE_AGENT_SWITCH_CHANGE = 0x7000100A;

// ---- Alarm and operation-log entries (561), general command ----
constexpr uint64_t RECORD_ALARM_ENTRY = 0xD00C900A5;
constexpr unsigned short ALARM_TAG_ID = 0;
constexpr unsigned short ALARM_TAG_TYPE = 1;
constexpr unsigned short ALARM_TAG_PARAMS = 2;
constexpr unsigned short ALARM_TAG_SOURCE = 3;

// ---- Access authentication (567), general command ----
// The session key travels in the header; the answer names the user in tag 0.
constexpr uint64_t RECORD_QUERY_USER = 0x2FB;
constexpr unsigned short QUERY_USER_TAG_NAME = 0;

// ---- SSH port (575), general command ----
constexpr uint64_t RECORD_SSH_PORT = 0xD00C900AC;
constexpr unsigned short SSH_PORT_TAG_PORT = 1;

// ---- Collector switch (requests to 551 of any node) ----
// Set and query are general commands; tag 0 of the first record holds the
// qualifier that, shifted by 16, completes the handler key.
constexpr uint64_t RECORD_SET_SWITCH = 0xD00002000ULL;
constexpr uint64_t RECORD_QUERY_SWITCH = 0xD00000000ULL;
constexpr uint64_t RECORD_QUERY_SWITCH_FAILED = 0xDE05C0000ULL;
constexpr uint64_t SWITCH_QUALIFIER = 0xE05C;
constexpr unsigned short SWITCH_TAG_QUALIFIER = 0;
constexpr unsigned short SWITCH_TAG_COLLECTOR = 64;
constexpr unsigned short SWITCH_TAG_OEM = 73;
// Notices between nodes: the switch changed, the stored switch changed,
// clear every collected file.
constexpr uint32_t OPCODE_COLLECTOR_SWITCH_CHANGE = 0x7000300A;
constexpr uint32_t OPCODE_SWITCH_DB_CHANGE = 0x7000300E;
constexpr uint32_t OPCODE_CLEAR_ALL_COLLECTOR_FILE = 0x7000300F;

// ---- Diagnose export (requests to 551) ----
// Start: first record, tag 0 text task id, tag 1 integer type, tags 2 and 3
// reserved. Status, download and clear carry the type in tag 1; the
// download answer names the merged file in tag 3, the status answer holds
// the state in tag 4.
constexpr uint32_t OPCODE_EXPORT_FILE = 0x70003014;
constexpr uint32_t OPCODE_EXPORT_NODE_BUILD = 0x70003015;
constexpr uint32_t OPCODE_EXPORT_DELETE_FILE = 0x70003016;
constexpr uint32_t OPCODE_EXPORT_GET_STATUS = 0x70003017;
constexpr uint32_t OPCODE_EXPORT_DOWNLOAD = 0x70003018;
constexpr uint32_t OPCODE_EXPORT_CLEAR = 0x70003019;
constexpr uint32_t OPCODE_EXPORT_QUERY_PEER_STATUS = 0x70003021;
constexpr unsigned short EXPORT_TAG_TASK_ID = 0;
constexpr unsigned short EXPORT_TAG_TYPE = 1;
constexpr unsigned short EXPORT_TAG_RESERVED64 = 2;
constexpr unsigned short EXPORT_TAG_RESERVED = 3;
constexpr unsigned short EXPORT_TAG_FINAL_PATH = 3;
constexpr unsigned short EXPORT_TAG_STATUS = 4;
// Delete on a node: tag 1 text path, tag 2 kind (0 clears the node's
// diagnose data, 1 deletes the named file).
constexpr unsigned short EXPORT_DELETE_TAG_PATH = 1;
constexpr unsigned short EXPORT_DELETE_TAG_KIND = 2;
constexpr uint32_t EXPORT_DELETE_KIND_CLEAR = 0;
constexpr uint32_t EXPORT_DELETE_KIND_FILE = 1;
// The per-node build notice: tag 0 CCDB state, 1 run node, 2 type, 3 path;
// its answer: tag 0 result, 1 package name, 2 size, 3 package directory.
constexpr unsigned short BUILD_TAG_CCDB_TYPE = 0;
constexpr unsigned short BUILD_TAG_RUN_NODE = 1;
constexpr unsigned short BUILD_TAG_TYPE = 2;
constexpr unsigned short BUILD_TAG_PATH = 3;
constexpr unsigned short BUILD_ACK_TAG_RESULT = 0;
constexpr unsigned short BUILD_ACK_TAG_NAME = 1;
constexpr unsigned short BUILD_ACK_TAG_SIZE = 2;
constexpr unsigned short BUILD_ACK_TAG_PATH = 3;
// Result of a node package build that failed (tag 0 of the build answer).
constexpr int32_t BUILD_RESULT_FAILED = static_cast<int32_t>(0x4040324C);
// Refusals of download, status and clear (cell 4095): no diagnose task, the
// export state is unknown here or another node runs the task, not the type
// of the current export.
constexpr uint32_t EXPORT_RESULT_NO_TASK = 0x40E05B0E;
constexpr uint32_t EXPORT_RESULT_NOT_RUN_NODE = 0x40E05B0F;
constexpr uint32_t EXPORT_RESULT_TYPE_MISMATCH = 0x40E05B10;
// A download or upload whose merged bundle still holds a known secret of the
// cluster (this project's own): the bundle is removed, nothing leaves.
constexpr uint32_t EXPORT_RESULT_SECRET_FOUND = 0x40E05B31;

// ---- Remote log tasks (requests to 551 of any node) ----
// Start: first record, tag 0 text task id, tag 1 integer mode, tags 2 and 3
// u64 range begin and end in milliseconds since the epoch. Refusals and parse
// errors are answered with record OPCODE_REMOTE_LOG_COLLECT, an accepted
// start (the task row is written) with record RECORD_REMOTE_TASK_ADDED.
constexpr uint32_t OPCODE_REMOTE_LOG_COLLECT = 0x70003010;
constexpr uint64_t RECORD_REMOTE_TASK_ADDED = 0x70003008;
constexpr unsigned short REMOTE_LOG_TAG_TASK_ID = 0;
constexpr unsigned short REMOTE_LOG_TAG_MODE = 1;
constexpr unsigned short REMOTE_LOG_TAG_BEGIN = 2;
constexpr unsigned short REMOTE_LOG_TAG_END = 3;
// Task modes: alarm logs of the first and second kind, history logs of a range.
constexpr uint32_t REMOTE_LOG_MODE_ALARM_FIRST = 0;
constexpr uint32_t REMOTE_LOG_MODE_ALARM_SECOND = 1;
constexpr uint32_t REMOTE_LOG_MODE_HISTORY = 2;
// Stop: first record, tag 0 text id of the task to stop.
constexpr uint32_t OPCODE_REMOTE_LOG_STOP = 0x70003011;
constexpr unsigned short REMOTE_LOG_STOP_TAG_TASK_ID = 0;
// Longest task id the task row holds (its column is 256 bytes with the NUL).
constexpr size_t REMOTE_LOG_TASK_ID_MAX = 255;

// Task row states (i_taskstatus of the kind-1 row).
constexpr uint64_t TASK_STATUS_RUNNING = 1;
constexpr uint64_t TASK_STATUS_LIST_READY = 2;
constexpr uint64_t TASK_STATUS_SUCCEEDED = 3;
constexpr uint64_t TASK_STATUS_FAILED = 4;

// ---- Node-side log services (requests from the run node to 551) ----
// History-log listing: first record, tag 2 u64 range begin, tag 3 u64 range
// end (seconds since the epoch). The answer holds one record per copied file,
// its system path in the text cell HIS_LOG_TAG_PATH; a failure carries cell
// 4095 instead.
constexpr uint32_t OPCODE_LIST_HIS_LOG = 0x7000300B;
constexpr unsigned short HIS_LOG_TAG_PATH = 1;
constexpr unsigned short HIS_LOG_TAG_BEGIN = 2;
constexpr unsigned short HIS_LOG_TAG_END = 3;
// Deletion of the copied history logs (broadcast, never answered): tag 1 text
// directory, tag 2 i32 0.
constexpr uint32_t OPCODE_DEL_HIS_LOG = 0x70003006;
constexpr unsigned short DEL_HIS_LOG_TAG_DIR = 1;
constexpr unsigned short DEL_HIS_LOG_TAG_FLAG = 2;
// Where every node copies the history logs it lists.
constexpr const char* HIS_LOG_COPY_DIR = "/VXA/coffer_data/omm/export_import/chs/collector/message/";

// ---- Collected-file packaging (request to 551) ----
// No cells are read. The answer: one record OPCODE_PKG_COLLECTOR_FILE with
// cell 4095 (i32) the result and tag 0 (text) the archive path.
constexpr uint32_t OPCODE_PKG_COLLECTOR_FILE = 0x70003004;
constexpr unsigned short PKG_TAG_PATH = 0;
constexpr uint32_t PKG_NOTHING_TO_PACK = 0x4000C965;

// ---- Alarm-log service (561 of the run node), general command ----
// Start an export: tag 0 u32 log type.
constexpr uint64_t RECORD_ALM_EXPORT_START = 0xD00C90016;
// Status: tag 0 u32 log type. Answer: tag 2 of the first record the overall
// state; one record per node with tag 4 text node name, tag 5 package state,
// tag 6 export state. A failure carries cell 4095 in the first record.
constexpr uint64_t RECORD_ALM_EXPORT_STATUS = 0xD00C90017;
// Package location of one node: tag 0 u32 log type, tag 4 text node name.
// Answer: tag 7 text "address:path".
constexpr uint64_t RECORD_ALM_EXPORT_PKG = 0xD00C900A7;
// Clear one node's package: tag 0 u32 clear type, tag 1 text node name.
constexpr uint64_t RECORD_ALM_EXPORT_CLEAR = 0xD00C90014;
// Stop the export: no cells.
constexpr uint64_t RECORD_ALM_EXPORT_STOP = 0x70002058;
constexpr unsigned short ALM_TAG_LOG_TYPE = 0;
constexpr unsigned short ALM_TAG_CLEAR_NODE = 1;
constexpr unsigned short ALM_TAG_TOTAL_STATUS = 2;
constexpr unsigned short ALM_TAG_NODE_NAME = 4;
constexpr unsigned short ALM_TAG_PKG_STATUS = 5;
constexpr unsigned short ALM_TAG_EXPORT_STATUS = 6;
constexpr unsigned short ALM_TAG_LOCATION = 7;
// Log types: the two kinds of alarm log and the alarm-and-event file.
constexpr uint32_t ALM_LOG_TYPE_FIRST = 8;
constexpr uint32_t ALM_LOG_TYPE_SECOND = 2;
constexpr uint32_t ALM_LOG_TYPE_EVENT = 1;
// Clear types of those log types (8 -> 8, 2 -> 1, 1 -> 0).
constexpr uint32_t ALM_CLEAR_TYPE_FIRST = 8;
constexpr uint32_t ALM_CLEAR_TYPE_SECOND = 1;
constexpr uint32_t ALM_CLEAR_TYPE_EVENT = 0;
// Overall states.
constexpr uint32_t ALM_TOTAL_DONE = 0;
constexpr uint32_t ALM_TOTAL_RUNNING = 0x05000531;
constexpr uint32_t ALM_TOTAL_SPECIAL_END = 0x4000C933;
// Per-node export states (0 and 2: package ready) and package states.
constexpr int32_t ALM_NODE_READY = 0;
constexpr int32_t ALM_NODE_PACKING = 1;
constexpr int32_t ALM_NODE_READY_PARTIAL = 2;
// A node whose package could not be built (or whose build was stopped).
constexpr int32_t ALM_NODE_FAILED = 3;
constexpr uint32_t ALM_PKG_FETCHED = 1;
// The alarm-log list of the master: operation code 0x70003005 to 561, no
// cells; one answer record per package, tag 0 text node name, tag 1 text path.
constexpr uint32_t OPCODE_ALM_LOG_LIST = 0x70003005;
constexpr unsigned short ALM_LIST_TAG_NODE = 0;
constexpr unsigned short ALM_LIST_TAG_PATH = 1;

// ---- Synchronisation service (569 of the master) ----
// Produce the running data: record RECORD_RUNNING_DATA, no cells. Answer:
// tag 0 text "address:path" of the file.
constexpr uint32_t OPCODE_RUNNING_DATA = 0x70000516;
constexpr uint64_t RECORD_RUNNING_DATA = 0xD00C90015;
constexpr unsigned short RUNNING_DATA_TAG_LOCATION = 0;

// ---- Node status (request to 551 of any node) ----
// An extension of this project beside the standard requests: the state of
// one node at a glance. The request carries no cells. The answer's first
// record (code OPCODE_NODE_STATUS) holds the scalar cells below; then one
// record per plugin driver (RECORD_STATUS_DRIVER), per dispatcher queue
// (RECORD_STATUS_QUEUE) and, on the node that runs a diagnose export, per
// node of that export (RECORD_STATUS_EXPORT_NODE). Texts are cut to
// NODE_STATUS_TEXT_MAX bytes and the lists to NODE_STATUS_LIST_MAX records.
constexpr uint32_t OPCODE_NODE_STATUS = 0x70003030;
constexpr unsigned short STATUS_TAG_UPTIME = 0;            // u64 seconds since the daemon started
constexpr unsigned short STATUS_TAG_COLLECTOR_SWITCH = 1;  // text "on"/"off"/"" when unreadable
constexpr unsigned short STATUS_TAG_OEM_SWITCH = 2;        // text
constexpr unsigned short STATUS_TAG_LAST_FILE = 3;         // text name of the last file handed to the agent
constexpr unsigned short STATUS_TAG_LAST_FILE_TIME = 4;    // u64 seconds since the epoch, 0 never
constexpr unsigned short STATUS_TAG_TASK = 5;              // text "diagnose export", "remote log" or ""
constexpr unsigned short STATUS_TAG_TASK_PROGRESS = 6;     // text, e.g. "gathering, 2 of 3 nodes settled"
constexpr unsigned short STATUS_TAG_COFFER_FREE = 7;       // u64 bytes free on the coffer disk
constexpr unsigned short STATUS_TAG_EXPORT_RUN_NODE = 8;   // u32 run node of the diagnose export (absent: none)
constexpr unsigned short STATUS_TAG_EXPORT_STATE = 9;      // i32 gather result, on the run node only
constexpr uint64_t RECORD_STATUS_DRIVER = 0x70003031;
constexpr unsigned short STATUS_DRIVER_TAG_NAME = 0;     // text
constexpr unsigned short STATUS_DRIVER_TAG_RUNNING = 1;  // u32 0/1
constexpr unsigned short STATUS_DRIVER_TAG_STUCK = 2;    // u32 0/1
constexpr uint64_t RECORD_STATUS_QUEUE = 0x70003032;
constexpr unsigned short STATUS_QUEUE_TAG_NAME = 0;    // text "high", "middle", "low"
constexpr unsigned short STATUS_QUEUE_TAG_LENGTH = 1;  // u32 messages waiting
constexpr uint64_t RECORD_STATUS_EXPORT_NODE = 0x70003033;
constexpr unsigned short STATUS_EXPORT_TAG_NODE = 0;    // u32 node id
constexpr unsigned short STATUS_EXPORT_TAG_NAME = 1;    // text controller name
constexpr unsigned short STATUS_EXPORT_TAG_STATE = 2;   // text built|fallback|offline|failed|building
constexpr unsigned short STATUS_EXPORT_TAG_BYTES = 3;   // u64 package size
constexpr unsigned short STATUS_EXPORT_TAG_REASON = 4;  // text, empty for a built package
constexpr size_t NODE_STATUS_TEXT_MAX = 256;
constexpr size_t NODE_STATUS_LIST_MAX = 64;

// ---- Collector switch: drivers that did not follow ----
// Answer of a switch set whose value was stored while some input drivers of
// the answering node failed, threw or overran their Start or Stop; the
// description cell TAG_DESCRIPTION names them ("driver a, b failed to start").
constexpr uint32_t RESULT_SWITCH_DRIVER_FAILED = 0x4000C970;

// ---- Result codes of management answers (cell 4095), shared by the
// daemon's handlers and chsctl's explanations ----
constexpr uint32_t RESULT_BAD_REQUEST = 0x03000003;  // a missing cell, or one of the wrong type
constexpr uint32_t RESULT_EXPORT_SYSTEM_EXPORTING = 0x404032B4;
constexpr uint32_t RESULT_EXPORT_SPACE = 0x4000C92C;
constexpr uint32_t RESULT_EXPORT_SPACE_OTHER = 0x05001B0A;
constexpr uint32_t RESULT_EXPORT_COFFER_SPACE = 0x4000C963;
constexpr uint32_t RESULT_EXPORT_FREE_MEM = 0x40E05B0B;
constexpr uint32_t RESULT_EXPORT_TASK_RUNNING = 0x40E05B0C;
constexpr uint32_t RESULT_EXPORT_UPGRADING = 0x40E05B0D;
constexpr uint32_t RESULT_EXPORT_NOT_FINISHED = 0x05000531;
constexpr uint32_t RESULT_EXPORT_FAILED = 0x4040324C;
constexpr uint32_t RESULT_EXPORT_GENERAL = 0x4040324E;
constexpr uint32_t RESULT_SWITCH_ILLEGAL = 0x4000C958;
constexpr uint32_t RESULT_SWITCH_NO_SITE_ID = 0x40E05B24;
constexpr uint32_t RESULT_SWITCH_NO_USER = 0x4000C960;
constexpr uint32_t RESULT_REFUSED = 0xFFFFFFFF;  // refused without a code of its own

// ---- Plugin quarantine (extension of this project, request to 551) ----
// A plugin whose code faulted is kept out of the next starts of its node.
// The node status answer lists such plugins, one record each; the release
// request takes one out of quarantine and loads it at once.
constexpr uint64_t RECORD_STATUS_QUARANTINE = 0x70003034;
constexpr unsigned short STATUS_QUARANTINE_TAG_NAME = 0;     // text plugin name
constexpr unsigned short STATUS_QUARANTINE_TAG_LIBRARY = 1;  // text library path
constexpr uint32_t OPCODE_PLUGIN_RELEASE = 0x70003035;
constexpr unsigned short PLUGIN_RELEASE_TAG_NAME = 0;  // text plugin name
// Answers: 0 released (the description cell says whether it was loaded),
constexpr uint32_t RESULT_PLUGIN_NOT_QUARANTINED = 0x4000C971;
constexpr uint32_t RESULT_PLUGIN_RELEASE_FAILED = 0x4000C972;  // the quarantine file cannot be rewritten
// Operation-log entry (type 3) raised when a quarantined plugin is skipped.
constexpr uint64_t EVENT_PLUGIN_QUARANTINED = 0x200FE05C0010ULL;

}  // namespace chs_wire
