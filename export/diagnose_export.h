// The cluster-wide diagnose export, gathering side. The node that receives
// the export request (the run node) admits it, writes the kind-2 task row
// and starts a gathering thread that asks every selected node, itself
// included, to build its diagnose package with the diagnostic script, then
// waits for the per-node records of g_astExportFileCfg to settle. Every node
// serves the build request (0x70003015) under the single-run wrapper.
//
// Thread safety: see export/export_frame.h for g_astExportFileCfg. The
// node-local exporting flag keeps two package builds of one node apart; the
// per-node names (strDiagnoseExportLocalPath, strDiagnoseExportName) are
// written only while that flag is held.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "msg/chs_wire.h"
#include "msg/inner_msg.h"

// The export request and its cells (first record); its answer carries the
// result in cell 4095.
constexpr uint32_t EXPORT_OPCODE_EXPORT_FILE = chs_wire::OPCODE_EXPORT_FILE;
using chs_wire::EXPORT_TAG_TASK_ID;
using chs_wire::EXPORT_TAG_TYPE;
using chs_wire::EXPORT_TAG_RESERVED64;
using chs_wire::EXPORT_TAG_RESERVED;

// Directory mode of everything the export creates.
constexpr const char* EXPORT_DIR_MODE = "750";
// Result of a node package build that failed.
constexpr int32_t EXPORT_NODE_BUILD_FAILED = chs_wire::BUILD_RESULT_FAILED;
// Name of a fallback entry of a node that answers a ping but not the daemon.
constexpr const char* EXPORT_FALLBACK_PKG_PREFIX = "DiagoseInfo_";
constexpr const char* DIAGNOSTIC_SCRIPT = "/VXA/script/chs_diagnostic.py";
constexpr uint32_t EXPORT_SCRIPT_TIMEOUT_MS = 540000;
constexpr uint32_t EXPORT_PACK_TIMEOUT_MS = 15000;
constexpr uint32_t EXPORT_CMD_TIMEOUT_MS = 6000;
constexpr uint32_t CHECK_NODE_INVALID = 255;

// The node's own package directory and package file name of the last build.
extern std::string strDiagnoseExportLocalPath;
extern std::string strDiagnoseExportName;

// The runner of every shell command of the export (chs_execCmdWithoutOutput
// by default): the command text and its time-out, the exit status back.
// Tests put a recorder in its place.
using ExportExecFn = int32_t (*)(const std::string& cmd, uint32_t timeoutMs);
extern ExportExecFn g_pfnExportExec;

// How long the gathering thread sleeps between polls (1000 ms); tests lower it.
extern uint32_t g_uiExportGatherPollMs;
// Set while this daemon's gathering thread runs.
extern std::atomic<bool> g_bGathering;
// Wakes the gathering thread to look at the record again; call after a node
// record or a data block settled.
void NotifyGatherProgress();
// Waits `ms` milliseconds; a gathering that runs at the call ends the wait
// when it ends.
void WaitGatheringEnd(uint32_t ms);

// Makes the system directory `dir` usable: created with mode 750 when missing
// (one retry), otherwise "sudo chmod 750"; then checked to be a directory.
// 0, or -1 with nothing logged (callers log their own text).
int32_t MakeExportDirUsable(const std::string& dir);
// Runs `cmd` through g_pfnExportExec, once more when it fails; its status.
int32_t ExecExportCmdWithRetry(const std::string& cmd, uint32_t timeoutMs);
// The command prefix of privileged commands ("sudo " on a controller).
std::string ExportSudo();

// Addresses `msg` as a request of this node's daemon to endpoint `pid` of
// node `node`, with operation code `opcode` and a time-out of `timeoutSec`.
void InitExportRequest(InnerMsg& msg, uint16_t node, uint16_t pid, uint32_t opcode, uint32_t timeoutSec);

// Request handlers (opcodes 0x70003014 and 0x70003015).
void handleExportFile(InnerMsg& request);
void handleExportDiagnoseFile(InnerMsg& request);
void handleExportDiagnoseFileForSingleRun(InnerMsg& request);

// Gathering on the run node.
uint32_t exportFileHandle(uint32_t type, const std::string& sessionKey);
void exportFileThread(uint32_t type, std::string sessionKey);
void gatherAllNodesFileThread(uint32_t type, const std::string& sessionKey);
// Which selected nodes a call notifies: all of them, or the nodes other than
// this one that are in `online` (an online map), or the rest (this node and
// the nodes out of `online`).
enum class NotifyPass { kAll, kOnlinePeers, kTheRest };
void notifyExpFileFromAllNodes(uint32_t type, uint32_t pid, uint32_t opcode, NotifyPass pass = NotifyPass::kAll,
                               uint32_t online = 0);
// 0 sent or started, 1 offline, 2 unreachable, -1 failure.
int32_t notifyExportDiagnoseFile(uint32_t type, uint16_t node, uint32_t pid, uint32_t opcode);
void reponseExportFile(InnerMsg& answer);
int32_t exportHandleAck(InnerMsg& answer, uint16_t node);
// 1 when every selected node and both data blocks have settled.
int32_t isInnerFinishedCollection();
// 0, 2 (some parts missing), 0x4040324C (nothing ready) or 0x05000531 (not
// finished while `flag` asks for a finished export).
uint32_t getExportResult(uint32_t flag);

// Building this node's package.
int32_t exportDiagnoseFileProc(uint32_t type, uint32_t ccdbType, uint16_t runNode);
void exportLocalFileThread(uint16_t node, uint32_t type);
void handleLocalExportDiagnoseFile(uint16_t node, uint32_t type);
int32_t createExportDiagnoseProcDir();
int32_t createExportDiagnoseDir(bool isMaster, uint32_t ccdbType, uint16_t runNode);
int32_t getRunNodeByExportType(uint32_t ccdbType, uint16_t runNode, uint16_t& node);
int32_t exportLocalDiagnoseInfo(bool isMaster);
int32_t tarLocalDiagnoseInfo(bool isMaster);
// Writes collector_status.txt (the node status) into the node's package directory.
void WriteCollectorStatus();

// Nodes out of the online map.
// 0 reachable, 255 invalid node, other non-zero unreachable.
int32_t checkNodeConnForLogCollect(uint16_t node);
int32_t colUnNormalNodeLogs(uint16_t node);
int32_t unormalNodeLogCollectThread(uint16_t node);

// 0, 0x40E05B0C (a diagnose task row exists) or 0x4040324E.
uint32_t updateExportTaskDBInfo(uint32_t type, std::string& taskId, uint64_t value);
