// Platform logging service: one rotating log file per node process, one log
// level per module id on the 0 (most severe) to 7 (debug) scale.
//
// All calls are thread-safe. Lines written before LogOpen() are kept (up to
// 64 KiB) and written first when the file opens.
#pragma once

#include <cstddef>
#include <string>

// Writes one line when `level` is at or below the module's level.
void dplog_standard(unsigned int module, unsigned int level, const char* func, unsigned int line,
                    unsigned int logId, const char* fmt, ...) __attribute__((format(printf, 6, 7)));

// The same line as dplog_standard, for signal handlers: async-signal-safe (no
// allocation, no lock, no stdio). `text` is written as it stands, cut so that
// the line fits 2 KiB. The time zone is the one in force when the log was last
// opened or rotated. The line goes with one write(2) to the open log file, or
// to standard error when no log is open (lines are not kept for a later open),
// and is not counted towards the file's rotation size.
void dplog_signal_safe(unsigned int module, unsigned int level, const char* func, unsigned int line,
                       unsigned int logId, const char* text);

// The module's level in the low 8 bits.
unsigned int dpax_log_level_get(unsigned int module);
// 0 on success; a level above 7 or a module id above 65535 is refused with -1.
int dpax_log_level_set(unsigned int module, unsigned int level);

// Exception support of the platform: gives the calling thread an alternate
// signal stack so that a handler can still run after a stack overflow. 0 on success.
int dpax_exception_init(int flags, int reserved);

namespace platform {

constexpr unsigned int kDefaultLogLevel = 6;

// Opens (appends to) the log file, creating its directory. Lines are written
// whole with one write each; when the file passes `maxBytes` it is renamed to
// <path>.1 (older ones shift up to <path>.<keep>) and a new file is started.
bool LogOpen(const std::string& path, size_t maxBytes = 8u << 20, unsigned int keep = 3);
void LogClose();
std::string LogPath();

// The level every module starts with until dpax_log_level_set changes it.
void LogSetDefaultLevel(unsigned int level);

}  // namespace platform
