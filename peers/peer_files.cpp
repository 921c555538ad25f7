#include "peers/peer_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace chs_peers {
namespace {

std::string SysError(int err) { return strerror(err); }

}  // namespace

DirFd::~DirFd() {
    if (m_fd >= 0) {
        close(m_fd);
    }
}

DirFd& DirFd::operator=(DirFd&& other) noexcept {
    if (this != &other) {
        if (m_fd >= 0) {
            close(m_fd);
        }
        m_fd = other.Release();
    }
    return *this;
}

int DirFd::Release() {
    int fd = m_fd;
    m_fd = -1;
    return fd;
}

bool IsPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

DirFd MakeSubDir(int parent, const std::string& name, std::string& why) {
    if (!IsPlainName(name)) {
        why = "\"" + name + "\" is no directory name";
        return DirFd();
    }
    if (mkdirat(parent, name.c_str(), 0755) != 0 && errno != EEXIST) {
        why = name + ": " + SysError(errno);
        return DirFd();
    }
    int fd = openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        why = name + ": " + (err == ELOOP ? std::string("a symbolic link") : SysError(err));
        return DirFd();
    }
    return DirFd(fd);
}

DirFd OpenDirBelow(const std::string& root, const std::string& relative, bool create, std::string& why,
                   bool* missing) {
    if (missing != nullptr) {
        *missing = false;
    }
    DirFd dir(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.Valid()) {
        int err = errno;
        why = root + ": " + SysError(err);
        if (missing != nullptr) {
            *missing = err == ENOENT;
        }
        return DirFd();
    }
    std::string walked = root;
    for (const std::filesystem::path& part : std::filesystem::path(relative).relative_path()) {
        std::string name = part.string();
        if (name.empty()) {
            continue;  // a trailing '/'
        }
        walked += "/" + name;
        if (!IsPlainName(name)) {
            why = walked + " is not a plain path";
            return DirFd();
        }
        if (create) {
            dir = MakeSubDir(dir.Get(), name, why);
            if (!dir.Valid()) {
                why = walked + ": " + why;
                return DirFd();
            }
            continue;
        }
        int fd = openat(dir.Get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            int err = errno;
            if (missing != nullptr) {
                *missing = err == ENOENT;
            }
            why = walked + ": " + (err == ELOOP ? std::string("a symbolic link") : SysError(err));
            return DirFd();
        }
        dir = DirFd(fd);
    }
    return dir;
}

std::vector<std::string> RegularFiles(int dir, size_t limit, bool& more, size_t& skipped) {
    more = false;
    skipped = 0;
    std::vector<std::string> names;
    int fd = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* stream = fd < 0 ? nullptr : fdopendir(fd);
    if (stream == nullptr) {
        if (fd >= 0) {
            close(fd);
        }
        return names;
    }
    while (struct dirent* entry = readdir(stream)) {
        std::string name = entry->d_name;
        struct stat info {};
        if (!IsPlainName(name) || fstatat(dir, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
            S_ISDIR(info.st_mode)) {
            continue;
        }
        if (!S_ISREG(info.st_mode)) {
            ++skipped;
            continue;
        }
        if (names.size() >= limit) {
            more = true;
            break;
        }
        names.push_back(name);
    }
    closedir(stream);
    std::sort(names.begin(), names.end());
    return names;
}

CopyOutcome CopyFileTail(int fromDir, const std::string& name, int toDir, const std::string& toName,
                         uint64_t limit, uint64_t& copied, std::string& why) {
    copied = 0;
    // O_NONBLOCK: a FIFO put in place of a log must not hang the build.
    int in = openat(fromDir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (in < 0) {
        int err = errno;
        if (err == ENOENT) {
            return CopyOutcome::ABSENT;
        }
        why = name + ": " + (err == ELOOP ? std::string("a symbolic link") : SysError(err));
        return err == ELOOP ? CopyOutcome::SKIPPED : CopyOutcome::FAILED;
    }
    struct stat info {};
    if (fstat(in, &info) != 0 || !S_ISREG(info.st_mode)) {
        why = name + " is not a regular file";
        close(in);
        return CopyOutcome::SKIPPED;
    }
    uint64_t size = static_cast<uint64_t>(info.st_size);
    bool cut = size > limit;
    if (cut && lseek(in, static_cast<off_t>(size - limit), SEEK_SET) < 0) {
        why = name + ": " + SysError(errno);
        close(in);
        return CopyOutcome::FAILED;
    }
    int out = openat(toDir, toName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (out < 0) {
        why = toName + ": " + SysError(errno);
        close(in);
        return CopyOutcome::FAILED;
    }
    // A file that grows while it is copied is taken up to the limit only.
    uint64_t left = std::min(size, limit);
    char buffer[65536];
    bool ok = true;
    while (left > 0) {
        ssize_t got = read(in, buffer, static_cast<size_t>(std::min<uint64_t>(sizeof(buffer), left)));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            why = name + ": " + SysError(errno);
            ok = false;
            break;
        }
        if (got == 0) {
            break;  // shrunk meanwhile: what was there is copied
        }
        if (!WriteAll(out, buffer, static_cast<size_t>(got))) {
            why = toName + ": " + SysError(errno);
            ok = false;
            break;
        }
        copied += static_cast<uint64_t>(got);
        left -= static_cast<uint64_t>(got);
    }
    close(in);
    if (close(out) != 0 && ok) {
        why = toName + ": " + SysError(errno);
        ok = false;
    }
    if (!ok) {
        unlinkat(toDir, toName.c_str(), 0);
        return CopyOutcome::FAILED;
    }
    return cut ? CopyOutcome::CUT : CopyOutcome::COPIED;
}

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t written = write(fd, data, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        data += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

}  // namespace chs_peers
