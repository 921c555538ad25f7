#include "infra/log_rate_limit.h"

#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>

#include "infra/chs_log.h"
#include "platform/dplog.h"

namespace log_rate_limit {
namespace {

std::mutex g_mutex;
// Never destroyed: other threads may still log while the exit handlers run.
std::map<unsigned int, LogItem>& g_items = *new std::map<unsigned int, LogItem>();
std::atomic<NowFn> g_now{nullptr};

time_t Now() {
    NowFn now = g_now.load();
    return now != nullptr ? now() : time(nullptr);
}

const char* LevelName(unsigned int level) {
    static const char* const names[] = {"DEBUG", "INFO", "WARN", "ERROR", "NOTICE"};
    return level <= 4 ? names[level] : "";
}

int SyslogPriority(unsigned int level) {
    static const int priorities[] = {7, 6, 4, 3, 1};
    return priorities[level];
}

std::string BaseName(const std::string& path) {
    size_t pos = path.find_last_of("/\\");
    return pos == std::string::npos ? path : path.substr(pos + 1);
}

std::string ProcessBaseName() {
    char path[510];
    ssize_t length = readlink("/proc/self/exe", path, sizeof(path));
    if (length <= 0 || static_cast<size_t>(length) >= sizeof(path)) {
        return "";
    }
    return BaseName(std::string(path, static_cast<size_t>(length)));
}

}  // namespace

bool RateCheck(unsigned int level, unsigned int logId, unsigned int& dropped) {
    if (level == 0 || (dpax_log_level_get(GetModuleID()) & 0xFF) == 7) {
        return true;
    }
    uint32_t minute = static_cast<uint32_t>(Now() / 60);
    uint32_t hour = minute / 60;

    std::lock_guard<std::mutex> lock(g_mutex);
    LogItem& item = g_items[logId];
    uint32_t storedHour = item.uiMinute / 60;
    if (item.uiMinute != minute) {
        item.uiMinute = minute;
        item.ucMinuteCount = 1;
    } else if (item.ucMinuteCount + 1u > kMaxPerMinute) {
        ++item.usDropedCount;
        dropped = item.usDropedCount;
        return false;
    } else {
        ++item.ucMinuteCount;
    }
    if (storedHour != hour) {
        item.ucHourCount = 1;
        return true;
    }
    if (item.ucHourCount + 1u > kMaxPerHour) {
        ++item.usDropedCount;
        --item.ucMinuteCount;
        dropped = item.usDropedCount;
        return false;
    }
    ++item.ucHourCount;
    return true;
}

unsigned int ResetDropedNum(unsigned int logId) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_items.find(logId);
    if (it == g_items.end()) {
        return 0;
    }
    unsigned int count = it->second.usDropedCount;
    it->second.usDropedCount = 0;
    return count;
}

unsigned int ClearLogID() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_items.size() <= kMaxItems) {
        return 0;
    }
    unsigned int count = static_cast<unsigned int>(g_items.size());
    g_items.clear();
    return count;
}

bool LogToSyslog(unsigned int level, unsigned int logId, const char* func, unsigned int line,
                 const std::string& msg) {
    if (level > 4) {
        return false;
    }
    std::string function = BaseName(func != nullptr ? func : "");
    struct timeval tv {};
    gettimeofday(&tv, nullptr);
    uint64_t nowMs = static_cast<uint64_t>(tv.tv_sec) * 1000u + static_cast<uint64_t>(tv.tv_usec) / 1000u;
    unsigned int now = static_cast<unsigned int>(nowMs & 0xFFFFFFFFu);
    std::string process = ProcessBaseName();
    unsigned int pid = static_cast<unsigned int>(getpid());

    unsigned int dropped = 0;
    if (RateCheck(level, logId, dropped)) {
        syslog(SyslogPriority(level), "[%u][%05x][%s][%s][%s][%s:%s,%u][%s,pid:%u]", now, logId, LevelName(level),
               msg.c_str(), process.c_str(), function.c_str(), "", line, process.c_str(), pid);
        return true;
    }
    if (dropped > kDropReportAfter) {
        unsigned int count = ResetDropedNum(logId);
        syslog(SyslogPriority(level), "[%u][%05x][%s][Droped log num %u,  %s][%s][%s:%s,%u][%s,pid:%u]", now,
               logId, LevelName(level), count, msg.c_str(), process.c_str(), function.c_str(), "", line,
               process.c_str(), pid);
    }
    return false;
}

void SetTimeSource(NowFn now) { g_now.store(now); }

size_t ItemCount() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_items.size();
}

}  // namespace log_rate_limit

void CheckLogIdNums() {
    static std::atomic<unsigned int> calls{0};
    if (calls.fetch_add(1) + 1 > 10) {
        calls.store(0);
        unsigned int cleared = log_rate_limit::ClearLogID();
        if (cleared != 0) {
            CHS_LOG(1, LOGID_INFRA, "Clear log id number is %u.", cleared);
        }
    }
}
