// Real processes for whole-system tests: run a program to its end with its
// output captured, or start one in the background and stop it later.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace chs_test {

struct RunResult {
    int exitCode = -1;  // -1 when the process did not exit normally
    std::string out;
    std::string err;
};

// Runs argv[0] (a path) with `extraEnv` ("NAME=value") added to the
// environment; kills it after `timeoutMs`.
RunResult RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv = {},
              unsigned int timeoutMs = 30000);

// A background process; killed (SIGKILL) and reaped on destruction.
class Process {
public:
    Process(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
            const std::string& outputFile);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return m_pid; }
    bool Running();
    // Sends `signo` and waits for the end; the wait status.
    int Stop(int signo);

private:
    pid_t m_pid = -1;
    bool m_reaped = false;
    int m_status = 0;
};

// Polls `condition` every 20 ms for up to `timeoutMs`; its last result.
template <typename Condition>
bool WaitFor(Condition condition, unsigned int timeoutMs);

std::string BinaryPath(const std::string& relative);  // below the build directory

// main() of a test binary that also plays other nodes: started again with the
// variable `env` set (a fresh process, not a fork of a test process whose
// threads hold locks), it runs `peer` with the variable's value instead of the
// tests; otherwise it runs the tests and then `after`, when given.
int RunTestsOrPeer(int argc, char** argv, const char* env, int (*peer)(const char*),
                   void (*after)() = nullptr);

}  // namespace chs_test

#include <chrono>
#include <thread>

template <typename Condition>
bool chs_test::WaitFor(Condition condition, unsigned int timeoutMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}
