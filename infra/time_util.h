// Time texts and local-time conversion. GetLogCurTime() is in infra/chs_log.h.
//
// Thread-safe: only reentrant C library calls are used.
#pragma once

#include <ctime>
#include <string>

// The current UTC time as "%Y%m%d%H%M%S" (14 digits); empty when the conversion fails.
std::string getCurrentTime();

// Reloads the time-zone data (an administrator may change the zone while the
// daemon runs) and converts `*t` to local time. False for null arguments or a
// failed conversion.
bool CHS_localtime_r(const long* t, tm* out);
// The same for the current time.
bool CHS_GetCurrentTimeInfo(tm* out);
