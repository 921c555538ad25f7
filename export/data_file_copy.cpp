#include "export/data_file_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "export/diagnose_download.h"
#include "export/diagnose_export.h"
#include "infra/chs_log.h"
#include "infra/file_util.h"
#include "platform/platform_profile.h"

namespace {

constexpr size_t kCopyChunk = 64 * 1024;

bool HasParentComponent(const std::string& path) { return (path + "/").find("/../") != std::string::npos; }

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// The real place of `realPath` with every link resolved; empty when it
// cannot be resolved.
std::string Resolved(const std::string& realPath) {
    char buffer[PATH_MAX] = {};
    return realpath(realPath.c_str(), buffer) == nullptr ? std::string() : std::string(buffer);
}

// Whether the resolved `resolved` lies below the coffer tree of this node.
bool InsideSourceRoot(const std::string& resolved) {
    std::string root = Resolved(platform::RealPath(DATA_FILE_SOURCE_ROOT));
    if (root.empty()) {
        return false;
    }
    if (root.back() != '/') {
        root += '/';
    }
    return StartsWith(resolved, root);
}

bool WriteAll(int fd, const char* data, size_t length) {
    while (length > 0) {
        ssize_t written = write(fd, data, length);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        data += written;
        length -= static_cast<size_t>(written);
    }
    return true;
}

}  // namespace

bool IsAcceptedDataFileName(const std::string& name) {
    return !name.empty() && name[0] != '.' && name.find('/') == std::string::npos &&
           !StartsWith(name, "DiagnoseInfo") && !StartsWith(name, "DiagoseInfo") &&
           name != DIAGNOSE_TEMP_DIR_NAME;
}

bool IsAcceptedDataSource(const std::string& systemPath) {
    return StartsWith(systemPath, DATA_FILE_SOURCE_ROOT) && !HasParentComponent(systemPath) &&
           systemPath.find('\0') == std::string::npos && IsAcceptedDataFileName(baseName(systemPath));
}

int OpenDataSource(const std::string& systemPath, uint64_t& size) {
    if (!IsAcceptedDataSource(systemPath)) {
        CHS_LOG(3, LOGID_EXPORT, "Refuse the file (%s): not a plain file below %s.", systemPath.c_str(),
                DATA_FILE_SOURCE_ROOT);
        return -1;
    }
    std::string real = platform::RealPath(systemPath);
    // The directories on the way may be links; where they lead must still be
    // the coffer tree. The file itself must not be one.
    std::string resolved = Resolved(real);
    if (resolved.empty()) {
        CHS_LOG(3, LOGID_EXPORT, "Refuse the file (%s): it cannot be resolved, errno:%d.", systemPath.c_str(),
                errno);
        return -1;
    }
    if (!InsideSourceRoot(resolved)) {
        CHS_LOG(3, LOGID_EXPORT, "Refuse the file (%s): it resolves outside %s.", systemPath.c_str(),
                DATA_FILE_SOURCE_ROOT);
        return -1;
    }
    int fd = open(real.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        CHS_LOG(3, LOGID_EXPORT, "Refuse the file (%s): not a regular file, errno:%d.", systemPath.c_str(),
                errno);
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    size = static_cast<uint64_t>(st.st_size);
    return fd;
}

int32_t CopyToNewFile(int sourceFd, uint64_t size, const std::string& realTarget) {
    int out = open(realTarget.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
    if (out < 0) {
        CHS_LOG(3, LOGID_EXPORT, "Create (%s) failed, errno:%d.", realTarget.c_str(), errno);
        return -1;
    }
    char buffer[kCopyChunk];
    uint64_t left = size;
    bool ok = true;
    // A source that grows while it is read ends at the size it had: the copy
    // is bounded by what was checked.
    while (left > 0) {
        ssize_t got = read(sourceFd, buffer, left < sizeof(buffer) ? static_cast<size_t>(left) : sizeof(buffer));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            ok = false;
            break;
        }
        if (got == 0) {
            break;  // it shrank; what was there is copied
        }
        if (!WriteAll(out, buffer, static_cast<size_t>(got))) {
            ok = false;
            break;
        }
        left -= static_cast<uint64_t>(got);
    }
    if (close(out) != 0) {
        ok = false;
    }
    if (!ok) {
        CHS_LOG(3, LOGID_EXPORT, "Copy into (%s) failed, errno:%d.", realTarget.c_str(), errno);
        (void)unlink(realTarget.c_str());
        return -1;
    }
    return 0;
}

int32_t PublishDataFile(const std::string& realStaging, const std::string& realFinal) {
    // link() refuses an existing name, so the file of another part (or one
    // of the same name copied earlier in this export) is never replaced.
    int ret = link(realStaging.c_str(), realFinal.c_str());
    int err = errno;
    (void)unlink(realStaging.c_str());
    if (ret != 0) {
        CHS_LOG(3, LOGID_EXPORT, "Put (%s) in place failed, errno:%d.", realFinal.c_str(), err);
        return -1;
    }
    return 0;
}

bool RegularFileSizeNoFollow(const std::string& realPath, uint64_t& size) {
    struct stat st {};
    if (lstat(realPath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool IsCurrentExport(uint32_t generation) { return g_uiExportGeneration.load() == generation; }

void SettleDataBlock(tagCOLLECOR_EXPORT_DATA_S& block, uint32_t generation, uint32_t status) {
    {
        ExportCfgLock lock(ExportCfgMutex());
        if (!IsCurrentExport(generation)) {
            return;
        }
        block.uiStatus = status;
    }
    NotifyGatherProgress();
}
