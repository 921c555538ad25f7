// The daemon's side of the collector directories: the two directory trees,
// their creation at start-up and on LUN-status changes, and the LUN status
// that decides which tree InfocollectorGetPath answers with. The operations
// plugins use are declared in the public header included below.
//
// Thread safety: the LUN status is atomic; the LUN-status callback runs on a
// platform thread while other threads resolve paths. The tables are constant.
// g_pfnCollectorDirExec is set before any other thread runs a command (tests).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>

#include "include/infocollector/collector_dir.h"

// Bound of every shell command of the collector directories.
constexpr uint32_t CHS_COLLECTOR_DIR_CMD_TIMEOUT_MS = 6000;

constexpr const char* CHS_COFFER_MOUNT_POINT = "/VXA/coffer_data";
constexpr const char* CHS_COFFER_ROOT = "/VXA/coffer_data/omm/export_import/chs/";
constexpr const char* CHS_LUN_ROOT = "/VXA/lun_data/omm/chs/";

// One row of the path-type table: the system directory of the type in each tree.
struct tagCHS_PLUGIN_COMMON_PATH_S {
    INFO_COLLECTOR_PATH_TYPE enPathType;
    const char* pcCofferPath;
    const char* pcLunPath;
};
extern const tagCHS_PLUGIN_COMMON_PATH_S g_pluginCommonPath[INFO_COLLECTOR_PATH_BUTT];

// Directory -> mode of each tree, created in the map's (ascending) order so
// that every parent comes before its children. System paths.
extern const std::map<std::string, std::string> collectorDirMapForCofferData;
extern const std::map<std::string, std::string> collectorDirMapForLunData;

// Starts at CHS_LUN_STATUS_INITIAL; changes only through ChsLunHandle.
extern std::atomic<_tagENUM_LUN_STATUS> g_chslunStatus;

// Creates the coffer tree and hands it to the management owner. 0, or the
// non-zero result of the mount test of the coffer disk (then nothing is created).
int32_t RecoverCollectorDirForCofferData();
// Creates the LUN tree and hands it to the management owner.
void RecoverCollectorDirForLunData();

// The LUN-status callback: 1 creates the LUN tree and switches to it, 0
// recreates the coffer tree and switches back (returning that result), 3
// resets to the initial state; any other value changes nothing.
int32_t ChsLunHandle(_tagENUM_LUN_STATUS status);
// ChsLunHandle in the shape the platform registers (omlib::regOmmlunIsvalid).
void ChsLunStatusCallback(int32_t status);

void CHS_SetLunStatus(_tagENUM_LUN_STATUS status);
_tagENUM_LUN_STATUS CHS_GetLunStatus();

// The system path ("/VXA/...") of `type` on the current medium, for texts that
// travel to other nodes or into records. Throws std::logic_error as
// InfocollectorGetPath does.
std::string InfocollectorGetSystemPath(INFO_COLLECTOR_PATH_TYPE type);

// The runner of every shell command of this unit (chs_execCmdWithoutOutput by
// default). Tests put a recorder in its place to see the command texts.
using CollectorDirExecFn = int32_t (*)(const std::string& cmd, uint32_t timeoutMs);
extern CollectorDirExecFn g_pfnCollectorDirExec;
