#include "platform/dpax_thread.h"

#include <cstring>

#include "platform/dplog.h"

int dpax_initThreadStrategy(uint32_t flags, const tagDPAX_THREAD_STRATEGY_S* strategy) {
    if (strategy == nullptr || memchr(strategy->acName, '\0', sizeof(strategy->acName)) == nullptr) {
        dplog_standard(0, 3, __func__, __LINE__, 0, "Thread strategy refused: no strategy or unterminated name.");
        return -1;
    }
    dplog_standard(0, 6, __func__, __LINE__, 0,
                   "Thread strategy accepted: flags %u, policy %d, priority %d, cpu set %s (no platform scheduler).",
                   flags, strategy->iPolicy, strategy->iPriority, strategy->acName);
    return 0;
}

int dpax_setCurThreadStrategy(uint32_t strategy) {
    dplog_standard(0, 6, __func__, __LINE__, 0, "Thread strategy %u selected (no platform scheduler).", strategy);
    return 0;
}
