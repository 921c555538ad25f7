// Times on chsctl's command line and in its output. The daemon keeps task
// ranges in milliseconds and task times in seconds since the epoch; people
// write and read ISO 8601.
#pragma once

#include <cstdint>
#include <string>

namespace chs_tools {

// Reads TIME: an ISO 8601 date and time "YYYY-MM-DDThh:mm:ss", optionally
// with a fraction of 1 to 3 digits and then "Z" or "+hh:mm"/"-hh:mm" (local
// time of this process's time zone when no zone is given), or plain seconds
// since the epoch. `ms` is milliseconds since the epoch. false with a reason
// in `error` for anything else, for a date that does not exist (February 30,
// a local time skipped by a daylight-saving change) and for times before 1970.
bool ParseTimeMs(const std::string& text, uint64_t& ms, std::string& error);

// `ms` as ISO 8601 local time with its offset, "2026-12-06T10:00:00+01:00";
// the milliseconds are written only when they are not zero.
std::string FormatLocalTimeMs(uint64_t ms);
inline std::string FormatLocalTime(uint64_t seconds) { return FormatLocalTimeMs(seconds * 1000); }

}  // namespace chs_tools
