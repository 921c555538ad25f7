// Time-zone queries of the platform, answered from the system's time-zone
// data (the TZ environment variable or /etc/localtime).
//
// The zone is re-read on every call (tzset), so a zone changed by an
// administrator while the process runs is seen at the next call. Both
// functions write only into caller-owned storage and may be called from any
// thread; tzset itself is not synchronised with setenv("TZ") in other threads.
#pragma once

#include <cstdint>

constexpr int DPAX_TIME_OK = 0;
constexpr int DPAX_TIME_ERR = -1;
// Room for the longest zone text, "UTC+hh:mm", and its NUL.
constexpr uint32_t DPAX_TIME_TZ_LEN = 16;

// Answer of the daylight-saving query. The first field comes first on
// purpose: callers that only want "is it summer time now" read it alone.
struct DPAX_TIME_DST_S {
    int32_t iDstInEffect;  // 1 while daylight-saving time is in effect now, else 0
    int32_t iDstObserved;  // 1 when the zone changes to daylight-saving time this year
    int32_t iDstShiftMin;  // minutes added during daylight-saving time (0 when not observed)
};

// The zone of the system as its standard-time offset from UTC:
// "UTC+hh:mm" or "UTC-hh:mm" (e.g. "UTC+08:00", "UTC-03:30").
// DPAX_TIME_ERR for a null buffer, a buffer shorter than the text or a failed
// time conversion.
int dpax_time_gettz(char* text, uint32_t size);

// Daylight-saving facts of `region`, which must be the text dpax_time_gettz
// gives for the current zone (only the system's own zone can be asked).
// DPAX_TIME_ERR for null arguments, another region or a failed conversion.
int dpax_time_query_dstforregion(const char* region, DPAX_TIME_DST_S* dst);
