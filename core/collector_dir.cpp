#include "core/collector_dir.h"

#include <sys/stat.h>

#include <stdexcept>

#include "core/omlib.h"
#include "infra/chs_log.h"
#include "infra/exec_cmd.h"
#include "infra/string_util.h"
#include "platform/platform_profile.h"

namespace {

// Command texts. Every caller-supplied piece is appended as one quoted shell word.
const char* const kCmdMkdir = "mkdir -p ";
const char* const kCmdChmod = "chmod ";
const char* const kCmdRemoveTree = "rm -rf ";
const char* const kCmdFind = "find ";
// Plain redirections: dash reads "&>" as "run in the background, then
// redirect nothing", which returned before any file was gone and always
// reported success.
const char* const kCmdFindDeleteFiles = " -type f -exec rm -f {} \\;  >/dev/null 2>&1";
const char* const kCmdChgrp = "chgrp ";
// "&&": a failed chmod must not be hidden by the status of a chown that worked.
const char* const kCmdThenChown = " && chown -h ";
const char* const kCmdChownTree = "chown -h -R ";
const char* const kCmdCd = "cd ";
// "&&": when the directory cannot be entered, tar would otherwise pack the
// daemon's working directory and report success. "--" keeps a collected file
// named like an option ("--checkpoint-action=...") from being read as one.
const char* const kCmdThenTar = " && tar -zcvf ";
const char* const kCmdTarEverything = " -- *";
const char* const kCleanScript = "/VXA/script/collector_clean_file.sh";
const char* const kCleanKeptNames = "\"alarm|running|filelist.txt\"";
// The coffer tree is handed over without its trailing '/', the LUN tree with it.
const char* const kCofferTreeOwned = "/VXA/coffer_data/omm/export_import/chs";

int32_t Run(const std::string& cmd) { return g_pfnCollectorDirExec(cmd, CHS_COLLECTOR_DIR_CMD_TIMEOUT_MS); }

// A path as one shell word, mapped below the node root. A relative path gets
// "./" so that no command reads a name beginning with '-' (or find's '!' and
// '(') as an option or an expression.
std::string PathWord(const std::string& path) {
    std::string real = platform::RealPath(path);
    if (!real.empty() && real[0] != '/' && real[0] != '.') {
        real.insert(0, "./");
    }
    return ShellQuote(real);
}

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return stat(platform::RealPath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& path, bool followLink) {
    struct stat st {};
    const std::string real = platform::RealPath(path);
    return (followLink ? stat(real.c_str(), &st) : lstat(real.c_str(), &st)) == 0;
}

int32_t HandToOperOwner(const std::string& dir) {
    return Run(kCmdChownTree + ShellQuote(platform::GetProfile().strOperOwner) + " " + PathWord(dir));
}

const tagCHS_PLUGIN_COMMON_PATH_S& PathRow(INFO_COLLECTOR_PATH_TYPE type) {
    for (const tagCHS_PLUGIN_COMMON_PATH_S& row : g_pluginCommonPath) {
        if (row.enPathType == type) {
            return row;
        }
    }
    throw std::logic_error("collector path type " + std::to_string(static_cast<uint32_t>(type)) +
                           " is out of range");
}

}  // namespace

#define CHS_COFFER_COLLECTOR "/VXA/coffer_data/omm/export_import/chs/collector/"
#define CHS_LUN_COLLECTOR "/VXA/lun_data/omm/chs/collector/"

const tagCHS_PLUGIN_COMMON_PATH_S g_pluginCommonPath[INFO_COLLECTOR_PATH_BUTT] = {
    {INFO_COLLECTOR_PATH_NODE, CHS_COFFER_COLLECTOR "node/", CHS_LUN_COLLECTOR "node/"},
    {INFO_COLLECTOR_PATH_NODE_TEMP, CHS_COFFER_COLLECTOR "node/temp/", CHS_LUN_COLLECTOR "node/temp/"},
    {INFO_COLLECTOR_PATH_ARRAY, CHS_COFFER_COLLECTOR "array/", CHS_LUN_COLLECTOR "array/"},
    {INFO_COLLECTOR_PATH_ARRAY_TEMP, CHS_COFFER_COLLECTOR "array/temp/", CHS_LUN_COLLECTOR "array/temp/"},
    {INFO_COLLECTOR_PATH_ALARM, CHS_COFFER_COLLECTOR "alarm/", CHS_LUN_COLLECTOR "alarm/"},
    {INFO_COLLECTOR_PATH_PERF, CHS_COFFER_COLLECTOR "perf/", CHS_LUN_COLLECTOR "perf/"},
    {INFO_COLLECTOR_PATH_NODE_INFO, CHS_COFFER_COLLECTOR "node/", CHS_LUN_COLLECTOR "node/"},
    {INFO_COLLECTOR_PATH_DHA, CHS_COFFER_COLLECTOR "dha/", CHS_LUN_COLLECTOR "dha/"},
    {INFO_COLLECTOR_PATH_RUNNING_DATA, CHS_COFFER_COLLECTOR "running_data/",
     CHS_LUN_COLLECTOR "running_data/"},
    {INFO_COLLECTOR_PATH_DIAGNOSE_DATA, CHS_COFFER_COLLECTOR "diagnose_data/",
     CHS_LUN_COLLECTOR "diagnose_data/"},
};

const std::map<std::string, std::string> collectorDirMapForCofferData = {
    {"/VXA/coffer_data/omm/export_import/chs/", "750"},
    {CHS_COFFER_COLLECTOR, "750"},
    {CHS_COFFER_COLLECTOR "alarm/", "750"},
    {CHS_COFFER_COLLECTOR "array/", "750"},
    {CHS_COFFER_COLLECTOR "db/", "750"},
    {CHS_COFFER_COLLECTOR "dha/", "750"},
    {CHS_COFFER_COLLECTOR "diagnose_data/", "750"},
    {CHS_COFFER_COLLECTOR "message/", "750"},
    {CHS_COFFER_COLLECTOR "node/", "750"},
    {CHS_COFFER_COLLECTOR "perf/", "750"},
    {CHS_COFFER_COLLECTOR "running_data/", "750"},
    {CHS_COFFER_COLLECTOR "syslog/", "750"},
    {"/VXA/coffer_data/omm/export_import/chs/export", "750"},
};

// clang-format off
const std::map<std::string, std::string> collectorDirMapForLunData = {
    {"/VXA/lun_data/omm/chs/", "750"},
    {CHS_LUN_COLLECTOR, "750"},
    {CHS_LUN_COLLECTOR "alarm/", "750"},
    {CHS_LUN_COLLECTOR "array/", "750"},
    {CHS_LUN_COLLECTOR "dha/", "750"},
    {CHS_LUN_COLLECTOR "message/", "750"},
    {CHS_LUN_COLLECTOR "node/", "750"},
    {CHS_LUN_COLLECTOR "perf/", "750"},
    {CHS_LUN_COLLECTOR "running_data/", "750"},
    {CHS_LUN_COLLECTOR "syslog/", "750"},
};
// clang-format on

#undef CHS_COFFER_COLLECTOR
#undef CHS_LUN_COLLECTOR

std::atomic<_tagENUM_LUN_STATUS> g_chslunStatus{CHS_LUN_STATUS_INITIAL};

CollectorDirExecFn g_pfnCollectorDirExec = chs_execCmdWithoutOutput;

int32_t RecoverCollectorDirForCofferData() {
    int32_t ret = omlib::testDiskMount(CHS_COFFER_MOUNT_POINT);
    if (ret != 0) {
        CHS_LOG(3, LOGID_CORE, "info_collector test disk mount failed.");
        return ret;
    }
    // A directory that fails now is tried again at the next start-up or
    // status change; CreateDir has logged it.
    for (const auto& entry : collectorDirMapForCofferData) {
        (void)CreateDir(entry.first, entry.second);
    }
    (void)HandToOperOwner(kCofferTreeOwned);
    return 0;
}

void RecoverCollectorDirForLunData() {
    for (const auto& entry : collectorDirMapForLunData) {
        (void)CreateDir(entry.first, entry.second);
    }
    (void)HandToOperOwner(CHS_LUN_ROOT);
}

int32_t ChsLunHandle(_tagENUM_LUN_STATUS status) {
    switch (status) {
        case CHS_LUN_STATUS_USABLE:
            RecoverCollectorDirForLunData();
            CHS_SetLunStatus(CHS_LUN_STATUS_USABLE);
            return 0;
        case CHS_LUN_STATUS_UNUSABLE: {
            int32_t ret = RecoverCollectorDirForCofferData();
            CHS_SetLunStatus(CHS_LUN_STATUS_UNUSABLE);
            return ret;
        }
        case CHS_LUN_STATUS_INITIAL:
            CHS_SetLunStatus(CHS_LUN_STATUS_INITIAL);
            return 0;
        default:
            CHS_LOG(2, LOGID_CORE, "Ignore unknown LUN status %d.", static_cast<int>(status));
            return 0;
    }
}

void ChsLunStatusCallback(int32_t status) { (void)ChsLunHandle(static_cast<_tagENUM_LUN_STATUS>(status)); }

void CHS_SetLunStatus(_tagENUM_LUN_STATUS status) { g_chslunStatus.store(status, std::memory_order_relaxed); }

_tagENUM_LUN_STATUS CHS_GetLunStatus() { return g_chslunStatus.load(std::memory_order_relaxed); }

std::string InfocollectorGetSystemPath(INFO_COLLECTOR_PATH_TYPE type) {
    const tagCHS_PLUGIN_COMMON_PATH_S& row = PathRow(type);
    return CHS_GetLunStatus() == CHS_LUN_STATUS_USABLE ? row.pcLunPath : row.pcCofferPath;
}

std::string InfocollectorGetPath(INFO_COLLECTOR_PATH_TYPE type) {
    return platform::RealPath(InfocollectorGetSystemPath(type));
}

int32_t TestAndRecoverSomeCollectorDir(std::string dir, std::string mode) {
    if (omlib::testDiskMount(CHS_COFFER_MOUNT_POINT) != 0) {
        return -1;
    }
    if (IsDirectory(dir)) {
        return 0;
    }
    if (CreateDir(dir, mode) != 0) {
        return -1;
    }
    (void)HandToOperOwner(dir);
    return 0;
}

int32_t CreateDir(std::string dir, std::string mode) {
    // A file where the directory should be is not a directory: mkdir fails on
    // it instead of chmod quietly changing the file.
    if (!IsDirectory(dir)) {
        int32_t ret = Run(kCmdMkdir + PathWord(dir));
        if (ret != 0) {
            CHS_LOG(3, LOGID_CORE,
                    "(CHECK PARA FAILURE) iRet(%d) != RETURN_SIGNED_OK(%d), return RETURN_SIGNED_ERR(%d).",
                    ret, 0, -1);
            return -1;
        }
    }
    return Run(kCmdChmod + ShellQuote(mode) + " " + PathWord(dir));
}

int32_t DeleteDir(std::string dir) {
    if (!Exists(dir, false)) {
        return 0;
    }
    return Run(kCmdRemoveTree + PathWord(dir));
}

int32_t CleanDirFile(std::string dir) {
    const std::string cofferRoot = CHS_COFFER_ROOT;
    const std::string lunRoot = CHS_LUN_ROOT;
    if (dir.size() < cofferRoot.size() && dir.size() < lunRoot.size()) {
        return -1;
    }
    return Run(kCmdFind + PathWord(dir) + kCmdFindDeleteFiles);
}

int32_t ChangeDirGroup(std::string dir, std::string group) {
    if (!Exists(dir, true)) {
        CHS_LOG(3, LOGID_CORE, "Dir(%s) is not existed .", dir.c_str());
        return -1;
    }
    return Run(kCmdChgrp + ShellQuote(group) + " " + PathWord(dir));
}

int32_t ChangeFilePermissions(const std::string& file, const std::string& mode, const std::string& owner) {
    const std::string fileWord = PathWord(file);
    return Run(kCmdChmod + ShellQuote(mode) + " " + fileWord + kCmdThenChown + ShellQuote(owner) + " " +
               fileWord);
}

int32_t CompressDirFile(std::string archive, std::string dir) {
    return Run(kCmdCd + PathWord(dir) + kCmdThenTar + PathWord(archive) + kCmdTarEverything);
}

int32_t CleanTarFile(std::string first, std::string second) {
    return Run(ShellQuote(platform::RealPath(kCleanScript)) + " " + PathWord(first) + " " +
               ShellQuote(second) + " " + kCleanKeptNames);
}
