#include "infra/sys_util.h"

#include <sys/statvfs.h>

#include <cstdio>
#include <optional>

#include "infra/chs_log.h"
#include "infra/error_code_desc.h"
#include "platform/platform_profile.h"
#include "platform/platform_state.h"

namespace {

constexpr unsigned long long kBytesPerMB = 1024ull * 1024ull;
constexpr unsigned long long kKBPerMB = 1024ull;
constexpr char kMemInfoPath[] = "/proc/meminfo";

// An override wins over the real figure; a negative one counts as nothing free.
std::optional<unsigned long long> Override(const char* name) {
    std::optional<long long> value = platform::state::GetNumber(name);
    if (!value) {
        return std::nullopt;
    }
    return *value < 0 ? 0ull : static_cast<unsigned long long>(*value);
}

std::optional<unsigned long long> FreeMemoryMB() {
    if (auto forced = Override("free_mem_mb")) {
        return forced;
    }
    FILE* file = fopen(kMemInfoPath, "re");
    if (file == nullptr) {
        CHS_LOG_PRINT(3, LOGID_INFRA, "Open ", kMemInfoPath, " failed: ", sysError(0));
        return std::nullopt;
    }
    std::optional<unsigned long long> freeMB;
    char line[256];
    unsigned long long kb = 0;
    while (fgets(line, sizeof(line), file) != nullptr) {
        if (sscanf(line, "MemFree: %llu kB", &kb) == 1) {
            freeMB = kb / kKBPerMB;
            break;
        }
    }
    fclose(file);
    if (!freeMB) {
        CHS_LOG_PRINT(3, LOGID_INFRA, "No MemFree line in ", kMemInfoPath, ".");
    }
    return freeMB;
}

std::optional<unsigned long long> FreeDiskMB(const std::string& mountPath) {
    if (auto forced = Override("free_disk_mb")) {
        return forced;
    }
    std::string realPath = platform::RealPath(mountPath);
    struct statvfs st {};
    if (statvfs(realPath.c_str(), &st) != 0) {
        CHS_LOG_PRINT(3, LOGID_INFRA, "statvfs ", realPath, " failed: ", sysError(0));
        return std::nullopt;
    }
    return static_cast<unsigned long long>(st.f_bavail) * st.f_frsize / kBytesPerMB;
}

}  // namespace

unsigned int CHS_CheckSysAvailMem(unsigned int minimumMB) {
    std::optional<unsigned long long> freeMB = FreeMemoryMB();
    if (!freeMB) {
        return CHS_CHECK_ERR;
    }
    if (*freeMB < minimumMB) {
        CHS_LOG_PRINT(2, LOGID_INFRA, "Free memory ", *freeMB, " MB is below the ", minimumMB, " MB needed.");
        return CHS_CHECK_ERR;
    }
    return 0;
}

unsigned int CHS_CheckDiskCofferMem(const std::string& mountPath, unsigned int minimumMB) {
    if (mountPath.empty()) {
        CHS_LOG_PRINT(3, LOGID_INFRA, "Disk check without a path.");
        return CHS_CHECK_ERR;
    }
    std::optional<unsigned long long> freeMB = FreeDiskMB(mountPath);
    if (!freeMB) {
        return CHS_CHECK_ERR;
    }
    if (*freeMB < minimumMB) {
        CHS_LOG_PRINT(2, LOGID_INFRA, "Free space ", *freeMB, " MB of ", mountPath, " is below the ",
                      minimumMB, " MB needed.");
        return CHS_CHECK_ERR;
    }
    return 0;
}

bool CHS_CheckSpace(unsigned int memoryMB, unsigned int diskMB, const std::string& mountPath) {
    return CHS_CheckDiskCofferMem(mountPath, diskMB) == 0 && CHS_CheckSysAvailMem(memoryMB) == 0;
}
