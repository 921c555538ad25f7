// A counting semaphore for handing work from one thread to another.
//
// A condition variable costs the woken thread a second system call: it wakes
// holding a mutex marked contended, so its unlock always calls the kernel. A
// post here wakes a waiter with one call, and only when one waits; a wait
// that finds a count takes it without the kernel.
//
// Thread-safe.
#pragma once

#include <semaphore.h>
#include <time.h>

#include <cerrno>
#include <chrono>

namespace platform {

class Semaphore {
  public:
    using Clock = std::chrono::steady_clock;

    explicit Semaphore(unsigned int count = 0) { sem_init(&m_sem, 0, count); }
    ~Semaphore() { sem_destroy(&m_sem); }
    Semaphore(const Semaphore&) = delete;
    Semaphore& operator=(const Semaphore&) = delete;

    void Post() { sem_post(&m_sem); }

    void Wait() {
        while (sem_wait(&m_sem) != 0 && errno == EINTR) {
        }
    }

    // False when `deadline` passed first.
    bool WaitUntil(Clock::time_point deadline) {
        auto since = deadline.time_since_epoch();
        auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
        timespec until{static_cast<time_t>(seconds.count()),
                       static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count())};
        for (;;) {
            // steady_clock is CLOCK_MONOTONIC on Linux.
            if (sem_clockwait(&m_sem, CLOCK_MONOTONIC, &until) == 0) {
                return true;
            }
            if (errno != EINTR) {
                return false;
            }
        }
    }

  private:
    sem_t m_sem;
};

}  // namespace platform
