// Runs a program of the export services (tar) with an argument vector, never
// through a shell, in a process group of its own so that ending it ends
// everything it started (tar's compressor included).
//
// Standard input is /dev/null; standard output and standard error go to
// `outputFile` (truncated). No descriptor of this process past 2 reaches the
// program. The program is looked up on PATH.
//
// Thread-safe: each call waits for its own child only.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace chs_peers {

struct ChildResult {
    enum Kind { EXITED, SIGNALED, TIMED_OUT, CANCELLED, NOT_STARTED };
    Kind eKind = NOT_STARTED;
    int iStatus = -1;  // the exit status (EXITED) or the signal (SIGNALED)
    std::string strWhy;
    bool Succeeded() const { return eKind == EXITED && iStatus == 0; }
};

// Waits up to `timeoutMs`; when the time is up, or as soon as `*cancel`
// (when given) turns true, the whole process group is killed and reaped.
ChildResult RunChild(const std::vector<std::string>& argv, const std::string& outputFile, uint32_t timeoutMs,
                     const std::atomic<bool>* cancel);

}  // namespace chs_peers
