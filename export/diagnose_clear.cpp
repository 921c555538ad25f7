// Clearing what a diagnose export left: this node's diagnose data, the same
// on every other node through the peer delete request, the receiver of that
// request, and the watch that removes a diagnose task row nobody finished.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "control/ccdb_comm.h"
#include "control/remote_task.h"
#include "core/omlib.h"
#include "export/diagnose_download.h"
#include "export/diagnose_export.h"
#include "export/diagnose_globals.h"
#include "export/diagnose_peer_files.h"
#include "export/export_frame.h"
#include "infra/chs_log.h"
#include "infra/string_util.h"
#include "platform/om_ccdb.h"
#include "platform/platform_profile.h"

int32_t g_iCheckExportNum = 0;

namespace {

// The real place of a system path with every symbolic link resolved. False
// with errno set when it cannot be resolved.
bool Resolve(const std::string& systemPath, std::string& resolved) {
    char buffer[PATH_MAX] = {};
    if (realpath(platform::RealPath(systemPath).c_str(), buffer) == nullptr) {
        return false;
    }
    resolved = buffer;
    return true;
}

// Whether the resolved path lies in the system directory `prefix` (or is it):
// a mere common beginning ("export_import_old") does not count.
bool IsBelow(const std::string& resolved, const std::string& prefix) {
    std::string base;
    if (!Resolve(prefix, base)) {
        base = platform::RealPath(prefix);
    }
    while (base.size() > 1 && base.back() == '/') {
        base.pop_back();
    }
    return resolved.compare(0, base.size(), base) == 0 &&
           (resolved.size() == base.size() || resolved[base.size()] == '/' || base == "/");
}

// The area of a peer's path, by its text alone (the longest directory that
// begins it); `rest` gets the components below it. Null when the path lies in
// none, or has an empty, "." or ".." component.
const tagDIAGNOSE_PEER_DELETE_AREA* PeerDeleteArea(const std::string& path, std::vector<std::string>& rest) {
    const tagDIAGNOSE_PEER_DELETE_AREA* found = nullptr;
    for (const tagDIAGNOSE_PEER_DELETE_AREA& area : DIAGNOSE_PEER_DELETE_AREAS) {
        size_t length = strlen(area.pcDir);
        if (path.size() > length && path.compare(0, length, area.pcDir) == 0 &&
            (found == nullptr || length > strlen(found->pcDir))) {
            found = &area;
        }
    }
    if (found == nullptr) {
        return nullptr;
    }
    rest.clear();
    size_t start = strlen(found->pcDir);
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        end = end == std::string::npos ? path.size() : end;
        std::string part = path.substr(start, end - start);
        if (part.empty() || part == "." || part == "..") {
            return nullptr;
        }
        rest.push_back(part);
        start = end + 1;
    }
    return rest.empty() || (!found->bBelow && rest.size() > 1) ? nullptr : found;
}

class Fd {
  public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    void Reset(int fd) {
        if (m_fd >= 0) {
            close(m_fd);
        }
        m_fd = fd;
    }
    int get() const { return m_fd; }

  private:
    int m_fd;
};

// Deletes the regular file `path` (a system path from a peer) with unlinkat:
// never through a shell, never outside its area. Every directory below the
// area is opened with O_NOFOLLOW from its parent, and the file is checked and
// unlinked relative to the directory so opened: a link swapped in between the
// check and the unlink cannot redirect it.
void DeletePeerFile(const std::string& path, const tagDIAGNOSE_PEER_DELETE_AREA& area,
                    const std::vector<std::string>& rest) {
    std::string base;
    if (!Resolve(area.pcDir, base)) {
        CHS_LOG(1, LOGID_EXPORT, "Nothing to delete at (%s), errno:%d.", path.c_str(), errno);
        return;
    }
    Fd dir(open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (size_t i = 0; dir.get() >= 0 && i + 1 < rest.size(); ++i) {
        dir.Reset(openat(dir.get(), rest[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    struct stat st {};
    if (dir.get() < 0 || fstatat(dir.get(), rest.back().c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) {
            CHS_LOG(1, LOGID_EXPORT, "Nothing to delete at (%s), errno:%d.", path.c_str(), errno);
        } else {
            CHS_LOG(2, LOGID_EXPORT,
                    "Refuse to delete (%s): its directory cannot be opened without a link, errno:%d.",
                    path.c_str(), errno);
        }
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        CHS_LOG(2, LOGID_EXPORT, "Refuse to delete (%s): not a regular file.", path.c_str());
        return;
    }
    if (unlinkat(dir.get(), rest.back().c_str(), 0) != 0) {
        CHS_LOG(3, LOGID_EXPORT, "Failed to delete file (%s), errno:%d.", path.c_str(), errno);
        return;
    }
    CHS_LOG(1, LOGID_EXPORT, "Delete file (%s).", path.c_str());
}

// Path (cell 1, may be absent) and kind (cell 2, absent = 0) of a delete request.
bool ReadDeleteRequest(const InnerMsg& request, std::string& path, uint32_t& kind) {
    const MsgObject& body = request.GetBody();
    if (body.empty()) {
        CHS_LOG(3, LOGID_EXPORT, "Failed to parse the objReqMsg, objReqMsg.count is (%lu).",
                static_cast<unsigned long>(body.size()));
        return false;
    }
    const CTLVCell* pathCell = body[0].find(DIAGNOSE_TAG_DELETE_PATH);
    const CTLVCell* kindCell = body[0].find(DIAGNOSE_TAG_DELETE_KIND);
    if ((pathCell != nullptr && pathCell->GetType() != CTLVCell::TLV_STRING) ||
        (kindCell != nullptr && !CTLVCell::IsNumericalType(kindCell->GetType()))) {
        CHS_LOG(3, LOGID_EXPORT, "An exception occurred during getting the info from the reqMsg.");
        return false;
    }
    try {
        path = pathCell == nullptr ? std::string() : std::string(static_cast<const char*>(*pathCell));
    } catch (...) {
        CHS_LOG(3, LOGID_EXPORT, "An exception occurred during getting the info from the reqMsg.");
        return false;
    }
    uint64_t value = kindCell == nullptr ? 0 : kindCell->GetUInt64();
    kind = value > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(value);
    return true;
}

// The removals below run before every node's package build, mostly on
// nothing: where this process can see that a removal would find nothing, no
// command is run. Whatever cannot be seen (no permission, a read error) is
// left to the command.

// Whether nothing is at the real path `real` (not even a dangling link).
bool SurelyAbsent(const std::string& real) {
    struct stat st {};
    return lstat(real.c_str(), &st) != 0 && errno == ENOENT;
}

// Whether the directory `real` is missing or holds no entry that the shell's
// "*" matches (none whose name does not start with a dot).
bool SurelyNothingToRemove(const std::string& real) {
    DIR* dir = opendir(real.c_str());
    if (dir == nullptr) {
        return errno == ENOENT;
    }
    bool nothing = true;
    errno = 0;
    while (struct dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') {
            nothing = false;
            break;
        }
    }
    if (errno != 0) {
        nothing = false;
    }
    closedir(dir);
    return nothing;
}

// Empties the system directory `dir` (its entries, not the directory).
int32_t RemoveDirContents(const std::string& dir) {
    std::string real = platform::RealPath(dir);
    // "rm -rf ''*" would empty the working directory.
    if (real.size() < 2 || real[0] != '/' || real.back() != '/') {
        return -1;
    }
    if (SurelyNothingToRemove(real)) {
        return 0;
    }
    return ExecExportCmdWithRetry(ExportSudo() + "rm -rf -- " + ShellQuote(real) + "*",
                                  EXPORT_CMD_TIMEOUT_MS);
}

}  // namespace

int32_t CHS_CheckPath(const std::string& path, const std::string& prefix) {
    if (prefix.empty()) {
        return 0;
    }
    std::string resolved;
    if (!Resolve(path, resolved)) {
        if (errno == ENOENT) {
            return 0;
        }
        CHS_LOG(2, LOGID_EXPORT, "realpath(%s) failed, errno:%d", path.c_str(), errno);
        return -1;
    }
    return IsBelow(resolved, prefix) ? 0 : -1;
}

void ClearDiagnseData() {
    if (omlib::testDiskMount(EXPORT_COFFER_MOUNT_PATH) != 0) {
        CHS_LOG(3, LOGID_EXPORT, "The coffer data is abnormal.");
        return;
    }
    std::string merged = platform::RealPath(strDiagnoseExportPath + strDiagnoseInfoName);
    if (!SurelyAbsent(merged) &&
        ExecExportCmdWithRetry(ExportSudo() + "rm -f -- " + ShellQuote(merged), EXPORT_CMD_TIMEOUT_MS) != 0) {
        CHS_LOG(3, LOGID_EXPORT, "Failed to delete file (%s%s).", strDiagnoseExportPath.c_str(),
                strDiagnoseInfoName.c_str());
    }
    if (RemoveDirContents(strDiagnoseInfoPath) != 0) {
        CHS_LOG(3, LOGID_EXPORT, "Failed to delete file (%s).", strDiagnoseInfoPath.c_str());
    }
}

void ClearDiagnseSendNexhubFile() {
    if (RemoveDirContents(strDiagnoseInfoToNexhub) != 0) {
        CHS_LOG(3, LOGID_EXPORT, "Failed to delete file (%s).", strDiagnoseInfoToNexhub.c_str());
    }
}

void clearTmpExpFile(uint32_t cleanType) {
    if (cleanType > 0) {
        CHS_LOG(3, LOGID_EXPORT, "Clean type is not supported.");
        return;
    }
    uint32_t online = 0;
    (void)omlib::getOnlineMap(online);
    uint16_t self = omlib::getLocalNidInUser();
    for (uint16_t node = 0; node < EXPORT_MAX_NODE_NUM; ++node) {
        if (!omlib::TestBit(online, node)) {
            continue;
        }
        if (node == self) {
            ClearDiagnseData();
        } else {
            (void)DeleteDiagnoseFile(DIAGNOSE_CLEAN_DIR, node, cleanType);
        }
    }
}

void processDelFileFromPeer(InnerMsg& request) {
    ExpDiagPostAckMsg(request, EXPORT_OPCODE_DELETE_FILE, 0);
    std::string path;
    uint32_t kind = DIAGNOSE_DELETE_KIND_CLEAR;
    if (!ReadDeleteRequest(request, path, kind)) {
        return;
    }
    if (kind == DIAGNOSE_DELETE_KIND_CLEAR) {
        ClearDiagnseData();
    }
    std::vector<std::string> rest;
    const tagDIAGNOSE_PEER_DELETE_AREA* area = PeerDeleteArea(path, rest);
    if (area == nullptr) {
        CHS_LOG(1, LOGID_EXPORT, "rm cmd failed.");
        return;
    }
    if (kind == DIAGNOSE_DELETE_KIND_FILE) {
        DeletePeerFile(path, *area, rest);
    }
}

void ClearExportDiagnoseInfoRecord() {
    int32_t state = 0;
    if (CCDB_COMM::GetCcdbStatus(state) != 0 || state != OM_CCDB_STATE_NORMAL) {
        return;
    }
    CCDB_COMM::tagDB_CHS_REMOTE_TASK_S row{};
    uint32_t ret = GetRemoteTask(REMOTE_TASK_DIAGNOSE_EXPORT, row);
    if (ret == static_cast<uint32_t>(CCDB_RESULT_NO_ROW)) {
        strExportTaskId.clear();
        g_iCheckExportNum = 0;
        return;
    }
    if (ret != 0) {
        CHS_LOG(2, LOGID_EXPORT, "Read the diagnose task failed(%u).", ret);
        return;
    }
    std::string taskId(row.taskIdText, strnlen(row.taskIdText, sizeof(row.taskIdText)));
    if (taskId != strExportTaskId) {
        strExportTaskId = taskId;
        g_iCheckExportNum = 0;
        return;
    }
    if (g_iCheckExportNum == 0) {
        g_iCheckExportNum = 1;
        return;
    }
    if (DeleteRemoteTask(REMOTE_TASK_DIAGNOSE_EXPORT) != 0 &&
        DeleteRemoteTask(REMOTE_TASK_DIAGNOSE_EXPORT) != 0) {
        CHS_LOG(3, LOGID_EXPORT, "Delete the stale diagnose task (%s) failed.", taskId.c_str());
    } else {
        CHS_LOG(1, LOGID_EXPORT, "Delete the stale diagnose task (%s).", taskId.c_str());
    }
    clearTmpExpFile(0);
    g_iCheckExportNum = 0;
    strExportTaskId.clear();
}
