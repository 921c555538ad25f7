// Names of collected files and the collection minutes of the timers.
#include <cstring>

#include "collector/collect_file_handoff.h"
#include "core/omlib.h"
#include "infra/chs_log.h"
#include "infra/time_util.h"
#include "platform/dpax_time.h"

namespace {

constexpr uint32_t kSerialLen = 32;

void LogCheckFailure(int ret) {
    CHS_LOG(3, LOGID_COLLECTOR,
            "(CHECK PARA FAILURE) iRet(%d) != RETURN_SIGNED_OK(%d), return RETURN_SIGNED_ERR(%d).", ret, 0,
            -1);
}

}  // namespace

int getTimeZoneInfo(std::string& text) {
    char zone[DPAX_TIME_TZ_LEN] = {0};
    int ret = dpax_time_gettz(zone, sizeof(zone));
    if (ret != DPAX_TIME_OK) {
        LogCheckFailure(ret);
        return -1;
    }
    DPAX_TIME_DST_S dst{};
    ret = dpax_time_query_dstforregion(zone, &dst);
    if (ret != DPAX_TIME_OK) {
        LogCheckFailure(ret);
        return -1;
    }
    // ':' is not allowed in file names on every system the files travel to.
    std::string result;
    for (const char* p = zone; *p != '\0'; ++p) {
        if (*p != ':') {
            result += *p;
        }
    }
    text = result + std::to_string(dst.iDstInEffect);
    return 0;
}

int GenCollectorFileNameByNodeId(int kind, const std::string& time, const std::string& prefix,
                                 const std::string& suffix, unsigned short nodeId, std::string& name) {
    char serial[kSerialLen] = {0};
    int ret = omlib::getProductSN(serial, sizeof(serial));
    if (ret != 0) {
        LogCheckFailure(ret);
        return -1;
    }
    serial[kSerialLen - 1] = '\0';
    std::string zone;
    ret = getTimeZoneInfo(zone);
    if (ret != 0) {
        LogCheckFailure(ret);
        return -1;
    }
    std::string result = prefix + serial;
    if (kind == 0) {
        result += "_SP" + std::to_string(nodeId);
    }
    result += "_" + time + zone + suffix;
    name = result;
    return 0;
}

int GenCollectorFileName(int kind, const std::string& time, const std::string& prefix,
                         const std::string& suffix, std::string& name) {
    return GenCollectorFileNameByNodeId(kind, time, prefix, suffix, omlib::getLocalNidInUser(), name);
}

bool IsCollectMinute(const std::string& timerName, int minute) {
    if (timerName == "collect_array") {
        return minute % 5 == 0;
    }
    if (timerName == "collect_node") {
        return minute % 5 == 2;
    }
    CHS_LOG(3, LOGID_COLLECTOR, "Function get a wrong timer name.");
    return true;
}

bool isNodeOrArrayOnCollectTime(std::string timerName) {
    tm now{};
    if (!CHS_GetCurrentTimeInfo(&now)) {
        // Without a clock reading, collecting once too often beats never collecting.
        return true;
    }
    return IsCollectMinute(timerName, now.tm_min);
}
