// Cost per command of the command runner against its baseline, posix_spawn +
// waitpid of the same shell line ("/bin/sh -c <line>"), in the same run.
// The time that counts is wall time: the caller waits for the child.
//
//   BM_Ours_NoCapture/<timeout>   chs_execCmdWithoutOutput("/bin/true", timeout)
//   BM_Base_NoCapture             posix_spawn("sh -c /bin/true") + waitpid
//   BM_Ours_Capture/<lines>       chs_safeSystemSub("echo hello", ..., lines, output)
//   BM_Base_Capture               posix_spawn with the pipe on stdout, read to end of file, waitpid
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "infra/exec_cmd.h"

extern char** environ;

namespace {

const char* const kTrueLine = "/bin/true";
const char* const kEchoLine = "echo hello";

pid_t SpawnShell(const char* line, posix_spawn_file_actions_t* actions) {
    char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(line), nullptr};
    pid_t pid = -1;
    return posix_spawn(&pid, "/bin/sh", actions, nullptr, argv, environ) == 0 ? pid : -1;
}

int WaitFor(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

void BM_Ours_NoCapture(benchmark::State& state) {
    uint32_t timeoutMs = static_cast<uint32_t>(state.range(0));
    for (auto _ : state) {
        int32_t status = chs_execCmdWithoutOutput(kTrueLine, timeoutMs);
        if (status != 0) {
            state.SkipWithError("command failed");
            break;
        }
        benchmark::DoNotOptimize(status);
    }
}
BENCHMARK(BM_Ours_NoCapture)->Arg(0)->Arg(6000)->UseRealTime();

void BM_Base_NoCapture(benchmark::State& state) {
    for (auto _ : state) {
        pid_t pid = SpawnShell(kTrueLine, nullptr);
        if (pid < 0) {
            state.SkipWithError("posix_spawn failed");
            break;
        }
        benchmark::DoNotOptimize(WaitFor(pid));
    }
}
BENCHMARK(BM_Base_NoCapture)->UseRealTime();

void BM_Ours_Capture(benchmark::State& state) {
    uint32_t maxLines = static_cast<uint32_t>(state.range(0));
    for (auto _ : state) {
        std::string output;
        int32_t status = -1;
        pid_t pid = 0;
        if (chs_safeSystemSub(kEchoLine, nullptr, 6000, &status, &pid, maxLines, output) != 0 ||
            output != "hello\n") {
            state.SkipWithError("command failed");
            break;
        }
        benchmark::DoNotOptimize(output);
    }
}
BENCHMARK(BM_Ours_Capture)->Arg(1)->Arg(1024)->UseRealTime();

void BM_Base_Capture(benchmark::State& state) {
    for (auto _ : state) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            state.SkipWithError("pipe failed");
            break;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        pid_t pid = SpawnShell(kEchoLine, &actions);
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        std::string output;
        char buffer[1024];
        ssize_t got;
        while ((got = read(fds[0], buffer, sizeof(buffer))) != 0) {
            if (got > 0) {
                output.append(buffer, static_cast<size_t>(got));
            } else if (errno != EINTR) {
                break;
            }
        }
        close(fds[0]);
        if (pid < 0 || output != "hello\n") {
            state.SkipWithError("command failed");
            break;
        }
        benchmark::DoNotOptimize(WaitFor(pid));
    }
}
BENCHMARK(BM_Base_Capture)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
