// Counting semaphores of the platform: a count that up() raises and down()
// takes, waiting when it is 0 for at most the caller's time-out.
//
// A semaphore lives in caller-owned storage (often a global) and must be
// initialised with dpax_sem_enhance_init before any other use. It must outlive
// every thread that may call up() or down() on it. up() and down() are
// thread-safe; init() must not run while other threads use the semaphore.
// Not shared between processes.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

constexpr int DPAX_SEM_OK = 0;
constexpr int DPAX_SEM_ERR_PARAM = -1;  // null or uninitialised semaphore, count out of range
constexpr int DPAX_SEM_TIMEOUT = 1;     // down() gave up after its time-out
constexpr int32_t DPAX_SEM_WAIT_FOREVER = -1;
constexpr uint32_t DPAX_SEM_MAX_COUNT = 0x7FFFFFFF;

struct DPAX_SEM_ENHANCE_S {
    std::mutex mutex;
    std::condition_variable cond;
    uint32_t uiCount = 0;
    uint32_t uiMagic = 0;  // set by init; guards against use of a never-initialised semaphore
};

// Sets the count to `initialCount` (at most DPAX_SEM_MAX_COUNT).
int dpax_sem_enhance_init(DPAX_SEM_ENHANCE_S* sem, uint32_t initialCount);
// Raises the count by one and wakes one waiter; refused at DPAX_SEM_MAX_COUNT.
int dpax_sem_enhance_up(DPAX_SEM_ENHANCE_S* sem);
// Takes one from the count, waiting up to `timeoutMs` milliseconds while it is
// 0 (0 = do not wait, DPAX_SEM_WAIT_FOREVER = no limit; other negative values
// are refused). DPAX_SEM_OK, DPAX_SEM_TIMEOUT or DPAX_SEM_ERR_PARAM.
int dpax_sem_enhance_down(DPAX_SEM_ENHANCE_S* sem, int32_t timeoutMs);
