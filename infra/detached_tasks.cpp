#include "infra/detached_tasks.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

// Never destroyed: a task may still end while the exit handlers run.
struct Tasks {
    std::mutex mutex;
    std::condition_variable idle;
    uint32_t running = 0;
};

Tasks& State() {
    static Tasks* tasks = new Tasks();
    return *tasks;
}

void TaskEnded() {
    Tasks& tasks = State();
    std::lock_guard<std::mutex> lock(tasks.mutex);
    if (--tasks.running == 0) {
        tasks.idle.notify_all();
    }
}

}  // namespace

bool StartDetachedTask(std::function<void()> task) {
    Tasks& tasks = State();
    {
        std::lock_guard<std::mutex> lock(tasks.mutex);
        ++tasks.running;
    }
    try {
        std::thread([task = std::move(task)] {
            struct EndCount {
                ~EndCount() { TaskEnded(); }
            } end;
            task();
        }).detach();
    } catch (...) {
        TaskEnded();
        return false;
    }
    return true;
}

bool WaitDetachedTasksIdle(uint32_t ms) {
    Tasks& tasks = State();
    std::unique_lock<std::mutex> lock(tasks.mutex);
    return tasks.idle.wait_for(lock, std::chrono::milliseconds(ms), [&tasks] { return tasks.running == 0; });
}

uint32_t DetachedTasksRunning() {
    Tasks& tasks = State();
    std::lock_guard<std::mutex> lock(tasks.mutex);
    return tasks.running;
}
