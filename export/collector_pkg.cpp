#include "export/collector_pkg.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <optional>

#include "core/collector_dir.h"
#include "core/omlib.h"
#include "export/diagnose_export.h"
#include "infra/chs_log.h"
#include "infra/string_util.h"
#include "infra/sys_util.h"
#include "msg/chs_wire.h"
#include "platform/platform_profile.h"
#include "platform/platform_state.h"

namespace {

constexpr uint64_t kBytesPerMB = 1024ull * 1024ull;

using DirPtr = std::unique_ptr<DIR, int (*)(DIR*)>;

DirPtr OpenDir(const std::string& realDir) { return DirPtr(opendir(realDir.c_str()), closedir); }

// The regular files matching `pattern` directly in `realDir` (what the
// shell's glob hands tar there): their number and total size. false when the
// directory cannot be read.
bool ScanMatching(const std::string& realDir, const std::string& pattern, uint32_t& count, uint64_t& bytes) {
    count = 0;
    bytes = 0;
    DirPtr dir = OpenDir(realDir);
    if (!dir) {
        return false;
    }
    while (const dirent* entry = readdir(dir.get())) {
        struct stat st {};
        if (fnmatch(pattern.c_str(), entry->d_name, FNM_PERIOD) != 0 ||
            fstatat(dirfd(dir.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) {
            continue;
        }
        ++count;
        bytes += static_cast<uint64_t>(st.st_size);
    }
    return true;
}

// A glob of file-name characters only: it travels to the shell unquoted so
// that the shell expands it.
bool IsPlainGlob(const std::string& pattern) {
    if (pattern.empty()) {
        return false;
    }
    for (char c : pattern) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '*' ||
                     c == '.' || c == '_' || c == '-';
        if (!plain) {
            return false;
        }
    }
    return pattern[0] != '-';
}

// Removes the archives of earlier requests: the files (and links) directly
// in the export directory. Its subdirectories are not this request's: the
// diagnose export keeps its packages there.
void EmptyExportDir() {
    std::string real = platform::RealPath(CHS_PKG_EXPORT_DIR);
    DirPtr dir = OpenDir(real);
    if (!dir) {
        if (errno == ENOENT && MakeExportDirUsable(std::string(CHS_PKG_EXPORT_DIR) + "/") == 0) {
            return;
        }
        CHS_LOG(3, LOGID_EXPORT, "Open the export dir (%s) failed, errno:%d.", real.c_str(), errno);
        return;
    }
    while (const dirent* entry = readdir(dir.get())) {
        struct stat st {};
        std::string name = entry->d_name;
        if (name == "." || name == ".." ||
            fstatat(dirfd(dir.get()), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || S_ISDIR(st.st_mode)) {
            continue;
        }
        if (unlinkat(dirfd(dir.get()), entry->d_name, 0) != 0) {
            CHS_LOG(3, LOGID_EXPORT, "Delete (%s) in the export dir failed, errno:%d.", name.c_str(), errno);
        }
    }
}

std::string NodeDir() { return InfocollectorGetPath(INFO_COLLECTOR_PATH_NODE); }

}  // namespace

void RspPkgChsFileMsg(InnerMsg& request, int32_t result, const std::string& path) {
    CHS_LOG(1, LOGID_EXPORT, "Export result: ret(%d),path(%s).", static_cast<int>(result), path.c_str());
    try {
        MsgObject body;
        MsgRecord* record = new MsgRecord(chs_wire::OPCODE_PKG_COLLECTOR_FILE);
        body.append(record);
        record->appendInner(CTLVCell::NewInt32(chs_wire::TAG_RESULT, result));
        record->appendInner(CTLVCell::NewString(chs_wire::PKG_TAG_PATH, result == 0 ? path : std::string()));
        if (!request.PostAckMsg(body)) {
            CHS_LOG(3, LOGID_EXPORT, "Failed to post ack msg.");
        }
    } catch (...) {
        CHS_LOG(3, LOGID_EXPORT, "Something wrong with post ack msg.");
    }
}

void HandlePkgCollectorFile(InnerMsg& request) {
    int32_t result = CHS_PKG_FAILED;
    std::string archive;
    try {
        EmptyExportDir();
        if (IsDiskSpaceEnough(CHS_PKG_NEED_DISK_MB) != 0) {
            CHS_LOG(3, LOGID_EXPORT, "Failed to packaging node collected file because disk space is not enough.");
        } else if (AssemblyExportFileName(archive) == 0) {
            uint32_t count = InquireNodeChsFileCount();
            if (count == 0) {
                result = static_cast<int32_t>(chs_wire::PKG_NOTHING_TO_PACK);
                CHS_LOG(2, LOGID_EXPORT, "There is no file to package, ret(%d).", static_cast<int>(result));
            } else {
                int32_t ret = CompressChsFile(archive, NodeDir(), CHS_PKG_SOURCE_PATTERN);
                if (ret != 0) {
                    // Whatever tar left is not an archive anyone may fetch.
                    EmptyExportDir();
                    CHS_LOG(3, LOGID_EXPORT, "Failed to packaging node collected file,ret(%d).",
                            static_cast<int>(ret));
                } else {
                    result = 0;
                    CHS_LOG(1, LOGID_EXPORT, "Succeeded in packaging node collected file, file name(%s).",
                            archive.c_str());
                }
            }
        }
    } catch (...) {
        CHS_LOG(3, LOGID_EXPORT, "An exception occured during packaging node collected file.");
        result = CHS_PKG_FAILED;
    }
    RspPkgChsFileMsg(request, result, archive);
}

int32_t AssemblyExportFileName(std::string& name) {
    std::string controller;
    if (omlib::getControllerName(omlib::getLocalNidInUser(), controller) != 0) {
        CHS_LOG(3, LOGID_EXPORT, "Failed to get the controller name.");
        return -1;
    }
    if (controller.empty() || controller.find('/') != std::string::npos ||
        controller.find('\0') != std::string::npos) {
        CHS_LOG(3, LOGID_EXPORT, "The controller name (%s) cannot be part of a file name.", controller.c_str());
        return -1;
    }
    name = std::string(CHS_PKG_EXPORT_DIR) + "/" + CHS_PKG_NAME_PREFIX + controller + CHS_PKG_NAME_SUFFIX;
    return 0;
}

uint32_t InquireNodeChsFileCount() {
    uint32_t count = 0;
    uint64_t bytes = 0;
    std::string dir = NodeDir();
    if (!ScanMatching(platform::RealPath(dir), CHS_PKG_SOURCE_PATTERN, count, bytes)) {
        CHS_LOG(3, LOGID_EXPORT, "Failed to get the count of node chs file.");
        return 0;
    }
    CHS_LOG(0, LOGID_EXPORT, "Found %u node files of %llu bytes in (%s).", count,
            static_cast<unsigned long long>(bytes), dir.c_str());
    return count;
}

int32_t CompressChsFile(const std::string& archive, const std::string& sourceDir, const std::string& pattern) {
    if (!IsPlainGlob(pattern)) {
        CHS_LOG(3, LOGID_EXPORT, "The pattern (%s) is not a file name pattern.", pattern.c_str());
        return -1;
    }
    std::string realDir = platform::RealPath(sourceDir);
    uint32_t count = 0;
    uint64_t bytes = 0;
    (void)ScanMatching(realDir, pattern, count, bytes);
    // A fixed 6000 ms would cut off tar on a node with many files; gzip on a
    // controller core packs well over 10 MB a second, so 100 ms per MB of
    // input leaves room while a hung tar is still ended.
    uint64_t timeoutMs = CHS_PKG_TAR_BASE_MS + (bytes / kBytesPerMB + 1) * CHS_PKG_TAR_MS_PER_MB;
    if (timeoutMs > UINT32_MAX) {
        timeoutMs = UINT32_MAX;
    }
    // "&&": a directory that cannot be entered packs nothing. "--": no name
    // is read as an option.
    std::string cmd = "cd " + ShellQuote(realDir) + " && tar -zcvf " + ShellQuote(platform::RealPath(archive)) +
                      " -- " + pattern + " 1>/dev/null";
    return g_pfnExportExec(cmd, static_cast<uint32_t>(timeoutMs));
}

uint32_t IsDiskSpaceEnough(uint32_t needMB) {
    if (CHS_CheckDiskCofferMem(CHS_PKG_DISK_PATH, needMB) == 0) {
        return 0;
    }
    uint32_t freeMB = 0;
    if (GetDiskCofferMem(freeMB, CHS_PKG_DISK_PATH) == 0) {
        CHS_LOG(3, LOGID_EXPORT, "Disk free space is not enough,need(%d),free(%d).", static_cast<int>(needMB),
                static_cast<int>(freeMB));
    }
    return 0xFFFFFFFF;
}

int32_t GetDiskCofferMem(uint32_t& freeMB, const std::string& path) {
    if (path.empty()) {
        CHS_LOG(3, LOGID_EXPORT, "The input param is illegal.");
        return -1;
    }
    // The same figure the disk checks of infra/sys_util.h judge by: the
    // override when one is set, else the space available to the daemon.
    std::optional<long long> forced = platform::state::GetNumber("free_disk_mb");
    if (forced) {
        freeMB = *forced < 0 ? 0 : static_cast<uint32_t>(*forced > UINT32_MAX ? UINT32_MAX : *forced);
        return 0;
    }
    struct statvfs st {};
    if (statvfs(platform::RealPath(path).c_str(), &st) != 0) {
        CHS_LOG(3, LOGID_EXPORT, "Failed to get the disk free space size.");
        return -1;
    }
    uint64_t mb = static_cast<uint64_t>(st.f_bavail) * st.f_frsize / kBytesPerMB;
    freeMB = mb > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(mb);
    return 0;
}

int32_t CheckFileIsExist(const std::string& path) {
    struct stat st {};
    if (lstat(platform::RealPath(path).c_str(), &st) != 0) {
        CHS_LOG(3, LOGID_EXPORT, "File (%s) is not exists.", path.c_str());
        return -1;
    }
    return 0;
}

int32_t ModifyFilePermi(const std::string& path) {
    std::string quoted = ShellQuote(platform::RealPath(path));
    int32_t ret = g_pfnExportExec("chown " + ShellQuote(platform::GetProfile().strExportOwner) + " " + quoted,
                                  CHS_PKG_CMD_TIMEOUT_MS);
    if (ret == 0) {
        ret = g_pfnExportExec(std::string("chmod ") + CHS_PKG_FILE_MODE + " " + quoted, CHS_PKG_CMD_TIMEOUT_MS);
    }
    return ret;
}
