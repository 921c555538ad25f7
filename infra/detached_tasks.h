// Threads that nobody joins (an export's gathering, a log file's upload),
// counted, so that whoever ends the work of a module (an orderly stop, a test
// between two cases) can wait until none of them runs any more and read what
// they wrote without a race.
#pragma once

#include <cstdint>
#include <functional>

// Starts `task` on a thread of its own. Returns false, and runs nothing, when
// the thread cannot be started.
bool StartDetachedTask(std::function<void()> task);

// Waits until no task started by StartDetachedTask runs, at most `ms`
// milliseconds. Returns true when none runs.
bool WaitDetachedTasksIdle(uint32_t ms);

// The number of such tasks running now.
uint32_t DetachedTasksRunning();
