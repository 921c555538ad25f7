// The running data of a diagnose export: asked of the synchronisation
// service of the master, fetched from the master when it is another node,
// cut to 30 MB and put into the diagnose directory.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "collector/collect_file_handoff.h"
#include "core/omlib.h"
#include "export/alarm_log_client.h"
#include "export/data_export.h"
#include "export/data_file_copy.h"
#include "export/diagnose_download.h"
#include "export/diagnose_export.h"
#include "export/diagnose_globals.h"
#include "export/diagnose_peer_files.h"
#include "infra/chs_log.h"
#include "infra/file_util.h"
#include "msg/chs_wire.h"
#include "platform/om_file_copy.h"
#include "platform/platform_profile.h"
#include "infra/detached_tasks.h"

namespace {

// The copy in progress; hidden, so the merge's "*" never packs it.
constexpr const char* kStagingName = ".running_data.part";

tagCOLLECOR_EXPORT_DATA_S& Block() { return g_astExportFileCfg.stRunningData; }

bool IsCurrent(uint32_t generation) { return IsCurrentExport(generation); }

void Settle(uint32_t generation, uint32_t status) { SettleDataBlock(Block(), generation, status); }

std::string StagingPath() { return platform::RealPath(strDiagnoseInfoPath) + kStagingName; }

// Removes what this node copied; asks `master`, when it is another node and
// still online, to delete its file `path`.
void ClearRunningDataFileOf(const std::string& path, int32_t master) {
    (void)unlink(StagingPath().c_str());
    uint16_t self = omlib::getLocalNidInUser();
    if (master < 0 || master >= static_cast<int32_t>(EXPORT_MAX_NODE_NUM) || master == self) {
        return;
    }
    uint32_t online = 0;
    (void)omlib::getOnlineMap(online);
    if (!omlib::TestBit(online, static_cast<uint32_t>(master))) {
        CHS_LOG(2, LOGID_EXPORT, "The export master nid is not online.");
        return;
    }
    (void)DeleteDiagnoseFile(path, static_cast<uint16_t>(master), DIAGNOSE_DELETE_KIND_FILE);
}

// Puts the file `path` of `master` at the staging name: fetched (one retry)
// from another node, copied from this one.
int32_t StageRunningData(uint16_t master, const std::string& path) {
    std::string staging = StagingPath();
    (void)unlink(staging.c_str());
    if (master != omlib::getLocalNidInUser()) {
        // A file over the whole merge budget could never join a merge, even
        // cut: the copy stops at the first chunk past it.
        int ret = OM_GetFileFromOtherNode(master, path.c_str(), staging.c_str(), CHS_GET_FILE_TIMEOUT,
                                          DIAGNOSE_FILE_MERGE_LIMIT_SIZE);
        if (ret != 0 && ret != OM_FILE_ERR_TOO_LARGE) {
            ret = OM_GetFileFromOtherNode(master, path.c_str(), staging.c_str(), CHS_GET_FILE_TIMEOUT,
                                          DIAGNOSE_FILE_MERGE_LIMIT_SIZE);
        }
        if (ret != 0) {
            CHS_LOG_PRINT(3, LOGID_EXPORT, "Get the running data from ", path,
                          " of the master nid failed, ret ", ret, ".");
            return -1;
        }
        return 0;
    }
    // The master's own file is copied and the copy cut, never the file the
    // service produced.
    uint64_t size = 0;
    int fd = OpenDataSource(path, size);
    if (fd < 0) {
        CHS_LOG_PRINT(3, LOGID_EXPORT, "Get the running data file size failed, ret ", fd, ".");
        return -1;
    }
    int32_t ret = CopyToNewFile(fd, size, staging);
    close(fd);
    if (ret != 0) {
        CHS_LOG_PRINT(3, LOGID_EXPORT, "Move the running data from (", path, ") (", strDiagnoseInfoPath,
                      ") failed.");
    }
    return ret;
}

int32_t FetchRunningDataFileFor(uint16_t master, const InnerMsg& answer, uint32_t generation) {
    const MsgObject& body = answer.GetBody();
    if (body.empty()) {
        CHS_LOG(3, LOGID_EXPORT, "Received null message .");
        return -1;
    }
    const CTLVCell* cell = body[0].find(chs_wire::RUNNING_DATA_TAG_LOCATION);
    std::string location;
    if (cell != nullptr && cell->GetType() == CTLVCell::TLV_STRING) {
        location = static_cast<const char*>(*cell);
    }
    std::string address;
    std::string path;
    std::string dir;
    std::string name;
    if (location.empty()) {
        CHS_LOG(3, LOGID_EXPORT, "The file path is null.");
        return -1;
    }
    // ParseLogFilePath says "The file path is null." itself.
    if (ParseLogFilePath(location, address, path) != 0 || GetFileNameByAddress(path, dir, name) != 0) {
        return -1;
    }
    if (!IsAcceptedDataSource(path)) {
        CHS_LOG(3, LOGID_EXPORT, "Refuse the running data (%s): not a plain file below %s.", path.c_str(),
                DATA_FILE_SOURCE_ROOT);
        return -1;
    }
    if (StageRunningData(master, path) != 0) {
        ClearRunningDataFileOf(path, master);
        return -1;
    }
    std::string staging = StagingPath();
    uint64_t size = 0;
    if (!RegularFileSizeNoFollow(staging, size)) {
        CHS_LOG_PRINT(3, LOGID_EXPORT, "Get the running data file size failed, ret ", -1, ".");
        ClearRunningDataFileOf(path, master);
        return -1;
    }
    if (size > RUNNING_DATA_LIMIT_SIZE) {
        uint32_t ret = truncateTheFile(staging, RUNNING_DATA_LIMIT_SIZE);
        if (ret != 0 || !RegularFileSizeNoFollow(staging, size)) {
            CHS_LOG_PRINT(3, LOGID_EXPORT, "The running data (", path, ") is over the limit size, ret ", ret,
                          ".");
            ClearRunningDataFileOf(path, master);
            return -1;
        }
    }
    // An export cleared meanwhile gets nothing into the directory it emptied.
    std::string target = platform::RealPath(strDiagnoseInfoPath) + name;
    if (!IsCurrent(generation) || PublishDataFile(staging, target) != 0) {
        CHS_LOG_PRINT(3, LOGID_EXPORT, "Move the running data from (", path, ") (", strDiagnoseInfoPath,
                      ") failed.");
        ClearRunningDataFileOf(path, master);
        return -1;
    }
    ExportCfgLock lock(ExportCfgMutex());
    if (!IsCurrent(generation)) {
        (void)unlink(target.c_str());
        return -1;
    }
    tagCOLLECOR_EXPORT_DATA_S& block = Block();
    block.uiFileSize = static_cast<uint32_t>(size);
    block.strFileName = name;
    block.strFilePath = strDiagnoseInfoPath + name;
    return 0;
}

int32_t ExportRunningDataFileFor(uint32_t generation) {
    uint16_t master = 0;
    if (omlib::getMasterNid(master) != 0 || master >= EXPORT_MAX_NODE_NUM) {
        Settle(generation, EXPORT_STATUS_FAILED);
        CHS_LOG(3, LOGID_EXPORT, "The master nid is invalid.");
        return -1;
    }
    {
        ExportCfgLock lock(ExportCfgMutex());
        if (IsCurrent(generation)) {
            Block().iNodeId = master;
            Block().uiStatus = EXPORT_STATUS_COLLECTING;
        }
    }
    InnerMsg answer;
    bool sent = false;
    try {
        InnerMsg request;
        InitExportRequest(request, master, chs_wire::PID_SYNC, chs_wire::OPCODE_RUNNING_DATA,
                          DIAGNOSE_INFO_EXPORT_RUNNING_DATA_TIMEOUT);
        request.GetBody().append(new MsgRecord(chs_wire::RECORD_RUNNING_DATA));
        sent = request.SendSyncMsg(answer);
    } catch (...) {
        sent = false;
    }
    if (!sent) {
        Settle(generation, EXPORT_STATUS_FAILED);
        CHS_LOG(3, LOGID_EXPORT, "Sending message to om_sync failed.");
        return -1;
    }
    if (answer.TryGetErrorCode() != 0) {
        Settle(generation, EXPORT_STATUS_FAILED);
        CHS_LOG(3, LOGID_EXPORT, "Received a failed response from om_sync.");
        return -1;
    }
    int32_t ret = FetchRunningDataFileFor(master, answer, generation);
    Settle(generation, ret == 0 ? EXPORT_STATUS_READY : EXPORT_STATUS_FAILED);
    return ret == 0 ? 0 : -1;
}

}  // namespace

void NotifyExportRunningData() {
    if (omlib::getLocalNidInUser() >= EXPORT_MAX_NODE_NUM) {
        CHS_LOG(3, LOGID_EXPORT, "The export node is invalid.");
        return;
    }
    uint32_t generation = g_uiExportGeneration.load();
    // Running before the thread exists: the gathering must not take the
    // block for settled while the thread is being started.
    {
        ExportCfgLock lock(ExportCfgMutex());
        Block().uiStatus = EXPORT_STATUS_COLLECTING;
    }
    if (!StartDetachedTask([generation] { (void)ExportRunningDataFileFor(generation); })) {
        CHS_LOG(3, LOGID_EXPORT, "Failed to start the running data thread.");
        Settle(generation, EXPORT_STATUS_FAILED);
    }
}

int32_t exportRunningDataFile() { return ExportRunningDataFileFor(g_uiExportGeneration.load()); }

int32_t fetchRunningDataFile(uint16_t master, const InnerMsg& answer) {
    return FetchRunningDataFileFor(master, answer, g_uiExportGeneration.load());
}

void ClearRunningDataFile(const std::string& path) { ClearRunningDataFileOf(path, Block().iNodeId); }

uint32_t truncateTheFile(const std::string& realPath, uint32_t limit) {
    // A descriptor of the file itself: the size checked is the size cut, and
    // a link put in its place is not followed.
    int fd = open(realPath.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    int ret = -1;
    struct stat st {};
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        // Only ever shorter: a file within the limit keeps its size.
        ret = st.st_size > static_cast<off_t>(limit) ? ftruncate(fd, static_cast<off_t>(limit)) : 0;
        if (ret == 0 && fstat(fd, &st) != 0) {
            ret = -1;
        }
    } else if (fd >= 0) {
        errno = EINVAL;
    }
    int err = errno;
    if (fd >= 0) {
        close(fd);
    }
    if (ret == 0 && st.st_size <= static_cast<off_t>(limit)) {
        CHS_LOG_PRINT(1, LOGID_EXPORT, "Success to truncate the file(", realPath, "), filesize(",
                      static_cast<long long>(st.st_size), "), limitsize(", limit, ").");
        return 0;
    }
    CHS_LOG_PRINT(3, LOGID_EXPORT, "Failed to truncate the file, ret(", ret, "), errno(", err, ").");
    return 0xFFFFFFFF;
}

int32_t GetFileNameByAddress(const std::string& path, std::string& dir, std::string& name) {
    dir = dirName(path);
    name = baseName(path);
    CHS_LOG(1, LOGID_EXPORT, "Get filedir[%s] filename[%s]", dir.c_str(), name.c_str());
    return dir.empty() || name.empty() ? -1 : 0;
}
