#include "tools/chsctl_time.h"

#include <cstdio>
#include <ctime>
#include <regex>

namespace chs_tools {
namespace {

// 9999-12-31T23:59:59Z, the last second ISO 8601's four-digit years reach.
constexpr uint64_t kLastSecond = 253402300799ULL;

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

int Number(const std::string& digits) { return std::stoi(digits); }

// Seconds since the epoch of a local wall-clock time; false when the time
// zone skips it (the clock jumps over it when daylight-saving time begins).
bool LocalSeconds(const struct tm& wall, int64_t& seconds) {
    struct tm probe = wall;
    probe.tm_isdst = -1;
    time_t t = mktime(&probe);
    // mktime moves a skipped time past the gap; a time that exists comes back as it was.
    if (probe.tm_year != wall.tm_year || probe.tm_mon != wall.tm_mon || probe.tm_mday != wall.tm_mday ||
        probe.tm_hour != wall.tm_hour || probe.tm_min != wall.tm_min || probe.tm_sec != wall.tm_sec) {
        return false;
    }
    seconds = static_cast<int64_t>(t);
    return true;
}

}  // namespace

bool ParseTimeMs(const std::string& text, uint64_t& ms, std::string& error) {
    static const std::regex kEpoch("[0-9]{1,12}");
    static const std::regex kIso(
        "([0-9]{4})-([0-9]{2})-([0-9]{2})T([0-9]{2}):([0-9]{2}):([0-9]{2})"
        "(?:\\.([0-9]{1,3}))?(Z|[+-][0-9]{2}:[0-9]{2})?");
    std::smatch match;
    if (std::regex_match(text, kEpoch)) {
        uint64_t seconds = std::stoull(text);
        if (seconds > kLastSecond) {
            error = "lies past the year 9999";
            return false;
        }
        ms = seconds * 1000;
        return true;
    }
    if (!std::regex_match(text, match, kIso)) {
        error = "is neither YYYY-MM-DDThh:mm:ss[.fff][Z|+hh:mm|-hh:mm] nor seconds since the epoch";
        return false;
    }
    int year = Number(match[1]);
    int month = Number(match[2]);
    int day = Number(match[3]);
    int hour = Number(match[4]);
    int minute = Number(match[5]);
    int second = Number(match[6]);
    if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month)) {
        error = "is not a date of the calendar";
        return false;
    }
    if (hour > 23 || minute > 59 || second > 59) {
        error = "is not a time of day";
        return false;
    }
    std::string fraction = match[7];
    fraction.resize(3, '0');
    int millis = Number(fraction);

    struct tm wall {};
    wall.tm_year = year - 1900;
    wall.tm_mon = month - 1;
    wall.tm_mday = day;
    wall.tm_hour = hour;
    wall.tm_min = minute;
    wall.tm_sec = second;
    int64_t seconds = 0;
    std::string zone = match[8];
    if (zone.empty()) {
        if (!LocalSeconds(wall, seconds)) {
            error = "does not exist in the local time zone";
            return false;
        }
    } else {
        int offset = 0;
        if (zone != "Z") {
            int offsetHours = Number(zone.substr(1, 2));
            int offsetMinutes = Number(zone.substr(4, 2));
            if (offsetHours > 23 || offsetMinutes > 59) {
                error = "has an offset from UTC that is not a time of day";
                return false;
            }
            offset = (offsetHours * 60 + offsetMinutes) * 60 * (zone[0] == '-' ? -1 : 1);
        }
        seconds = static_cast<int64_t>(timegm(&wall)) - offset;
    }
    if (seconds < 0) {
        error = "lies before 1970-01-01T00:00:00Z";
        return false;
    }
    ms = static_cast<uint64_t>(seconds) * 1000 + static_cast<uint64_t>(millis);
    return true;
}

std::string FormatLocalTimeMs(uint64_t ms) {
    time_t seconds = static_cast<time_t>(ms / 1000);
    struct tm local {};
    if (localtime_r(&seconds, &local) == nullptr) {
        return std::to_string(ms / 1000);
    }
    char text[64];
    size_t length = strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &local);
    std::string out(text, length);
    if (ms % 1000 != 0) {
        snprintf(text, sizeof(text), ".%03u", static_cast<unsigned>(ms % 1000));
        out += text;
    }
    long offset = local.tm_gmtoff;
    char sign = offset < 0 ? '-' : '+';
    offset = offset < 0 ? -offset : offset;
    snprintf(text, sizeof(text), "%c%02ld:%02ld", sign, offset / 3600, offset / 60 % 60);
    return out + text;
}

}  // namespace chs_tools
