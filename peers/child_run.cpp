#include "peers/child_run.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

extern char** environ;

namespace chs_peers {
namespace {

constexpr auto kPoll = std::chrono::milliseconds(20);

// Kills the group `pid` leads and reaps the leader.
void KillGroup(pid_t pid) {
    kill(-pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

ChildResult RunChild(const std::vector<std::string>& argv, const std::string& outputFile, uint32_t timeoutMs,
                     const std::atomic<bool>* cancel) {
    ChildResult result;
    if (argv.empty()) {
        result.strWhy = "no program";
        return result;
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    int rc = posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        result.strWhy = argv[0] + ": " + strerror(rc);
        return result;
    }

    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            if (WIFEXITED(status)) {
                result.eKind = ChildResult::EXITED;
                result.iStatus = WEXITSTATUS(status);
            } else {
                result.eKind = ChildResult::SIGNALED;
                result.iStatus = WTERMSIG(status);
            }
            return result;
        }
        if (done < 0 && errno != EINTR) {
            result.strWhy = std::string("waiting for ") + argv[0] + ": " + strerror(errno);
            KillGroup(pid);
            return result;
        }
        if (cancel != nullptr && cancel->load()) {
            KillGroup(pid);
            result.eKind = ChildResult::CANCELLED;
            result.strWhy = argv[0] + " was stopped";
            return result;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            KillGroup(pid);
            result.eKind = ChildResult::TIMED_OUT;
            result.strWhy = argv[0] + " ran past " + std::to_string(timeoutMs) + " ms";
            return result;
        }
        std::this_thread::sleep_for(kPoll);
    }
}

}  // namespace chs_peers
