// The rate-limited system-log sink: each log id gets at most 3 lines per
// calendar minute and 20 per calendar hour (counted from the epoch); a log id
// whose drops pass 1000 gets one report line with the count.
//
// Thread-safe: one mutex guards the table.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace log_rate_limit {

struct LogItem {
    uint32_t uiMinute = 0;       // minutes since the epoch of the last counted line
    uint8_t ucMinuteCount = 0;   // lines let through in that minute
    uint8_t ucHourCount = 0;     // lines let through in that minute's hour
    uint16_t usDropedCount = 0;  // lines dropped since the last drop report
};

constexpr uint32_t kMaxPerMinute = 3;
constexpr uint32_t kMaxPerHour = 20;
constexpr uint32_t kMaxItems = 4096;
constexpr uint32_t kDropReportAfter = 1000;

bool LogToSyslog(unsigned int level, unsigned int logId, const char* func, unsigned int line,
                 const std::string& msg);
bool RateCheck(unsigned int level, unsigned int logId, unsigned int& dropped);
unsigned int ResetDropedNum(unsigned int logId);
unsigned int ClearLogID();

// The wall clock the limiter reads; tests put a clock of their own in place.
using NowFn = time_t (*)();
void SetTimeSource(NowFn now);  // nullptr restores time()
size_t ItemCount();

}  // namespace log_rate_limit

void CheckLogIdNums();
