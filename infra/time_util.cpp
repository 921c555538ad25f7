#include "infra/time_util.h"

std::string getCurrentTime() {
    time_t now = time(nullptr);
    tm utc{};
    if (gmtime_r(&now, &utc) == nullptr) {
        return "";
    }
    char text[32];
    size_t length = strftime(text, sizeof(text), "%Y%m%d%H%M%S", &utc);
    return std::string(text, length);
}

bool CHS_localtime_r(const long* t, tm* out) {
    if (t == nullptr || out == nullptr) {
        return false;
    }
    tzset();
    time_t value = static_cast<time_t>(*t);
    return localtime_r(&value, out) != nullptr;
}

bool CHS_GetCurrentTimeInfo(tm* out) {
    long now = static_cast<long>(time(nullptr));
    return CHS_localtime_r(&now, out);
}
