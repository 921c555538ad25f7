// The node side of history-log tasks, served by every node's daemon for the
// run node of a task: the listing of the node's log files of a time range
// (each one copied into the collector's message/ directory, so that the agent
// can send a copy that no longer grows) and the deletion of those copies.
// Registered beside the collector's handler table.
//
// A listing copies on a worker thread of its own, so a range of thousands of
// files never holds up the dispatcher; at most HIS_LOG_LIST_WORKERS run at
// once and a further request is refused at once. Thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "msg/inner_msg.h"

constexpr uint32_t HIS_LOG_LIST_WORKERS = 2;
// Most files one listing copies, and most path bytes one answer carries (the
// transport takes bodies of at most 8 MiB).
constexpr size_t HIS_LOG_LIST_MAX_FILES = 10000;
constexpr size_t HIS_LOG_LIST_MAX_ANSWER_BYTES = 6u << 20;
// Where the node keeps its logs (a system path), and how deep the listing
// looks into it.
constexpr const char* HIS_LOG_SOURCE_DIR = "/var/log/";
constexpr int HIS_LOG_SOURCE_DEPTH = 4;

// Handlers of 0x7000300B and 0x70003006.
void handleListHisLog(InnerMsg& request);
void handleDelHisLog(InnerMsg& request);
// Registers both with the message engine. 0 or -1.
int InitLogServiceMsgHandler();

// Copies this node's log files that overlap [begin, end] (seconds since the
// epoch) into the copy directory and returns their system paths in the order
// found. The work of one listing, exposed for tests.
std::vector<std::string> CopyHisLogsOfRange(uint64_t begin, uint64_t end);
// Deletes the regular files (and links, never their targets) directly in the
// copy directory. The number deleted.
uint32_t DeleteCopiedHisLogs();
