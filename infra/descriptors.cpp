#include "infra/descriptors.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>

namespace {

constexpr unsigned int kCloseRangeCloexec = 1u << 2;  // CLOSE_RANGE_CLOEXEC
constexpr int kFallbackLimit = 65536;

// close_range(2) when the kernel has it (Linux 5.9, CLOEXEC since 5.11).
bool CloseRange(unsigned int first, unsigned int flags) {
#ifdef SYS_close_range
    return syscall(SYS_close_range, first, ~0u, flags) == 0;
#else
    (void)first;
    (void)flags;
    return false;
#endif
}

int HighestDescriptorLimit() {
    struct rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > kFallbackLimit) {
        return kFallbackLimit;
    }
    return static_cast<int>(limit.rlim_cur);
}

}  // namespace

void MarkInheritedDescriptorsCloseOnExec() {
    if (CloseRange(3, kCloseRangeCloexec)) {
        return;
    }
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        for (int fd = 3, end = HighestDescriptorLimit(); fd < end; ++fd) {
            int flags = fcntl(fd, F_GETFD);
            if (flags >= 0) {
                fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
            }
        }
        return;
    }
    int own = dirfd(dir);
    while (struct dirent* entry = readdir(dir)) {
        char* end = nullptr;
        long fd = strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || fd <= 2 || fd == own) {
            continue;
        }
        int flags = fcntl(static_cast<int>(fd), F_GETFD);
        if (flags >= 0) {
            fcntl(static_cast<int>(fd), F_SETFD, flags | FD_CLOEXEC);
        }
    }
    closedir(dir);
}

void CloseDescriptorsFrom(int first) {
    if (first < 0) {
        first = 0;
    }
    if (CloseRange(static_cast<unsigned int>(first), 0)) {
        return;
    }
    for (int fd = first, end = HighestDescriptorLimit(); fd < end; ++fd) {
        close(fd);
    }
}
