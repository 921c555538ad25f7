// Thread strategy and control group of the platform scheduler. On a machine
// without that scheduler the calls are accepted, checked and logged.
#pragma once

#include <cstdint>

constexpr uint32_t DPAX_THREAD_STRATEGY_NAME_LEN = 64;

struct tagDPAX_THREAD_STRATEGY_S {
    int32_t iPolicy;
    int32_t iPriority;
    char acName[DPAX_THREAD_STRATEGY_NAME_LEN];
};

int dpax_initThreadStrategy(uint32_t flags, const tagDPAX_THREAD_STRATEGY_S* strategy);
int dpax_setCurThreadStrategy(uint32_t strategy);
