#include "msg/msg_adapter.h"

#include <cstdarg>
#include <ctime>
#include <new>
#include <system_error>
#include <thread>

#include "infra/chs_log.h"
#include "infra/timer_drv.h"
#include "platform/om_cluster.h"

namespace {

constexpr uint32_t kSleepUnitMs = 10;

int64_t WallSeconds(int64_t* seconds) {
    int64_t now = static_cast<int64_t>(time(nullptr));
    if (seconds != nullptr) {
        *seconds = now;
    }
    return now;
}

}  // namespace

void msgAdpSleep(uint32_t units) { TimerDrvClass::Sleep(units * kSleepUnitMs); }

void* msgAdpAlloc(uint32_t size) { return new (std::nothrow) uint8_t[size]; }

void msgAdpFree(void* pointer) { delete[] static_cast<uint8_t*>(pointer); }

uint32_t msgAdpLogLevel(uint32_t transportLevel) {
    switch (transportLevel) {
        case 1:
        case 2:
            return 3;
        case 3:
            return 2;
        case 4:
            return 1;
        default:
            return 0;
    }
}

void msgAdpLog(uint32_t /*module*/, uint32_t level, const char* func, uint32_t line, uint32_t logId,
               const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    chsLogHelper(msgAdpLogLevel(level), logId, func, line, fmt, args);
    va_end(args);
}

int64_t msgAdpLocaltime(int64_t* seconds) { return WallSeconds(seconds); }

int64_t msgAdpTime(int64_t* seconds) { return WallSeconds(seconds); }

uint16_t msgAdpLocalnid(void) {
    uint16_t node = 0;
    OMLIB_getLocalNodeID(&node);
    return node;
}

int msgAdpCreateThread(void* (*fn)(void*), void* arg, uint32_t* threadId) {
    if (fn == nullptr) {
        return -1;
    }
    try {
        std::thread(fn, arg).detach();
    } catch (const std::system_error&) {
        return -1;
    }
    if (threadId != nullptr) {
        *threadId = 0;
    }
    return 0;
}
