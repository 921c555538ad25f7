#include "platform/dplog.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>

namespace platform {
namespace {

constexpr unsigned int kMaxModule = 65535;
constexpr unsigned char kUnset = 0xFF;
constexpr size_t kMaxPending = 64 * 1024;

std::atomic<unsigned char> g_levels[kMaxModule + 1];
std::atomic<unsigned int> g_defaultLevel{kDefaultLogLevel};

struct LogFile {
    std::mutex mutex;
    int fd = -1;
    // Lines written before the file is open (the process is still attaching
    // to its cluster) wait here and go first into the file once it opens.
    std::string pending;
    std::string path;
    size_t size = 0;
    size_t maxBytes = 8u << 20;
    unsigned int keep = 3;
};

// Seconds east of UTC, worked out where localtime_r may run (start-up, log
// open and rotation) for the signal path, which may not call it.
long LocalUtcOffset() {
    time_t now = time(nullptr);
    struct tm local {};
    return localtime_r(&now, &local) != nullptr ? local.tm_gmtoff : 0;
}
std::atomic<long> g_utcOffset{LocalUtcOffset()};

// The signal path cannot take the file mutex, so it writes through its own
// descriptor. A rotation points that descriptor at the new file with dup3,
// which never leaves it closed or free for another open to reuse.
std::atomic<int> g_signalFd{-1};

// Caller holds the file mutex.
void ShareWithSignalPath(int fd) {
    g_utcOffset.store(LocalUtcOffset());
    int current = g_signalFd.load();
    if (current >= 0) {
        dup3(fd, current, O_CLOEXEC);
    } else {
        g_signalFd.store(fcntl(fd, F_DUPFD_CLOEXEC, 0));
    }
}

LogFile& File() {
    static LogFile* file = new LogFile();  // never destroyed: threads may log during exit
    return *file;
}

struct LevelTableInit {
    LevelTableInit() {
        for (auto& level : g_levels) {
            level.store(kUnset, std::memory_order_relaxed);
        }
    }
} g_levelTableInit;

const char* LevelName(unsigned int level) {
    static const char* const names[] = {"EMERG", "ALERT", "CRIT", "ERROR", "WARN", "NOTICE", "INFO", "DEBUG"};
    return level < 8 ? names[level] : "DEBUG";
}

void MakeParentDirs(const std::string& path) {
    for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
        std::string dir = path.substr(0, pos);
        if (mkdir(dir.c_str(), 0750) != 0 && errno != EEXIST) {
            return;
        }
    }
}

// Caller holds the file mutex.
void Rotate(LogFile& file) {
    if (file.fd >= 0) {
        close(file.fd);
        file.fd = -1;
    }
    for (unsigned int i = file.keep; i > 1; --i) {
        std::string from = file.path + "." + std::to_string(i - 1);
        std::string to = file.path + "." + std::to_string(i);
        rename(from.c_str(), to.c_str());
    }
    if (file.keep > 0) {
        rename(file.path.c_str(), (file.path + ".1").c_str());
    } else {
        unlink(file.path.c_str());
    }
    file.fd = open(file.path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
    file.size = 0;
    if (file.fd >= 0) {
        ShareWithSignalPath(file.fd);
    }
}

}  // namespace

bool LogOpen(const std::string& path, size_t maxBytes, unsigned int keep) {
    LogFile& file = File();
    std::lock_guard<std::mutex> lock(file.mutex);
    MakeParentDirs(path);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
    if (fd < 0) {
        return false;
    }
    if (file.fd >= 0) {
        close(file.fd);
    }
    struct stat st {};
    file.size = fstat(fd, &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
    file.fd = fd;
    ShareWithSignalPath(fd);
    if (!file.pending.empty()) {
        ssize_t written = write(fd, file.pending.data(), file.pending.size());
        file.size += written > 0 ? static_cast<size_t>(written) : 0;
        file.pending.clear();
    }
    file.path = path;
    file.maxBytes = maxBytes;
    file.keep = keep;
    return true;
}

void LogClose() {
    LogFile& file = File();
    std::lock_guard<std::mutex> lock(file.mutex);
    if (file.fd >= 0) {
        close(file.fd);
        file.fd = -1;
    }
    // A handler that loaded the descriptor just before this may still write to
    // it once closed; closing happens at exit, where that is accepted.
    int signalFd = g_signalFd.exchange(-1);
    if (signalFd >= 0) {
        close(signalFd);
    }
    file.path.clear();
}

std::string LogPath() {
    LogFile& file = File();
    std::lock_guard<std::mutex> lock(file.mutex);
    return file.path;
}

void LogSetDefaultLevel(unsigned int level) { g_defaultLevel.store(level > 7 ? 7 : level); }

}  // namespace platform

using platform::File;
using platform::LogFile;

unsigned int dpax_log_level_get(unsigned int module) {
    if (module > platform::kMaxModule) {
        return platform::g_defaultLevel.load();
    }
    unsigned char level = platform::g_levels[module].load(std::memory_order_relaxed);
    return level == platform::kUnset ? platform::g_defaultLevel.load() : level;
}

int dpax_log_level_set(unsigned int module, unsigned int level) {
    if (module > platform::kMaxModule || level > 7) {
        return -1;
    }
    platform::g_levels[module].store(static_cast<unsigned char>(level), std::memory_order_relaxed);
    return 0;
}

void dplog_standard(unsigned int module, unsigned int level, const char* func, unsigned int line,
                    unsigned int logId, const char* fmt, ...) {
    if (level > (dpax_log_level_get(module) & 0xFF)) {
        return;
    }
    if (fmt == nullptr) {
        return;
    }
    char message[4096];
    va_list args;
    va_start(args, fmt);
    int length = vsnprintf(message, sizeof(message), fmt, args);
    va_end(args);
    if (length < 0) {
        return;
    }

    struct timeval now {};
    gettimeofday(&now, nullptr);
    struct tm local {};
    localtime_r(&now.tv_sec, &local);
    char stamp[32];
    strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &local);

    std::string text;
    text.reserve(static_cast<size_t>(length) + 96);
    char head[160];
    snprintf(head, sizeof(head), "%s.%06ld [%u][%s][%ld][%s:%u][0x%05x] ", stamp, static_cast<long>(now.tv_usec),
             module, platform::LevelName(level), static_cast<long>(syscall(SYS_gettid)), func ? func : "", line,
             logId);
    text += head;
    text.append(message, static_cast<size_t>(length) < sizeof(message) ? static_cast<size_t>(length)
                                                                          : sizeof(message) - 1);
    text += '\n';

    LogFile& file = File();
    std::lock_guard<std::mutex> lock(file.mutex);
    if (file.fd < 0) {
        if (file.pending.size() + text.size() <= platform::kMaxPending) {
            file.pending += text;
        }
        return;
    }
    ssize_t written = write(file.fd, text.data(), text.size());
    if (written > 0) {
        file.size += static_cast<size_t>(written);
        if (file.size >= file.maxBytes) {
            platform::Rotate(file);
        }
    }
}

namespace {

// Formats into a caller's buffer without allocating; text past the end is cut.
struct SafeLine {
    char* data;
    size_t capacity;
    size_t length = 0;

    void Char(char c) {
        if (length < capacity) {
            data[length++] = c;
        }
    }
    void Text(const char* text) {
        for (; text != nullptr && *text != '\0'; ++text) {
            Char(*text);
        }
    }
    // At least `width` digits, zero-filled, as printf's %0*llu and %0*llx.
    void Number(unsigned long long value, unsigned int base, int width) {
        static const char digits[] = "0123456789abcdef";
        char reversed[24];
        int count = 0;
        do {
            reversed[count++] = digits[value % base];
            value /= base;
        } while (value != 0);
        for (; width > count; --width) {
            Char('0');
        }
        while (count > 0) {
            Char(reversed[--count]);
        }
    }
    void Signed(long long value) {
        if (value < 0) {
            Char('-');
            Number(0ULL - static_cast<unsigned long long>(value), 10, 1);
        } else {
            Number(static_cast<unsigned long long>(value), 10, 1);
        }
    }
};

// "YYYY-MM-DD hh:mm:ss" of a count of local seconds since the epoch, by the
// days-to-civil conversion of the proleptic Gregorian calendar.
void AppendStamp(SafeLine& out, long long seconds) {
    long long days = seconds / 86400;
    long long rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    long long z = days + 719468;
    long long era = (z >= 0 ? z : z - 146096) / 146097;
    long long dayOfEra = z - era * 146097;
    long long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    long long monthIndex = (5 * dayOfYear + 2) / 153;
    long long day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    long long month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    long long year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    out.Signed(year);
    out.Char('-');
    out.Number(static_cast<unsigned long long>(month), 10, 2);
    out.Char('-');
    out.Number(static_cast<unsigned long long>(day), 10, 2);
    out.Char(' ');
    out.Number(static_cast<unsigned long long>(rest / 3600), 10, 2);
    out.Char(':');
    out.Number(static_cast<unsigned long long>(rest / 60 % 60), 10, 2);
    out.Char(':');
    out.Number(static_cast<unsigned long long>(rest % 60), 10, 2);
}

}  // namespace

void dplog_signal_safe(unsigned int module, unsigned int level, const char* func, unsigned int line,
                       unsigned int logId, const char* text) {
    if (level > (dpax_log_level_get(module) & 0xFF) || text == nullptr) {
        return;
    }
    int savedErrno = errno;  // a handler must not change the errno of the code it interrupted
    struct timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    char buffer[2048];
    SafeLine out{buffer, sizeof(buffer) - 1};  // the last byte is kept for the newline
    AppendStamp(out, static_cast<long long>(now.tv_sec) + platform::g_utcOffset.load());
    out.Char('.');
    out.Number(static_cast<unsigned long long>(now.tv_nsec / 1000), 10, 6);
    out.Text(" [");
    out.Number(module, 10, 1);
    out.Text("][");
    out.Text(platform::LevelName(level));
    out.Text("][");
    out.Signed(static_cast<long long>(syscall(SYS_gettid)));
    out.Text("][");
    out.Text(func);
    out.Char(':');
    out.Number(line, 10, 1);
    out.Text("][0x");
    out.Number(logId, 16, 5);
    out.Text("] ");
    out.Text(text);
    buffer[out.length++] = '\n';
    int fd = platform::g_signalFd.load();
    ssize_t written = write(fd >= 0 ? fd : STDERR_FILENO, buffer, out.length);
    (void)written;
    errno = savedErrno;
}

int dpax_exception_init(int /*flags*/, int /*reserved*/) {
    // A handler for SIGSEGV caused by a stack overflow has no stack to run on
    // unless the thread has an alternate one.
    static thread_local char* altStack = nullptr;
    if (altStack != nullptr) {
        return 0;
    }
    size_t size = 64 * 1024;
    altStack = static_cast<char*>(malloc(size));
    if (altStack == nullptr) {
        return -1;
    }
    stack_t ss {};
    ss.ss_sp = altStack;
    ss.ss_size = size;
    ss.ss_flags = 0;
    if (sigaltstack(&ss, nullptr) != 0) {
        free(altStack);
        altStack = nullptr;
        return -1;
    }
    return 0;
}
