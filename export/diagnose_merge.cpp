// The merge of a diagnose export: the parts are brought into the temporary
// directory in a fixed order (fallback entries, the master's package, the
// other nodes' packages, the alarm-and-event file, the running data) while a
// size budget lasts, packed into strDiagnoseInfoName and moved to the place
// of the export type.
//
// The merge works on a copy of the export record: the record's names come
// from other nodes, and fetching takes minutes during which the record must
// stay free for late answers. A file of this node is moved in only when it
// lies in the diagnose directory the export built (the fallback package at
// its one fixed place aside), whatever a node answered.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <mutex>

#include "collector/collect_file_handoff.h"
#include "core/collector_dir.h"
#include "core/omlib.h"
#include "export/bundle_secrets.h"
#include "export/diagnose_download.h"
#include "export/diagnose_export.h"
#include "export/diagnose_globals.h"
#include "export/diagnose_manifest.h"
#include "export/export_frame.h"
#include "infra/chs_log.h"
#include "infra/file_util.h"
#include "infra/string_util.h"
#include "platform/om_file_copy.h"
#include "platform/platform_profile.h"

namespace {

// Merges write the one temporary directory: the download and the upload
// thread take turns.
std::mutex g_mergeMutex;

using ExportCfg = tagCOLLECOR_EXPORT_FILE_PARAM_S;

// Marks a merge for the start and clear handlers, which refuse meanwhile.
class MergingFlag {
  public:
    MergingFlag() { g_bExportMerging = true; }
    ~MergingFlag() { g_bExportMerging = false; }
    MergingFlag(const MergingFlag&) = delete;
    MergingFlag& operator=(const MergingFlag&) = delete;
};

// The bundle's size budget: the merge's own when one runs on this thread.
uint64_t MergeBudget() {
    MergeLedger* ledger = CurrentMergeLedger();
    return ledger != nullptr ? ledger->ullBudget : DiagnoseMergeBudget();
}

// Notes in the merge's ledger (when one runs on this thread) what became of
// one part. `member` empty: it did not arrive.
void NoteTaken(int32_t node, const char* kind, const std::string& member, uint64_t bytes) {
    if (MergeLedger* ledger = CurrentMergeLedger()) {
        MergeEntry& entry = ledger->Entry(node, kind);
        entry.strMember = member;
        entry.ullBytes = bytes;
        entry.bTaken = true;
        entry.bLeftOut = false;
        entry.strReason.clear();
    }
}

void NoteMissing(int32_t node, const char* kind, uint64_t bytes, bool leftOut, const std::string& reason) {
    if (MergeLedger* ledger = CurrentMergeLedger()) {
        MergeEntry& entry = ledger->Entry(node, kind);
        if (entry.bTaken) {
            return;
        }
        entry.ullBytes = bytes;
        entry.bLeftOut = leftOut;
        entry.strReason = reason;
    }
}

std::string OverLimit(uint64_t bytes, uint64_t limit, const char* what) {
    return "left out: " + std::to_string(bytes) + " bytes, over " + what + " of " + std::to_string(limit) +
           " bytes";
}

std::string ResolvedDir(const std::string& systemDir) {
    char buffer[PATH_MAX] = {};
    if (realpath(platform::RealPath(systemDir).c_str(), buffer) == nullptr) {
        return std::string();
    }
    std::string dir(buffer);
    return dir.back() == '/' ? dir : dir + "/";
}

// Whether the local file `source` (a system path) may be moved into a merge:
// its directory resolves inside this node's diagnose directory, or it is the
// fallback package at its fixed place, and the file itself is a regular file,
// not a link. A name that a node answered can thus never pull /etc/shadow in.
bool MayMoveLocalFile(const std::string& source) {
    size_t slash = source.find_last_of('/');
    if (slash == std::string::npos || slash + 1 >= source.size()) {
        return false;
    }
    std::string dir = ResolvedDir(source.substr(0, slash + 1));
    std::string diagnoseDir = ResolvedDir(strDiagnoseInfoPath);
    bool inside =
        !dir.empty() && !diagnoseDir.empty() && dir.compare(0, diagnoseDir.size(), diagnoseDir) == 0;
    bool fallback = source == strDiagnoseExportPath + DIAGNOSE_MINISYSTEM_PKG;
    if (!inside && !fallback) {
        CHS_LOG(3, LOGID_EXPORT, "Refuse to merge (%s): it lies outside the diagnose directory.",
                source.c_str());
        return false;
    }
    struct stat st {};
    std::string real =
        (fallback ? platform::RealPath(source.substr(0, slash + 1)) : dir) + source.substr(slash + 1);
    return lstat(real.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool RegularFileSize(const std::string& realPath, uint64_t& size) {
    struct stat st {};
    if (stat(realPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    size = static_cast<uint64_t>(st.st_size);
    return true;
}

// Names and locations reported by other nodes become local paths: a name
// must be one plain file name, a location an absolute directory without "..".
bool IsPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

bool IsSafeLocation(const std::string& dir) {
    return !dir.empty() && dir[0] == '/' && (dir + "/").find("/../") == std::string::npos;
}

std::string JoinDir(const std::string& dir, const std::string& name) {
    return dir.back() == '/' ? dir + name : dir + "/" + name;
}

// Brings the system file `source` of node `node` into `realDir` as `name`:
// moved when it is this node's, fetched (one retry) otherwise.
int32_t BringFile(uint16_t node, const std::string& source, const std::string& realDir,
                  const std::string& name, bool isLocal, uint64_t maxBytes) {
    std::string target = realDir + name;
    if (isLocal) {
        std::string real = platform::RealPath(source);
        uint64_t size = 0;
        // An earlier merge of this export already moved it in.
        if (!RegularFileSize(real, size) && RegularFileSize(target, size)) {
            return 0;
        }
        if (!MayMoveLocalFile(source)) {
            return -1;
        }
        int32_t ret = MoveExportFile(real, target);
        if (ret != 0) {
            CHS_LOG(3, LOGID_EXPORT, "Move the file (%s) failed(ret %d).", source.c_str(),
                    static_cast<int>(ret));
            return -1;
        }
        return 0;
    }
    // The copy stops at the first chunk past the limit: a node announcing a
    // small package cannot fill the disk with a large one.
    int ret = OM_GetFileFromOtherNode(node, source.c_str(), target.c_str(), CHS_GET_FILE_TIMEOUT, maxBytes);
    if (ret != 0 && ret != OM_FILE_ERR_TOO_LARGE) {
        ret = OM_GetFileFromOtherNode(node, source.c_str(), target.c_str(), CHS_GET_FILE_TIMEOUT, maxBytes);
    }
    if (ret != 0) {
        CHS_LOG(3, LOGID_EXPORT, "Get the file (%s) of node (%u) failed(ret %d).", source.c_str(),
                static_cast<unsigned int>(node), ret);
        return -1;
    }
    return 0;
}

// BringFile, then the size check on what actually arrived: a package above
// the node limit is removed again, whatever its node reported.
int32_t TakePackage(uint16_t node, const std::string& source, const std::string& realDir,
                    const std::string& name, bool isLocal, uint32_t& size) {
    if (BringFile(node, source, realDir, name, isLocal, DIAGNOSE_NODE_PKG_LIMIT) != 0) {
        NoteMissing(node, "node", 0, false, "the package could not be brought from its node");
        return -1;
    }
    std::string target = realDir + name;
    uint64_t actual = 0;
    if (!RegularFileSize(target, actual)) {
        CHS_LOG(3, LOGID_EXPORT, "The file (%s) is not a regular file.", target.c_str());
        return -1;
    }
    if (actual > DIAGNOSE_NODE_PKG_LIMIT) {
        CHS_LOG(3, LOGID_EXPORT, "Export diagnose result is fialed, because more than 30MB %u.",
                static_cast<unsigned int>(actual > UINT32_MAX ? UINT32_MAX : actual));
        (void)unlink(target.c_str());
        NoteMissing(node, "node", actual, true,
                    OverLimit(actual, DIAGNOSE_NODE_PKG_LIMIT, "the node package limit"));
        return -1;
    }
    size = static_cast<uint32_t>(actual);
    NoteTaken(node, "node", name, actual);
    return 0;
}

// A package of this node is moved in and does not count; other nodes' do.
void TakeNodePackage(const ExportCfg& cfg, uint16_t node, const std::string& realDir, uint64_t& total) {
    if (!checkDownloadDiagnoseFilePriority(cfg, node, total)) {
        if (node < EXPORT_MAX_NODE_NUM && total > MergeBudget() &&
            checkDownloadDiagnoseFilePriority(cfg, node, 0)) {
            NoteMissing(node, "node", cfg.astNode[node].uiPkgSize, true,
                        "left out: the bundle's size budget of " + std::to_string(MergeBudget()) +
                            " bytes was used up");
        }
        return;
    }
    bool isLocal = node == omlib::getLocalNidInUser();
    uint32_t size = 0;
    if (getLocalDiagnoseFile(cfg, node, realDir, isLocal, size) == 0 && !isLocal) {
        total += size;
    }
}

void TakeDataFile(const tagCOLLECOR_EXPORT_DATA_S& block, const char* kind, uint32_t limit,
                  const std::string& realDir, uint64_t& total) {
    if (block.uiStatus != EXPORT_STATUS_READY) {
        NoteMissing(-1, kind, 0, false, "the data could not be produced in time");
        return;
    }
    if (block.uiFileSize > limit) {
        NoteMissing(-1, kind, block.uiFileSize, true, OverLimit(block.uiFileSize, limit, "its limit"));
        return;
    }
    if (total + block.uiFileSize >= MergeBudget()) {
        NoteMissing(
            -1, kind, block.uiFileSize, true,
            "left out: the bundle's size budget of " + std::to_string(MergeBudget()) + " bytes was used up");
        return;
    }
    std::string name = baseName(block.strFilePath);
    if (IsPlainName(name) &&
        BringFile(omlib::getLocalNidInUser(), block.strFilePath, realDir, name, true, limit) == 0) {
        total += block.uiFileSize;
        NoteTaken(-1, kind, name, block.uiFileSize);
    } else {
        NoteMissing(-1, kind, block.uiFileSize, false, "the file could not be moved into the bundle");
    }
}

// Installs a merge's ledger on this thread for the merge's lifetime.
class LedgerScope {
  public:
    explicit LedgerScope(MergeLedger& ledger) { SetCurrentMergeLedger(&ledger); }
    ~LedgerScope() { SetCurrentMergeLedger(nullptr); }
    LedgerScope(const LedgerScope&) = delete;
    LedgerScope& operator=(const LedgerScope&) = delete;
};

// The owner and mode of a file handed out to users, set while it still lies
// in the private temporary directory. The mode is set whether or not the
// owner could be: a file left 0644 would be readable by everyone.
int32_t HandOut(const std::string& realFile) {
    std::string quoted = ShellQuote(realFile);
    std::string chown = ExportSudo() + "chown -h " + ShellQuote(platform::GetProfile().strExportOwner) +
                        " -- " + quoted + " 1>/dev/null 2>/dev/null";
    int32_t owner = g_pfnExportExec(chown, EXPORT_CMD_TIMEOUT_MS);
    int32_t mode = g_pfnExportExec(ExportSudo() + "chmod " + DIAGNOSE_FILE_MODE + " -- " + quoted,
                                   EXPORT_CMD_TIMEOUT_MS);
    if (owner != 0 || mode != 0) {
        CHS_LOG(3, LOGID_EXPORT, "Change the owner and mode of (%s) failed(ret %d, %d).", realFile.c_str(),
                static_cast<int>(owner), static_cast<int>(mode));
    }
    return mode;
}

}  // namespace

int32_t MoveExportFile(const std::string& source, const std::string& target) {
    // -T: the target is the name itself, replaced by rename(2); a link or a
    // directory planted there is neither followed nor moved into.
    std::string cmd = ExportSudo() + "mv -fT -- " + ShellQuote(source) + " " + ShellQuote(target) +
                      " 2>/dev/null 1>/dev/null";
    return g_pfnExportExec(cmd, EXPORT_CMD_TIMEOUT_MS);
}

int32_t CreatExpTmpDir(const std::string& name, std::string& dir) {
    dir = strDiagnoseInfoPath + name + "/";
    if (MakeExportDirUsable(dir) != 0) {
        CHS_LOG(3, LOGID_EXPORT, "Create export dir failed.");
        return -1;
    }
    return 0;
}

int32_t CreateTempDirForDownloadDigaInfo(std::string& dir, std::string& realDir) {
    if (omlib::testDiskMount(EXPORT_COFFER_MOUNT_PATH) != 0) {
        CHS_LOG(3, LOGID_EXPORT, "The coffer data is abnormal.");
        return -1;
    }
    if (CreatExpTmpDir(DIAGNOSE_TEMP_DIR_NAME, dir) != 0) {
        return -1;
    }
    realDir = platform::RealPath(dir);
    return 0;
}

bool checkDownloadDiagnoseFilePriority(const ExportCfg& cfg, uint16_t node, uint64_t total) {
    if (node >= EXPORT_MAX_NODE_NUM || total > MergeBudget()) {
        return false;
    }
    const tagCOLLECOR_EXPORT_NODE_INFO_S& record = cfg.astNode[node];
    return record.ucSelected == 1 && (record.uiCollectStatus == EXPORT_STATUS_READY ||
                                      record.uiCollectStatus == EXPORT_STATUS_ABNORMAL);
}

int32_t getDiagnoseFile(const ExportCfg& cfg, uint16_t node, const std::string& realDir, bool isLocal,
                        uint32_t& size) {
    const std::string& nodeName = cfg.astNode[node].strNodeName;
    for (const char* suffix : {"", DIAGNOSE_MAIN_SUFFIX}) {
        std::string name = EXPORT_DIAGNOSE_PKG_PREFIX + nodeName + suffix + EXPORT_DIAGNOSE_PKG_SUFFIX;
        if (IsPlainName(name) &&
            TakePackage(node, strDiagnoseInfoPath + name, realDir, name, isLocal, size) == 0) {
            return 0;
        }
    }
    CHS_LOG(3, LOGID_EXPORT, "Get the diagnose file of node (%u) failed.", static_cast<unsigned int>(node));
    return -1;
}

int32_t getLocalDiagnoseFile(const ExportCfg& cfg, uint16_t node, const std::string& realDir, bool isLocal,
                             uint32_t& size) {
    const tagCOLLECOR_EXPORT_NODE_INFO_S& record = cfg.astNode[node];
    if (record.uiPkgSize > DIAGNOSE_NODE_PKG_LIMIT) {
        CHS_LOG(3, LOGID_EXPORT, "Export diagnose result is fialed, because more than 30MB %u.",
                record.uiPkgSize);
        NoteMissing(node, "node", record.uiPkgSize, true,
                    OverLimit(record.uiPkgSize, DIAGNOSE_NODE_PKG_LIMIT, "the node package limit"));
        return -1;
    }
    if (IsPlainName(record.strPkgName) && IsSafeLocation(record.strPkgPath) &&
        TakePackage(node, JoinDir(record.strPkgPath, record.strPkgName), realDir, record.strPkgName, isLocal,
                    size) == 0) {
        return 0;
    }
    return getDiagnoseFile(cfg, node, realDir, isLocal, size);
}

void downloadMinisystemDiagnoseFile(ExportCfg& cfg, const std::string& realDir, uint64_t& total) {
    uint16_t self = omlib::getLocalNidInUser();
    for (uint16_t node = 0; node < EXPORT_MAX_NODE_NUM; ++node) {
        tagCOLLECOR_EXPORT_NODE_INFO_S& record = cfg.astNode[node];
        if (!IsFallbackExportNode(record) || !checkDownloadDiagnoseFilePriority(cfg, node, total)) {
            continue;
        }
        std::string name = DIAGNOSE_MINISYSTEM_PREFIX + record.strNodeName + EXPORT_DIAGNOSE_PKG_SUFFIX;
        uint32_t size = 0;
        if (IsPlainName(name) && TakePackage(node, strDiagnoseExportPath + DIAGNOSE_MINISYSTEM_PKG, realDir,
                                             name, node == self, size) == 0) {
            record.uiPkgSize = size;
            total += size;
        }
    }
}

void downloadMainNodeDiagnoseFile(const ExportCfg& cfg, const std::string& realDir, uint64_t& total) {
    uint32_t master = g_uiMasterNid;
    if (master < EXPORT_MAX_NODE_NUM && !IsFallbackExportNode(cfg.astNode[master])) {
        TakeNodePackage(cfg, static_cast<uint16_t>(master), realDir, total);
    }
}

void downloadCommNodeDiagnoseFile(const ExportCfg& cfg, const std::string& realDir, uint64_t& total) {
    uint32_t master = g_uiMasterNid;
    for (uint16_t node = 0; node < EXPORT_MAX_NODE_NUM; ++node) {
        if (node != master && !IsFallbackExportNode(cfg.astNode[node])) {
            TakeNodePackage(cfg, node, realDir, total);
        }
    }
}

void downloadEventAndRunningDataFile(const ExportCfg& cfg, const std::string& realDir, uint64_t& total) {
    TakeDataFile(cfg.stAlarmEvent, "alarm_event", DIAGNOSE_EVENT_FILE_LIMIT, realDir, total);
    TakeDataFile(cfg.stRunningData, "running_data", DIAGNOSE_RUNNING_DATA_LIMIT, realDir, total);
}

int32_t TarLocalDiagnoseFile(const std::string& realDir) {
    // A package left by an earlier merge would be packed into the new one.
    (void)unlink((realDir + strDiagnoseInfoName).c_str());
    // "&&": a directory that cannot be entered packs nothing. "--": a part
    // named like an option stays a file name.
    std::string cmd = "cd " + ShellQuote(realDir) + " && " + ExportSudo() + "tar -zcvf " +
                      ShellQuote(strDiagnoseInfoName) + " -- * 1>/dev/null";
    return g_pfnExportExec(cmd, EXPORT_CMD_TIMEOUT_MS);
}

std::string FinalDiagnoseFilePath(uint32_t type) {
    if (type == EXPORT_TYPE_DIAGNOSE_DOWNLOAD) {
        return strDiagnoseExportPath + strDiagnoseInfoName;
    }
    return InfocollectorGetSystemPath(INFO_COLLECTOR_PATH_DIAGNOSE_DATA) + strDiagnoseInfoName;
}

int32_t moveFileByType(uint32_t type, const std::string& realDir) {
    std::string target = platform::RealPath(FinalDiagnoseFilePath(type));
    std::string targetDir = dirName(target);
    if (type != EXPORT_TYPE_DIAGNOSE_DOWNLOAD && MakeExportDirUsable(targetDir) != 0) {
        CHS_LOG(3, LOGID_EXPORT, "creat dir (%s) faild", targetDir.c_str());
        return -1;
    }
    std::string packed = realDir + strDiagnoseInfoName;
    struct stat st {};
    if (lstat(packed.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        CHS_LOG(3, LOGID_EXPORT, "The packed file (%s) is not a regular file.", packed.c_str());
        return -1;
    }
    std::string why;
    if (CheckBundleForSecrets(packed, why) != 0) {
        CHS_LOG(3, LOGID_EXPORT, "The diagnose bundle is refused and removed: %s", why.c_str());
        (void)unlink(packed.c_str());
        return static_cast<int32_t>(chs_wire::EXPORT_RESULT_SECRET_FOUND);
    }
    int32_t ret = HandOut(packed);
    if (ret == 0) {
        ret = MoveExportFile(packed, target);
    }
    if (ret != 0) {
        CHS_LOG(3, LOGID_EXPORT, "Move the diagnose file to (%s) failed(ret %d).", target.c_str(),
                static_cast<int>(ret));
        (void)unlink(packed.c_str());
        return ret;
    }
    return 0;
}

int32_t downDiagnoseInfo(uint32_t type, const std::string& tempDir, const std::string& realTempDir) {
    std::lock_guard<std::mutex> lock(g_mergeMutex);
    MergingFlag merging;
    uint32_t generation = g_uiExportGeneration.load();
    ExportCfg cfg = ExportCfgSnapshot();
    MergeLedger ledger;
    ledger.ullBudget = DiagnoseMergeBudget();
    LedgerScope ledgerScope(ledger);
    uint64_t total = 0;
    downloadMinisystemDiagnoseFile(cfg, realTempDir, total);
    downloadMainNodeDiagnoseFile(cfg, realTempDir, total);
    downloadCommNodeDiagnoseFile(cfg, realTempDir, total);
    downloadEventAndRunningDataFile(cfg, realTempDir, total);
    {
        // The fallback entries get the size of what arrived.
        ExportCfgLock cfgLock(ExportCfgMutex());
        if (g_uiExportGeneration.load() == generation) {
            for (uint16_t node = 0; node < EXPORT_MAX_NODE_NUM; ++node) {
                if (IsFallbackExportNode(g_astExportFileCfg.astNode[node])) {
                    g_astExportFileCfg.astNode[node].uiPkgSize = cfg.astNode[node].uiPkgSize;
                }
            }
        }
    }
    CHS_LOG(0, LOGID_EXPORT, "Merge %llu bytes in (%s).", static_cast<unsigned long long>(total),
            tempDir.c_str());
    // A manifest left by an earlier merge of this export is replaced.
    int32_t ret = WriteDiagnoseManifest(cfg, ledger, realTempDir);
    if (ret != 0) {
        CHS_LOG(3, LOGID_EXPORT, "Write the manifest of the diagnose files of (%s) failed.", tempDir.c_str());
        return ret;
    }
    ret = TarLocalDiagnoseFile(realTempDir);
    if (ret != 0) {
        CHS_LOG(3, LOGID_EXPORT, "Pack the diagnose files of (%s) failed(ret %d).", tempDir.c_str(),
                static_cast<int>(ret));
    } else {
        ret = moveFileByType(type, realTempDir);
    }
    CHS_LOG(1, LOGID_EXPORT, "Merge the export diagnose file,ret %d.", static_cast<int>(ret));
    return ret;
}
