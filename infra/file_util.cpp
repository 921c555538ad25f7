#include "infra/file_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "infra/chs_log.h"
#include "infra/error_code_desc.h"
#include "infra/exec_cmd.h"
#include "infra/string_util.h"

namespace {

constexpr size_t kCopyChunk = 16 * 1024;  // on the stack of any daemon thread
constexpr mode_t kNewFileMode = 0666;     // as a stream would create it; the umask narrows it

// Owns one descriptor for the length of a function.
class Fd {
public:
    Fd(const std::string& path, int flags) : m_fd(open(path.c_str(), flags | O_CLOEXEC, kNewFileMode)) {}
    ~Fd() {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    bool ok() const { return m_fd >= 0; }
    int get() const { return m_fd; }

private:
    int m_fd;
};

bool ReadAt(int fd, char* buffer, size_t size, off_t offset) {
    while (size > 0) {
        ssize_t got = pread(fd, buffer, size, offset);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;  // an error, or the file shrank under us
        }
        buffer += got;
        size -= static_cast<size_t>(got);
        offset += got;
    }
    return true;
}

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t put = write(fd, data, size);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return false;
        }
        data += put;
        size -= static_cast<size_t>(put);
    }
    return true;
}

bool FileLength(int fd, off_t& length) {
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        return false;
    }
    length = st.st_size;
    return true;
}

// Opens `path` and checks that it holds at least `size` bytes; the offset of
// the tail goes to `tailAt`.
// Reads the last `size` bytes of the open file into `buffer`; `tailAt` gets
// where they start.
bool ReadTail(const std::string& path, Fd& fd, char* buffer, unsigned long size, off_t& tailAt) {
    if (buffer == nullptr) {
        return false;
    }
    if (!fd.ok()) {
        CHS_LOG_PRINT(3, LOGID_INFRA, "Open file ", path, " failed: ", sysError(0));
        return false;
    }
    off_t length = 0;
    if (!FileLength(fd.get(), length) || static_cast<unsigned long long>(length) < size) {
        CHS_LOG_PRINT(3, LOGID_INFRA, "File ", path, " is shorter than ", size, " bytes.");
        return false;
    }
    tailAt = length - static_cast<off_t>(size);
    if (!ReadAt(fd.get(), buffer, size, tailAt)) {
        CHS_LOG_PRINT(3, LOGID_INFRA, "Read the tail of ", path, " failed: ", sysError(0));
        return false;
    }
    return true;
}

// mv would read a leading '-' as an option even inside quotes.
std::string NotAnOption(const std::string& path) {
    return !path.empty() && path[0] == '-' ? "./" + path : path;
}

}  // namespace

std::string baseName(const std::string& path) {
    size_t pos = path.find_last_of("/\\");
    return pos == std::string::npos ? path : path.substr(pos + 1);
}

std::string dirName(const std::string& path) {
    size_t pos = path.rfind('/');
    return pos == std::string::npos ? std::string() : path.substr(0, pos + 1);
}

std::string getProcessFileFullPath() {
    char buffer[CHS_PROC_PATH_BUF];
    ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer));
    if (length <= 0 || static_cast<size_t>(length) >= sizeof(buffer)) {
        return "";
    }
    return std::string(buffer, static_cast<size_t>(length));
}

unsigned int getFileSize(const std::string& path, unsigned int& size) {
    Fd fd(path, O_RDONLY | O_NONBLOCK);
    struct stat st {};
    if (!fd.ok() || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return CHS_FILE_ERR;
    }
    if (static_cast<unsigned long long>(st.st_size) > 0xFFFFFFFFull) {
        CHS_LOG_PRINT(3, LOGID_INFRA, "File ", path,
                      " is too large for a 32-bit size: ", static_cast<long long>(st.st_size), " bytes.");
        return CHS_FILE_ERR;
    }
    size = static_cast<unsigned int>(st.st_size);
    return 0;
}

bool isFileExist(const std::string& path) {
    // Non-blocking so that a FIFO cannot hold the caller.
    return Fd(path, O_RDONLY | O_NONBLOCK).ok();
}

int deleteFile(const std::string& path) { return isFileExist(path) ? remove(path.c_str()) : 0; }

unsigned int copyFile(const std::string& source, const std::string& targetDirectory) {
    std::string target = targetDirectory + baseName(source);
    Fd in(source, O_RDONLY | O_NONBLOCK);
    if (!in.ok()) {
        CHS_LOG_PRINT(3, LOGID_INFRA, "Open file ", source, " failed: ", sysError(0));
        return CHS_FILE_ERR;
    }
    // Opening the target truncates it: when it is the source, that would lose the data.
    struct stat from {};
    struct stat to {};
    if (fstat(in.get(), &from) == 0 && stat(target.c_str(), &to) == 0 && from.st_dev == to.st_dev &&
        from.st_ino == to.st_ino) {
        return 0;
    }
    Fd out(target, O_WRONLY | O_CREAT | O_TRUNC);
    if (!out.ok()) {
        CHS_LOG_PRINT(3, LOGID_INFRA, "Open file ", target, " failed: ", sysError(0));
        return CHS_FILE_ERR;
    }
    fcntl(in.get(), F_SETFL, fcntl(in.get(), F_GETFL) & ~O_NONBLOCK);
    char buffer[kCopyChunk];
    for (;;) {
        ssize_t got = read(in.get(), buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got == 0) {
            return 0;
        }
        if (got < 0 || !WriteAll(out.get(), buffer, static_cast<size_t>(got))) {
            CHS_LOG_PRINT(3, LOGID_INFRA, "Copy ", source, " to ", target, " failed: ", sysError(0));
            return CHS_FILE_ERR;
        }
    }
}

int32_t moveFile(const std::string& source, const std::string& target) {
    if (source.find('\0') != std::string::npos || target.find('\0') != std::string::npos) {
        CHS_LOG_PRINT(3, LOGID_INFRA, "Move refused: a path holds a NUL character.");
        return CHS_EXEC_ERR;
    }
    std::string cmd = "mv -f " + ShellQuote(NotAnOption(source)) + " " + ShellQuote(NotAnOption(target)) +
                      " 2>/dev/null 1>/dev/null";
    return chs_execCmdWithoutOutput(cmd, CHS_MOVE_FILE_TIMEOUT_MS);
}

bool ReadFile(const std::string& path, std::string& text) {
    Fd fd(path, O_RDONLY | O_NONBLOCK);
    if (!fd.ok()) {
        return false;
    }
    fcntl(fd.get(), F_SETFL, fcntl(fd.get(), F_GETFL) & ~O_NONBLOCK);
    std::string content;
    char buffer[kCopyChunk];
    for (;;) {
        ssize_t got = read(fd.get(), buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            CHS_LOG_PRINT(3, LOGID_INFRA, "Read file ", path, " failed: ", sysError(0));
            return false;
        }
        if (got == 0) {
            break;
        }
        content.append(buffer, static_cast<size_t>(got));
    }
    text.swap(content);
    return true;
}

bool WriteFile(const std::string& path, const std::string& text) {
    Fd fd(path, O_WRONLY | O_CREAT | O_TRUNC);
    if (!fd.ok()) {
        return false;
    }
    if (!WriteAll(fd.get(), text.data(), text.size())) {
        CHS_LOG_PRINT(3, LOGID_INFRA, "Write file ", path, " failed: ", sysError(0));
        return false;
    }
    return true;
}

unsigned int chs_ftruncate(const std::string& path, const unsigned long& length) {
    Fd fd(path, O_WRONLY | O_NONBLOCK);
    if (!fd.ok()) {
        CHS_LOG_PRINT(3, LOGID_INFRA, "Open file ", path, " failed: ", sysError(0));
        return CHS_FILE_ERR;
    }
    if (ftruncate(fd.get(), static_cast<off_t>(length)) != 0) {
        CHS_LOG(3, LOGID_INFRA, "Truncate file %s to %lu failed, errno %d.", path.c_str(), length, errno);
    }
    return 0;
}

unsigned int fPush(const std::string& path, const char* data, const unsigned long& size) {
    if (data == nullptr) {
        return CHS_FILE_ERR;
    }
    Fd fd(path, O_WRONLY | O_CREAT | O_APPEND);
    if (!fd.ok()) {
        CHS_LOG_PRINT(3, LOGID_INFRA, "Open file ", path, " failed: ", sysError(0));
        return CHS_FILE_ERR;
    }
    if (!WriteAll(fd.get(), data, size)) {
        CHS_LOG_PRINT(3, LOGID_INFRA, "Append to file ", path, " failed: ", sysError(0));
        return CHS_FILE_ERR;
    }
    return 0;
}

unsigned int fPop(const std::string& path, char* buffer, const unsigned long& size) {
    Fd fd(path, O_RDWR | O_NONBLOCK);
    off_t tailAt = 0;
    if (!ReadTail(path, fd, buffer, size, tailAt)) {
        return CHS_FILE_ERR;
    }
    // A record that stayed in the file after being handed out would be popped twice.
    if (ftruncate(fd.get(), tailAt) != 0) {
        CHS_LOG(3, LOGID_INFRA, "Truncate file %s to %lld failed, errno %d.", path.c_str(),
                static_cast<long long>(tailAt), errno);
        return CHS_FILE_ERR;
    }
    return 0;
}

unsigned int fReadTail(const std::string& path, char* buffer, const unsigned long& size) {
    Fd fd(path, O_RDONLY | O_NONBLOCK);
    off_t tailAt = 0;
    return ReadTail(path, fd, buffer, size, tailAt) ? 0 : CHS_FILE_ERR;
}
