// The cluster-wide diagnose export after gathering: the node packages, the
// alarm-and-event file and the running data merged into one file on the run
// node (handed to the requester for type 5, uploaded to the remote support
// service for types 3 and 4), the status query (forwarded to the run node
// when it arrives elsewhere), the clear of everything the export left on the
// nodes, the receiver of the peer delete request and the watch that removes
// a diagnose task row left behind.
//
// Files: diagnose_download.cpp (requests and the guard), diagnose_merge.cpp
// (the merge), diagnose_clear.cpp (clearing, peer deletes, stale-task watch),
// diagnose_upload.cpp (the upload thread). The sender of the peer delete
// request is export/diagnose_peer_files.h.
//
// Thread safety: download, status and clear each run under their own
// single-run wrapper and may overlap each other and the upload thread; merges
// into the temporary directory take turns on one mutex. g_astExportFileCfg is
// read as export/export_frame.h describes. ClearExportDiagnoseInfoRecord runs
// on the main loop only (its counter and strExportTaskId are not locked). The
// tunables are set before use and only read afterwards.
#pragma once

#include <cstdint>
#include <string>

#include "export/export_frame.h"
#include "msg/chs_wire.h"
#include "msg/inner_msg.h"

// Requests served.
constexpr uint32_t EXPORT_OPCODE_DELETE_FILE = chs_wire::OPCODE_EXPORT_DELETE_FILE;
constexpr uint32_t EXPORT_OPCODE_GET_STATUS = chs_wire::OPCODE_EXPORT_GET_STATUS;
constexpr uint32_t EXPORT_OPCODE_DOWNLOAD = chs_wire::OPCODE_EXPORT_DOWNLOAD;
constexpr uint32_t EXPORT_OPCODE_CLEAR = chs_wire::OPCODE_EXPORT_CLEAR;
constexpr uint32_t EXPORT_OPCODE_QUERY_PEER_STATUS = chs_wire::OPCODE_EXPORT_QUERY_PEER_STATUS;

// Cells: the export type of a request, the final path of the download
// answer, the status of the status answer; the path and kind of a delete.
constexpr unsigned short DIAGNOSE_TAG_TYPE = chs_wire::EXPORT_TAG_TYPE;
constexpr unsigned short DIAGNOSE_TAG_FINAL_PATH = chs_wire::EXPORT_TAG_FINAL_PATH;
constexpr unsigned short DIAGNOSE_TAG_STATUS = chs_wire::EXPORT_TAG_STATUS;
constexpr unsigned short DIAGNOSE_TAG_DELETE_PATH = chs_wire::EXPORT_DELETE_TAG_PATH;
constexpr unsigned short DIAGNOSE_TAG_DELETE_KIND = chs_wire::EXPORT_DELETE_TAG_KIND;

// Kinds of the delete request: 0 clears the diagnose data of the node, 1
// deletes the named file.
constexpr uint32_t DIAGNOSE_DELETE_KIND_CLEAR = chs_wire::EXPORT_DELETE_KIND_CLEAR;
constexpr uint32_t DIAGNOSE_DELETE_KIND_FILE = chs_wire::EXPORT_DELETE_KIND_FILE;

// Codes of the guard.
constexpr uint32_t EXPORT_ERR_NO_TASK = chs_wire::EXPORT_RESULT_NO_TASK;
constexpr uint32_t EXPORT_ERR_NOT_RUN_NODE = chs_wire::EXPORT_RESULT_NOT_RUN_NODE;
constexpr uint32_t EXPORT_ERR_TYPE_MISMATCH = chs_wire::EXPORT_RESULT_TYPE_MISMATCH;

// What the guard is asked for.
constexpr uint32_t DIAGNOSE_PURPOSE_DOWNLOAD = 2;
constexpr uint32_t DIAGNOSE_PURPOSE_CLEAR = 3;
// Space mode of a download (240 MB disk, 60 MB memory).
constexpr uint32_t DIAGNOSE_DOWNLOAD_SPACE_MODE = 7;

// Parts larger than these never join a merge.
constexpr uint32_t DIAGNOSE_NODE_PKG_LIMIT = 0x1E00000;      // 30 MB
constexpr uint32_t DIAGNOSE_EVENT_FILE_LIMIT = 0xA00000;     // 10 MB
constexpr uint32_t DIAGNOSE_RUNNING_DATA_LIMIT = 0x1E00000;  // 30 MB

constexpr const char* DIAGNOSE_TEMP_DIR_NAME = "temp";
constexpr const char* DIAGNOSE_MINISYSTEM_PKG = "DiagnoseInfo_minisystem.tgz";
constexpr const char* DIAGNOSE_MINISYSTEM_PREFIX = "DiagnoseInfo_minisystem_";
constexpr const char* DIAGNOSE_MAIN_SUFFIX = "_MAIN";
constexpr const char* DIAGNOSE_UPLOAD_PREFIX = "diagnoseinfo_";
constexpr int DIAGNOSE_UPLOAD_NAME_KIND = 1;
constexpr int DIAGNOSE_SEND_FILE_TYPE = 0;
constexpr const char* DIAGNOSE_FILE_MODE = "660";
// The one directory of clean type 0, cleared on every other node.
constexpr const char* DIAGNOSE_CLEAN_DIR = "/VXA/coffer_data/omm/export_import/chs/export/diagnoseinfo";
// Where a peer may have files deleted: the files directly in the export
// directory (the merged and fallback packages), and anything below the
// diagnose directories and the running-data directory. The rest of the export tree (the collector's record
// database, collected files) is out of a peer's reach.
struct tagDIAGNOSE_PEER_DELETE_AREA {
    const char* pcDir;
    bool bBelow;  // false: entries directly in pcDir only
};
constexpr tagDIAGNOSE_PEER_DELETE_AREA DIAGNOSE_PEER_DELETE_AREAS[] = {
    {"/VXA/coffer_data/omm/export_import/", false},
    {"/VXA/coffer_data/omm/export_import/chs/export/diagnoseinfo/", true},
    {"/VXA/coffer_data/omm/export_import/chs/collector/diagnose_data/", true},
    {"/VXA/coffer_data/omm/export_import/running_data/", true},  // the synchronisation service's output
    {"/VXA/coffer_data/omm/export/", true}};

// Tunables.
extern uint32_t DIAGNOSE_INFO_SEND_ROUNDS;    // polls of the upload thread, 600
extern uint32_t DIAGNOSE_INFO_SEND_ROUND_MS;  // pause between them, 20000 ms
extern uint32_t DIAGNOSE_INFO_SEND_TIMEOUT;   // seconds one send may take, 1800
extern uint32_t DIAGNOSE_INFO_QUERY_TIMEOUT;  // seconds of the status query to the run node, 30

// Counter of the stale-task watch (the task id it counts is strExportTaskId).
extern int32_t g_iCheckExportNum;

// ------------------------------------------------------------ requests

void handleDownLoadFileHandle(InnerMsg& request);
void handleDownLoadFileHandleForSingleRun(InnerMsg& request);
void handleGetExportStatus(InnerMsg& request);
void handleGetExportStatusForSingelRun(InnerMsg& request);
void handleClearExportData(InnerMsg& request);
void handleClearExportDataForSingelRun(InnerMsg& request);
// Peer side of the forwarded status query: answers this node's gather result
// as the result code.
void processQueryDiagDataStatus(InnerMsg& request);
// Receiver of the delete request. Answers 0 at once, whatever follows. The
// path comes from the network: a file is deleted only when it is a regular
// file in one of DIAGNOSE_PEER_DELETE_AREAS of this node, reached without
// following any link, and never through a shell.
void processDelFileFromPeer(InnerMsg& request);

// 0 when a download (`purpose` 2) or clear (3) of an export of `type` may go
// on, else the code to answer.
uint32_t cheskIsMergDiagnoseFile(uint32_t type, uint32_t purpose);
// 0 when this node runs the diagnose task, else 0x40E05B0E / 0x40E05B0F.
uint32_t CheckCurrentNodeIsExport();
// The local gather result, or 0x40E05B10 when `type` 5 is asked of another type.
int32_t getFinalExportDiagFileResult(uint32_t type);

// Status: 0 with `status` set, or the code to answer.
uint32_t getQueryResult(uint32_t type, int32_t& status);
// Asks node `runNode` for its gather result: the result, or -1.
int32_t notifyQueryDiagnoseFileStatus(uint16_t runNode, uint32_t type);

// ------------------------------------------------------------ merge

// The temporary directory of a merge, strDiagnoseInfoPath + "temp/": `dir`
// its system path, `realDir` the path below the node root. 0 or -1.
int32_t CreateTempDirForDownloadDigaInfo(std::string& dir, std::string& realDir);
// Makes strDiagnoseInfoPath + `name` + "/" usable; `dir` its system path. 0 or -1.
int32_t CreatExpTmpDir(const std::string& name, std::string& dir);

// Merges what the export gathered into strDiagnoseInfoName and moves it to
// its final place (moveFileByType). 0 or a failure code.
int32_t downDiagnoseInfo(uint32_t type, const std::string& tempDir, const std::string& realTempDir);
// Each adds what it took to `total` (bytes); only packages of other nodes
// and the two data files count. They read `cfg`, a copy of the export record
// taken when the merge began; the data blocks name their file by its full
// system path in strFilePath.
void downloadMinisystemDiagnoseFile(tagCOLLECOR_EXPORT_FILE_PARAM_S& cfg, const std::string& realDir,
                                    uint64_t& total);
void downloadMainNodeDiagnoseFile(const tagCOLLECOR_EXPORT_FILE_PARAM_S& cfg, const std::string& realDir,
                                  uint64_t& total);
void downloadCommNodeDiagnoseFile(const tagCOLLECOR_EXPORT_FILE_PARAM_S& cfg, const std::string& realDir,
                                  uint64_t& total);
void downloadEventAndRunningDataFile(const tagCOLLECOR_EXPORT_FILE_PARAM_S& cfg, const std::string& realDir,
                                     uint64_t& total);
// True when node `node`'s package may join a merge already holding `total` bytes.
bool checkDownloadDiagnoseFilePriority(const tagCOLLECOR_EXPORT_FILE_PARAM_S& cfg, uint16_t node,
                                       uint64_t total);
// Brings node `node`'s package into `realDir` (moved when `isLocal`, fetched,
// at most 30 MB, otherwise); `size` gets its size. 0 or -1.
int32_t getLocalDiagnoseFile(const tagCOLLECOR_EXPORT_FILE_PARAM_S& cfg, uint16_t node,
                             const std::string& realDir, bool isLocal, uint32_t& size);
// The same under the standard package names of the node.
int32_t getDiagnoseFile(const tagCOLLECOR_EXPORT_FILE_PARAM_S& cfg, uint16_t node, const std::string& realDir,
                        bool isLocal, uint32_t& size);
// Packs every entry of `realDir` into strDiagnoseInfoName inside it.
int32_t TarLocalDiagnoseFile(const std::string& realDir);
// Hands the packed file out (owner, 660) in the temporary directory, then
// renames it to the place of `type` without following a link found there.
int32_t moveFileByType(uint32_t type, const std::string& realDir);
// System path of the merged file of `type` once moved, as answered to the requester.
std::string FinalDiagnoseFilePath(uint32_t type);
// "mv -fT" of one file (real paths), privileged; the exit status.
int32_t MoveExportFile(const std::string& source, const std::string& target);

// ------------------------------------------------------------ clear

// Removes the merged file and everything below strDiagnoseInfoPath on this node.
void ClearDiagnseData();
// Empties the upload directory strDiagnoseInfoToNexhub.
void ClearDiagnseSendNexhubFile();
// Clean type 0: ClearDiagnseData here and on every other online node.
void clearTmpExpFile(uint32_t cleanType);
// 0 when `path` resolves inside `prefix` (or does not exist, or `prefix` is
// empty), else -1. Both are system paths.
int32_t CHS_CheckPath(const std::string& path, const std::string& prefix);
// The stale-task watch of the main loop.
void ClearExportDiagnoseInfoRecord();

// ------------------------------------------------------------ upload

// Starts the upload thread of an export of type 3 or 4.
void notifyExportDiagFile(uint32_t type);
void WaitAndSendDiagnoseFile(uint32_t type);
void WaitAndSendDiagnoseFileHandler(uint32_t type);
// Merges and sends the export's file; 0 or -1.
int32_t FetchDiagnoseFileToSend(uint32_t type, uint64_t taskStart);
// Hands `path` (real) to the remote-service agent, once more when the first
// attempt fails; waits DIAGNOSE_INFO_SEND_TIMEOUT for each. 0 or -1.
int32_t SendDiagnoseFile(const std::string& path, uint16_t node, void (*callback)(InnerMsg&),
                         uint32_t timeoutSec, uint64_t taskStart);
void pluginSendDiagnoseFileCB(InnerMsg& answer);

// Packs the node packages of directory `first` into file `second` with the
// diagnostic script (no caller in the daemon).
int32_t collectDiagnoseInfo(const std::string& first, const std::string& second);
