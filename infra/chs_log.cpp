#include "infra/chs_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "platform/dplog.h"

namespace {
std::atomic<unsigned int> g_moduleId{0};

const char* BaseNameOf(const char* path) {
    if (path == nullptr) {
        return "";
    }
    const char* base = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') {
            base = p + 1;
        }
    }
    return base;
}
}  // namespace

void SetModuleID(unsigned int module) { g_moduleId.store(module); }

unsigned int GetModuleID() { return g_moduleId.load(); }

unsigned int mapChsLogLevel(unsigned int level) {
    switch (level) {
        case 0: return 7;
        case 1: return 6;
        case 2: return 4;
        case 3: return 3;
        default: return 7;
    }
}

void LogSetLevel(unsigned int level) { dpax_log_level_set(GetModuleID(), mapChsLogLevel(level)); }

bool LogNeedPrint(unsigned int level) {
    return mapChsLogLevel(level) <= (dpax_log_level_get(GetModuleID()) & 0xFF);
}

bool chsLog(unsigned int level, unsigned int logId, const char* func, unsigned int line, const char* fmt, ...) {
    if (!LogNeedPrint(level)) {
        return false;
    }
    va_list args;
    va_start(args, fmt);
    bool written = chsLogHelper(level, logId, func, line, fmt, args);
    va_end(args);
    return written;
}

bool chsLogHelper(unsigned int level, unsigned int logId, const char* func, unsigned int line, const char* fmt,
                  va_list args) {
    if (fmt == nullptr) {
        return false;
    }
    char buffer[CHS_LOG_MAX_LEN + 1];
    int length = vsnprintf(buffer, sizeof(buffer), fmt, args);
    // A message that does not fit is dropped whole rather than written cut.
    if (length < 0 || static_cast<unsigned int>(length) > CHS_LOG_MAX_LEN) {
        return false;
    }
    buffer[CHS_LOG_MAX_LEN] = '\0';
    return logPrint(level, logId, func, line, std::string(buffer, static_cast<size_t>(length)));
}

bool logPrint(unsigned int level, unsigned int logId, const char* func, unsigned int line, const std::string& msg) {
    unsigned int module = msg.compare(0, 5, "[OMM]") == 0 ? 0 : GetModuleID();
    dplog_standard(module, mapChsLogLevel(level), BaseNameOf(func), line, logId, "%s", msg.c_str());
    return true;
}

std::string GetLogCurTime() {
    time_t now = time(nullptr);
    struct tm local {};
    if (localtime_r(&now, &local) == nullptr) {
        return "";
    }
    char text[32];
    size_t length = strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &local);
    return std::string(text, length);
}

void chsLogCloseStdOut() {
    if (dpax_exception_init(0, 0) != 0) {
        CHS_LOG(1, LOGID_INFRA, "Register signal failed.");
        return;
    }
    int fd = open("/dev/null", O_RDWR | O_CREAT | O_APPEND, 0600);
    if (fd < 0) {
        return;
    }
    CHS_LOG(1, LOGID_INFRA, "Close stdout out, result:%d.", dup2(fd, STDOUT_FILENO));
    CHS_LOG(1, LOGID_INFRA, "Close stderr out, result:%d.", dup2(fd, STDERR_FILENO));
    close(fd);
}

namespace chs_log_detail {

void AppendDouble(std::string& out, double value) {
    char text[64];
    int length = snprintf(text, sizeof(text), "%g", value);
    if (length > 0) {
        out.append(text, static_cast<size_t>(length) < sizeof(text) ? static_cast<size_t>(length) : sizeof(text) - 1);
    }
}

void AppendPointer(std::string& out, const void* pointer) {
    char text[32];
    int length = snprintf(text, sizeof(text), "%p", pointer);
    if (length > 0) {
        out.append(text, static_cast<size_t>(length));
    }
}

uint64_t NowSeconds() { return static_cast<uint64_t>(time(nullptr)); }

}  // namespace chs_log_detail
