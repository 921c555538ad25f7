#include "platform/dpax_sem.h"

#include <chrono>

namespace {

constexpr uint32_t kSemMagic = 0x53454D41;

bool Usable(const DPAX_SEM_ENHANCE_S* sem) { return sem != nullptr && sem->uiMagic == kSemMagic; }

}  // namespace

int dpax_sem_enhance_init(DPAX_SEM_ENHANCE_S* sem, uint32_t initialCount) {
    if (sem == nullptr || initialCount > DPAX_SEM_MAX_COUNT) {
        return DPAX_SEM_ERR_PARAM;
    }
    std::lock_guard<std::mutex> lock(sem->mutex);
    sem->uiCount = initialCount;
    sem->uiMagic = kSemMagic;
    return DPAX_SEM_OK;
}

int dpax_sem_enhance_up(DPAX_SEM_ENHANCE_S* sem) {
    if (sem == nullptr) {
        return DPAX_SEM_ERR_PARAM;
    }
    std::lock_guard<std::mutex> lock(sem->mutex);
    if (!Usable(sem) || sem->uiCount >= DPAX_SEM_MAX_COUNT) {
        return DPAX_SEM_ERR_PARAM;
    }
    ++sem->uiCount;
    // Notified under the lock: a waiter may destroy a semaphore of its own
    // (one on its stack) as soon as it has taken the count, and must not do
    // so while this call still touches it.
    sem->cond.notify_one();
    return DPAX_SEM_OK;
}

int dpax_sem_enhance_down(DPAX_SEM_ENHANCE_S* sem, int32_t timeoutMs) {
    if (sem == nullptr || (timeoutMs < 0 && timeoutMs != DPAX_SEM_WAIT_FOREVER)) {
        return DPAX_SEM_ERR_PARAM;
    }
    std::unique_lock<std::mutex> lock(sem->mutex);
    if (!Usable(sem)) {
        return DPAX_SEM_ERR_PARAM;
    }
    auto available = [sem] { return sem->uiCount > 0; };
    if (timeoutMs == DPAX_SEM_WAIT_FOREVER) {
        sem->cond.wait(lock, available);
    } else if (!sem->cond.wait_for(lock, std::chrono::milliseconds(timeoutMs), available)) {
        return DPAX_SEM_TIMEOUT;
    }
    --sem->uiCount;
    return DPAX_SEM_OK;
}
