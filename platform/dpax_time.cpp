#include "platform/dpax_time.h"

#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

struct ZoneFacts {
    long lStandardOffset = 0;  // seconds east of UTC outside daylight-saving time
    long lSummerOffset = 0;    // seconds east of UTC during daylight-saving time
    bool bObserved = false;
    bool bInEffect = false;
};

bool LocalAt(time_t when, tm& out) { return localtime_r(&when, &out) != nullptr; }

// Probes the middle of January and of July of the current year: one of them
// lies in each hemisphere's summer, so a zone with daylight-saving time shows
// two offsets and the smaller one is standard time.
bool ReadZone(ZoneFacts& facts) {
    tzset();
    time_t now = time(nullptr);
    tm current{};
    if (now == static_cast<time_t>(-1) || !LocalAt(now, current)) {
        return false;
    }
    tm probe{};
    probe.tm_year = current.tm_year;
    probe.tm_mday = 15;
    probe.tm_hour = 12;
    probe.tm_isdst = -1;
    tm january = probe;
    tm july = probe;
    july.tm_mon = 6;
    time_t januaryTime = mktime(&january);
    time_t julyTime = mktime(&july);
    tm januaryLocal{};
    tm julyLocal{};
    if (januaryTime == static_cast<time_t>(-1) || julyTime == static_cast<time_t>(-1) ||
        !LocalAt(januaryTime, januaryLocal) || !LocalAt(julyTime, julyLocal)) {
        return false;
    }
    long a = januaryLocal.tm_gmtoff;
    long b = julyLocal.tm_gmtoff;
    facts.lStandardOffset = a < b ? a : b;
    facts.lSummerOffset = a < b ? b : a;
    facts.bObserved = a != b || januaryLocal.tm_isdst > 0 || julyLocal.tm_isdst > 0;
    facts.bInEffect = current.tm_isdst > 0;
    if (facts.bInEffect && a == b) {
        // A zone in permanent summer time: its current offset is all we know.
        facts.lSummerOffset = current.tm_gmtoff;
    }
    return true;
}

bool FormatZone(const ZoneFacts& facts, char* text, uint32_t size) {
    long offset = facts.lStandardOffset;
    char sign = offset < 0 ? '-' : '+';
    if (offset < 0) {
        offset = -offset;
    }
    long minutes = offset / 60;
    int written = snprintf(text, size, "UTC%c%02ld:%02ld", sign, minutes / 60, minutes % 60);
    return written > 0 && static_cast<uint32_t>(written) < size;
}

}  // namespace

int dpax_time_gettz(char* text, uint32_t size) {
    if (text == nullptr || size == 0) {
        return DPAX_TIME_ERR;
    }
    ZoneFacts facts;
    if (!ReadZone(facts) || !FormatZone(facts, text, size)) {
        text[0] = '\0';
        return DPAX_TIME_ERR;
    }
    return DPAX_TIME_OK;
}

int dpax_time_query_dstforregion(const char* region, DPAX_TIME_DST_S* dst) {
    if (region == nullptr || dst == nullptr) {
        return DPAX_TIME_ERR;
    }
    ZoneFacts facts;
    char current[DPAX_TIME_TZ_LEN] = {0};
    if (!ReadZone(facts) || !FormatZone(facts, current, sizeof(current)) || strcmp(current, region) != 0) {
        return DPAX_TIME_ERR;
    }
    dst->iDstInEffect = facts.bInEffect ? 1 : 0;
    dst->iDstObserved = facts.bObserved ? 1 : 0;
    dst->iDstShiftMin =
        facts.bObserved ? static_cast<int32_t>((facts.lSummerOffset - facts.lStandardOffset) / 60) : 0;
    return DPAX_TIME_OK;
}
