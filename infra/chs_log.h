// The daemon's logging front doors. Every line goes through logPrint into the
// platform logging service under the daemon's module id.
//
// Levels: 0 debug, 1 information, 2 warning, 3 error (4 notice, system log only).
// All functions may be called from any thread.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

// Log ids are shared by many call sites; they key the system-log limiter.
enum ChsLogId : unsigned int {
    LOGID_CORE = 0x01000,
    LOGID_MSG = 0x02000,
    LOGID_INFRA = 0x03000,
    LOGID_COLLECTOR = 0x04000,
    LOGID_CONTROL = 0x05000,
    LOGID_EXPORT = 0x06000,
    LOGID_LOGEXPORT = 0x07000,
    LOGID_TRANSFER = 0x08000,
};

constexpr unsigned int CHS_LOG_MAX_LEN = 1024;

void SetModuleID(unsigned int module);
unsigned int GetModuleID();

unsigned int mapChsLogLevel(unsigned int level);
void LogSetLevel(unsigned int level);
bool LogNeedPrint(unsigned int level);

bool chsLog(unsigned int level, unsigned int logId, const char* func, unsigned int line, const char* fmt, ...)
    __attribute__((format(printf, 5, 6)));
bool chsLogHelper(unsigned int level, unsigned int logId, const char* func, unsigned int line, const char* fmt,
                  va_list args) __attribute__((format(printf, 5, 0)));
bool logPrint(unsigned int level, unsigned int logId, const char* func, unsigned int line, const std::string& msg);

std::string GetLogCurTime();
void chsLogCloseStdOut();

namespace chs_log_detail {
// The text each argument type gets from ordinary stream insertion, without
// pulling <sstream> into every file that logs.
inline void Append(std::string& out, const char* text) { out += text ? text : ""; }
inline void Append(std::string& out, char* text) { out += text ? text : ""; }
inline void Append(std::string& out, const std::string& text) { out += text; }
inline void Append(std::string& out, std::string_view text) { out += text; }
inline void Append(std::string& out, char c) { out += c; }
void AppendDouble(std::string& out, double value);
void AppendPointer(std::string& out, const void* pointer);
template <typename T>
void Append(std::string& out, const T& value) {
    if constexpr (std::is_same_v<T, bool>) {
        out += value ? '1' : '0';
    } else if constexpr (std::is_integral_v<T> || std::is_enum_v<T>) {
        if constexpr (std::is_enum_v<T>) {
            out += std::to_string(static_cast<std::underlying_type_t<T>>(value));
        } else {
            out += std::to_string(value);
        }
    } else if constexpr (std::is_floating_point_v<T>) {
        AppendDouble(out, static_cast<double>(value));
    } else if constexpr (std::is_pointer_v<T>) {
        AppendPointer(out, static_cast<const void*>(value));
    } else {
        static_assert(std::is_same_v<T, void>, "chsLogPrint: argument type has no text form");
    }
}
uint64_t NowSeconds();
}  // namespace chs_log_detail

// Streams every argument, without separators, into one line.
template <typename... Args>
bool chsLogPrint(unsigned int level, unsigned int logId, const char* func, unsigned int line, const Args&... args) {
    if (!LogNeedPrint(level)) {
        return false;
    }
    std::string text;
    (chs_log_detail::Append(text, args), ...);
    return logPrint(level, logId, func, line, text);
}

// As chsLogPrint, but at most `maxPerWindow` lines per `windowSec` seconds for
// the call site that owns `windowStart` and `count`.
template <typename... Args>
bool chsLogPrintLimit(uint64_t& windowStart, uint32_t& count, uint64_t windowSec, uint32_t maxPerWindow,
                      unsigned int level, unsigned int logId, const char* func, unsigned int line,
                      const Args&... args) {
    if (!LogNeedPrint(level)) {
        return false;
    }
    uint64_t now = chs_log_detail::NowSeconds();
    if (windowStart + windowSec < now) {
        windowStart = now;
        count = 1;
        if (maxPerWindow == 0) {
            count = 0;
            return false;
        }
    } else {
        ++count;
        if (count > maxPerWindow) {
            --count;
            return false;
        }
    }
    std::string text;
    (chs_log_detail::Append(text, args), ...);
    return logPrint(level, logId, func, line, text);
}

#define CHS_LOG(level, logId, ...) chsLog((level), (logId), __FUNCTION__, __LINE__, __VA_ARGS__)
#define CHS_LOG_PRINT(level, logId, ...) chsLogPrint((level), (logId), __FUNCTION__, __LINE__, __VA_ARGS__)
