// capi_alarm: the daemon's client of the array's alarm and event service
// (module 561 on the master node). CHS_SendAlarm delivers one alarm, event or
// operation-log entry synchronously; ParaFormat builds the entry's parameter
// text.
//
// Stateless: every function may be called from any thread. CHS_SendAlarm
// blocks its caller for up to the entry's time-out (10 s).
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <type_traits>

#include "msg/chs_wire.h"

namespace capi_alarm {

constexpr uint16_t CHS_ALARM_SERVICE_PID = chs_wire::PID_ALARM;
constexpr uint32_t CHS_ALARM_OPCODE = chs_wire::OPCODE_GENERAL;
constexpr uint32_t CHS_ALARM_TIMEOUT = 10;  // seconds
constexpr unsigned long long CHS_ALARM_RECORD = chs_wire::RECORD_ALARM_ENTRY;
constexpr unsigned short CHS_ALARM_TAG_ID = chs_wire::ALARM_TAG_ID;
constexpr unsigned short CHS_ALARM_TAG_TYPE = chs_wire::ALARM_TAG_TYPE;
constexpr unsigned short CHS_ALARM_TAG_PARAMS = chs_wire::ALARM_TAG_PARAMS;
constexpr unsigned short CHS_ALARM_TAG_SOURCE = chs_wire::ALARM_TAG_SOURCE;
constexpr uint32_t CHS_ALARM_SOURCE = 0xE05B;

// The parameter separator "," must stay unambiguous inside a parameter:
// "&" becomes "&#38;" first, then "," becomes "&#44;".
std::string EscapeParameter(const std::string& text);

// The default text form of one argument. Byte-sized integers would be
// written as characters by a stream; they are numbers here.
template <typename T>
std::string ParameterText(const T& value) {
    std::ostringstream stream;
    if constexpr (std::is_integral_v<T> && sizeof(T) == 1 && !std::is_same_v<T, char> &&
                  !std::is_same_v<T, bool>) {
        stream << static_cast<int>(value);
    } else {
        stream << value;
    }
    return stream.str();
}

// The end marker of the recursion below; no caller should need it directly.
inline std::string ParaFormat() { return ","; }

// Every argument escaped and written in its default form (integers in
// decimal), joined by ",": ParaFormat(12, "on") is "12,on".
template <typename First, typename... Rest>
std::string ParaFormat(const First& first, const Rest&... rest) {
    std::string text = EscapeParameter(ParameterText(first));
    std::string tail = ParaFormat(rest...);
    if (tail != ",") {
        text += ",";
        text += tail;
    }
    return text;
}

// Sends one entry as module `moduleId`. A non-zero `result` is appended to
// the parameters as "0x" and lower-case hexadecimal digits. 0 when the
// service acknowledged, the answer's error code otherwise, 0xFFFFFFFF when
// it could not be sent.
int32_t CHS_SendAlarm(uint16_t moduleId, uint64_t alarmId, uint32_t type, const std::string& parameters,
                      uint32_t result);

}  // namespace capi_alarm
