// The command runner against the real /bin/sh, and the fatal-signal handler
// in real child processes.
#include "infra/exec_cmd.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "infra/chs_log.h"
#include "infra/exception_handler.h"
#include "infra/plugin_fault.h"
#include "platform/dplog.h"
#include "tests/support/log_capture.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

extern char** environ;

namespace {

using chs_test::LogCapture;
using chs_test::ReadText;
using chs_test::TempDir;
using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// With the descriptor of the listing itself, before and after alike.
size_t CountOpenFds() {
    return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

// True when this process has no child left, running or ended; reaps nothing.
bool NoChildren() {
    siginfo_t info{};
    return waitid(P_ALL, 0, &info, WEXITED | WSTOPPED | WNOHANG | WNOWAIT) == -1 && errno == ECHILD;
}

// One chs_safeSystemSub call and what it gave back.
struct Ran {
    int32_t ret = 0;
    int32_t status = -1;
    pid_t pid = 0;
    std::string output;
};

Ran RunSub(const std::string& cmd, uint32_t timeoutMs, uint32_t maxLines, char* const argv[] = nullptr,
           const std::string& before = "") {
    Ran ran;
    ran.output = before;
    ran.ret = chs_safeSystemSub(cmd.c_str(), argv, timeoutMs, &ran.status, &ran.pid, maxLines, ran.output);
    return ran;
}

// Starts `path` with `args` in a process group of its own, as the runner does.
pid_t SpawnInOwnGroup(const std::string& path, std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, path.c_str(), nullptr, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    return rc == 0 ? pid : -1;
}

char StateOf(pid_t pid) {
    char state = '?';
    return chs_getProcessState(pid, &state) == 0 ? state : '?';
}

TEST(ExecCmdCapture, OutputAndExitStatusOfCommandsThatEnd) {
    char* printfArgv[] = {const_cast<char*>("printf"), const_cast<char*>("%s|%s"),
                          const_cast<char*>("$(echo hi) *"), const_cast<char*>("a b"), nullptr};
    char* missingArgv[] = {const_cast<char*>("missing"), nullptr};
    const struct {
        const char* why;
        std::string cmd;
        char* const* argv;
        uint32_t maxLines;
        std::string before, output;
        int32_t status;
    } cases[] = {
        {"two lines in one chunk both come under a limit of one", "printf 'first\\nsecond\\n'", nullptr, 1,
         "", "first\nsecond\n", 0},
        {"nothing is read after the chunk that reaches the limit; the command runs to its end",
         "echo one; sleep 0.3; echo two; exit 6", nullptr, 1, "", "one\n", 6},
        {"appended, lines up to the limit kept", "for i in 1 2 3; do echo $i; sleep 0.05; done", nullptr,
         1024, "before|", "before|1\n2\n3\n", 0},
        {"a line of more than four chunks of 1022 bytes is kept whole", "head -c 5000 /dev/zero | tr '\\0' x",
         nullptr, 10, "", std::string(5000, 'x'), 0},
        // The line goes to the test's own standard output.
        {"0 lines captures nothing", "echo not-captured; exit 2", nullptr, 0, "", "", 2},
        {"argv form: no shell", "/usr/bin/printf", printfArgv, 10, "", "$(echo hi) *|a b", 0},
        {"argv form: the exec fails", "/no/such/program", missingArgv, 1, "", "", 127},
        {"the shell's status for a missing program", "/no/such/program 2>/dev/null", nullptr, 1, "", "", 127},
    };
    for (const auto& c : cases) {
        Ran ran = RunSub(c.cmd, 5000, c.maxLines, c.argv, c.before);
        EXPECT_EQ(ran.ret, 0) << c.why;
        EXPECT_EQ(ran.output, c.output) << c.why;
        EXPECT_EQ(ran.status, c.status) << c.why;
        EXPECT_GT(ran.pid, 0) << c.why;
    }
}

TEST(ExecCmdCapture, OutputBeyondTheSizeCapIsNotCapturedAndTheWriterRunsIntoTheTimeout) {
    LogCapture log;
    // About 2 MB in lines of 2000 bytes: the size cap comes long before 1024 lines.
    Clock::time_point start = Clock::now();
    Ran ran = RunSub(
        "line=$(head -c 1999 /dev/zero | tr '\\0' y); i=0; "
        "while [ $i -lt 1000 ]; do echo \"$line\"; i=$((i+1)); done",
        1500, 1024);
    int64_t elapsed = MsSince(start);
    EXPECT_GT(ran.output.size(), static_cast<size_t>(CHS_EXEC_MAX_OUTPUT));
    EXPECT_LE(ran.output.size(), static_cast<size_t>(CHS_EXEC_MAX_OUTPUT) + CHS_EXEC_READ_BUF - 2);
    EXPECT_EQ(ran.output.find_first_not_of("y\n"), std::string::npos);
    // The rest stays in the pipe, the shell blocks on it and is killed at the time-out.
    EXPECT_EQ(ran.ret, CHS_EXEC_ERR);
    EXPECT_LT(elapsed, 5000);
    EXPECT_TRUE(log.Contains("return 129."));
    EXPECT_TRUE(NoChildren());
}

TEST(ExecCmdStatus, AChildEndedOrStoppedByASignalIsAFailure) {
    LogCapture log;
    Ran ran = RunSub("kill -TERM $$; sleep 5", 5000, 1);
    EXPECT_EQ(ran.ret, CHS_EXEC_ERR);
    EXPECT_TRUE(log.Contains("The child was killed by signal 15."));
    EXPECT_TRUE(log.Contains("The child " + std::to_string(ran.pid) +
                             " executes (kill -TERM $$; sleep 5) failed, return 128."));
    EXPECT_EQ(chs_execCmdWithoutOutput("kill -TERM $$", 5000), CHS_EXEC_ERR);
    EXPECT_TRUE(log.Contains("Excute cmd [kill -TERM $$] failed, ret -1"));

    int32_t exitStatus = -1;
    EXPECT_EQ(chs_getExitStatus(255 << 8, nullptr), 0);
    EXPECT_EQ(chs_getExitStatus(3 << 8, &exitStatus), 0);
    EXPECT_EQ(exitStatus, 3);
    log.Clear();
    EXPECT_EQ(chs_getExitStatus((SIGSTOP << 8) | 0x7F, &exitStatus), CHS_WAIT_SIGNALED);  // stopped
    EXPECT_EQ(exitStatus, 3);                                                             // untouched
    EXPECT_FALSE(log.Contains("killed by signal"));
}

TEST(ExecCmdTimeout, AnOverrunningCommandIsKilledWithItsWholeProcessGroup) {
    TempDir dir;
    std::string pidFile = dir.Join("grandchild.pid");
    // Become the reaper of orphans, so that the killed grandchild comes back to us.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    LogCapture log;
    std::string cmd = "sleep 30 & echo $! > '" + pidFile + "'; sleep 30";
    Clock::time_point start = Clock::now();
    Ran ran = RunSub(cmd, 500, 1);
    int64_t elapsed = MsSince(start);
    EXPECT_EQ(ran.ret, CHS_EXEC_ERR);
    EXPECT_GE(elapsed, 500 - 2);  // the clock counts whole milliseconds
    EXPECT_LT(elapsed, 3000);
    EXPECT_EQ(ran.status, -1) << "no exit status without an exit";
    std::string child = "The child " + std::to_string(ran.pid);
    EXPECT_TRUE(log.Contains(child + " runs out of time(timeout 500 ms"));
    EXPECT_TRUE(log.Contains(child + " executes (" + cmd + ") failed, return 129."));

    // Everything the shell started comes back to us, killed.
    pid_t grandchild = static_cast<pid_t>(std::stol(ReadText(pidFile)));
    std::set<pid_t> killed;
    bool othersKilled = true;
    for (int i = 0; i < 200; ++i) {  // at most 2 s
        int status = 0;
        pid_t reaped = waitpid(-1, &status, WNOHANG);
        if (reaped < 0) {
            break;  // no child left
        }
        if (reaped == 0) {
            usleep(10000);
            continue;
        }
        killed.insert(reaped);
        othersKilled = othersKilled && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    // The shell may have reaped the grandchild itself before it died; either
    // way the background sleep must be gone.
    EXPECT_TRUE(killed.count(grandchild) == 1 || (kill(grandchild, 0) != 0 && errno == ESRCH))
        << "the background sleep survived";
    EXPECT_TRUE(othersKilled);
    EXPECT_TRUE(NoChildren());
}

TEST(ExecCmdTimeout, WrappersWithAndWithoutATimeLimit) {
    LogCapture log;
    Clock::time_point start = Clock::now();
    EXPECT_EQ(chs_execCmdWithoutOutput("sleep 0.7; exit 4", 0), 4);  // 0: no limit
    EXPECT_GE(MsSince(start), 700);
    EXPECT_EQ(chs_execCmd("sleep 0.3; echo late", 1, 0), "late\n");

    EXPECT_EQ(chs_execCmdWithoutOutput("sleep 5", 200), CHS_EXEC_ERR);
    EXPECT_TRUE(log.Contains("Excute cmd [sleep 5] failed, ret -1"));
    // What was printed before the time-out still comes back.
    EXPECT_EQ(chs_execCmd("echo partial; sleep 5", 10, 300), "partial\n");
}

// Makes pidfd_open fail with ENOSYS on the calling thread (and what it starts), as on an old kernel.
bool DenyPidfdOpenOnThisThread() {
#if defined(__x86_64__) && defined(SYS_pidfd_open)
    struct sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_pidfd_open, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    struct sock_fprog program = {static_cast<unsigned short>(sizeof(filter) / sizeof(filter[0])), filter};
    // Without SECCOMP_FILTER_FLAG_TSYNC the filter binds this thread only.
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0 &&
           syscall(SYS_pidfd_open, getpid(), 0) == -1 && errno == ENOSYS;
#else
    return false;
#endif
}

TEST(ExecCmdTimeout, WithoutAProcessDescriptorTheEndIsStillFoundByPolling) {
    bool denied = false;
    int failures = 0;
    int32_t timedOut = 0;
    int64_t killElapsed = 0;
    std::thread worker([&] {
        denied = DenyPidfdOpenOnThisThread();
        for (int i = 0; denied && i < 10; ++i) {
            failures += chs_execCmd("echo hi", 1, 5000) != "hi\n";
            failures += chs_execCmd("echo a; echo b", 1024, 5000) != "a\nb\n";
            failures += chs_execCmdWithoutOutput("exit 3", 5000) != 3;
        }
        Clock::time_point killStart = Clock::now();
        timedOut = denied ? chs_execCmdWithoutOutput("sleep 5", 300) : 0;
        killElapsed = MsSince(killStart);
    });
    worker.join();
    if (!denied) {
        GTEST_SKIP() << "cannot filter pidfd_open here";
    }
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(timedOut, CHS_EXEC_ERR);
    EXPECT_GE(killElapsed, 300 - 2);
    EXPECT_LT(killElapsed, 4500) << "killed at its time-out, not waited for";
    EXPECT_TRUE(NoChildren());
}

TEST(ExecCmdChild, RunsInAGroupOfItsOwnWithOnlyTheStandardDescriptors) {
    int plain = open("/dev/null", O_RDONLY);  // not close-on-exec
    ASSERT_GE(plain, 0);
    ASSERT_EQ(dup2(plain, 900), 900);
    std::string output = chs_execCmd("echo $$ $(cut -d' ' -f5 /proc/$$/stat); ls /proc/$$/fd", 100, 5000);
    close(plain);
    close(900);
    size_t space = output.find(' ');
    size_t end = output.find('\n');
    ASSERT_LT(space, end) << output;
    std::string pid = output.substr(0, space);
    EXPECT_EQ(pid, output.substr(space + 1, end - space - 1)) << "its group is its own id";
    EXPECT_NE(pid, std::to_string(getpgrp()));
    EXPECT_EQ(output.substr(end + 1), "0\n1\n2\n");
}

TEST(ExecCmdChild, InterruptAndQuitAreResetToTheirDefault) {
    for (int sig : {SIGINT, SIGQUIT}) {
        struct sigaction ignore {};
        struct sigaction old {};
        ignore.sa_handler = SIG_IGN;
        sigaction(sig, &ignore, &old);
        Ran ran = RunSub("ulimit -c 0; kill -" + std::to_string(sig) + " $$; echo survived", 5000, 1);
        sigaction(sig, &old, nullptr);
        EXPECT_EQ(ran.ret, CHS_EXEC_ERR) << "signal " << sig;
        EXPECT_EQ(ran.output, "") << "signal " << sig;
    }
}

TEST(ExecCmdStdin, PasswordGoesToStandardInputAndNowhereElse) {
    TempDir dir;
    LogCapture log;
    const std::string password = "pa55-W0rd'\"$x";
    std::string cmd =
        "cat > '" + dir.Join("in") + "'; cat /proc/$$/cmdline > '" + dir.Join("cmdline") + "'; exit 4";
    EXPECT_EQ(chs_execCmdWithPassword(cmd, password, 5000), 4);
    EXPECT_EQ(ReadText(dir.Join("in")), password + std::string(1, '\0'));  // with its NUL byte
    std::string cmdline = ReadText(dir.Join("cmdline"));
    EXPECT_NE(cmdline.find("cat > "), std::string::npos);
    EXPECT_EQ(cmdline.find(password), std::string::npos);
    EXPECT_FALSE(log.Contains(password));

    int32_t status = -1;
    EXPECT_EQ(chs_safeSystemSubWithStdin("cat >/dev/null; exit 9", nullptr, &status, 5000), 0);
    EXPECT_EQ(status, 9);
}

TEST(ExecCmdStdin, ACommandThatDoesNotReadCannotHurtTheCaller) {
    LogCapture log;
    std::string big(1 << 20, 'p');  // far more than a pipe holds
    int32_t status = -1;
    // The shell exits without reading: the write fails with EPIPE and no SIGPIPE reaches us.
    EXPECT_EQ(chs_safeSystemSubWithStdin("exit 5", big.c_str(), &status, 5000), 0);
    EXPECT_EQ(status, 5);
    EXPECT_TRUE(log.Contains("Write failed(errno:" + std::to_string(EPIPE)));
    sigset_t pending;
    sigpending(&pending);
    EXPECT_FALSE(sigismember(&pending, SIGPIPE));

    // A command that neither reads nor ends: the write and the wait together stay within the time-out.
    log.Clear();
    Clock::time_point start = Clock::now();
    EXPECT_EQ(chs_execCmdWithPassword("sleep 10", big, 500), CHS_EXEC_ERR);
    EXPECT_LT(MsSince(start), 2500);
    EXPECT_TRUE(log.Contains("Write failed(errno:" + std::to_string(ETIMEDOUT)));
    EXPECT_TRUE(log.Contains("Excute cmd [sleep 10] failed, ret -1"));
    EXPECT_TRUE(NoChildren());
}

TEST(ExecCmdResources, ConcurrentCallersGetTheirOwnResultsAndLeaveNothingBehind) {
    size_t before = CountOpenFds();
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t, &wrong] {
            for (int i = 0; i < 15; ++i) {
                std::string tag = "tag-" + std::to_string(t * 100 + i);
                wrong += chs_execCmd("echo " + tag, 1, 10000) != tag + "\n";
                wrong += chs_execCmdWithoutOutput("exit " + std::to_string(t + 1), 10000) != t + 1;
                wrong += chs_execCmdWithPassword("cat >/dev/null", "secret", 10000) != 0;
                if (i % 5 == 0) {  // killed at their time-outs; the echo has time to run on a loaded machine
                    wrong += chs_execCmdWithoutOutput("sleep 5", 50) != CHS_EXEC_ERR;
                    wrong += chs_execCmd("echo x; sleep 5", 5, 1000) != "x\n";
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(CountOpenFds(), before);
    EXPECT_TRUE(NoChildren());
}

TEST(ExecCmdProcess, StateIsReadAfterTheLastParenthesis) {
    TempDir dir;
    // The name fools a reader that stops at the first ")".
    std::string link = dir.Join("x) R (y");
    ASSERT_EQ(symlink("/bin/sleep", link.c_str()), 0);
    pid_t pid = SpawnInOwnGroup(link, {"x) R (y", "30"});
    ASSERT_GT(pid, 0);
    EXPECT_NE(ReadText("/proc/" + std::to_string(pid) + "/comm").find("x) R (y"), std::string::npos);
    char state = '?';
    for (int i = 0; i < 200 && state != 'S'; ++i) {
        usleep(5000);
        state = StateOf(pid);
    }
    EXPECT_EQ(state, 'S');
    EXPECT_EQ(StateOf(getpid()), 'R');

    kill(pid, SIGSTOP);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, WUNTRACED), pid);
    EXPECT_EQ(StateOf(pid), 'T');

    kill(pid, SIGKILL);
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT), 0);  // ended, not reaped
    EXPECT_EQ(StateOf(pid), 'Z');
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
}

TEST(ExecCmdProcess, KillChildKillsTheGroupAndReaps) {
    pid_t pid = SpawnInOwnGroup("/bin/sh", {"sh", "-c", "sleep 30 & sleep 30"});
    ASSERT_GT(pid, 0);
    usleep(50000);
    EXPECT_EQ(chs_killChild(pid), 0);
    EXPECT_EQ(kill(pid, 0), -1);  // reaped: the id is gone
    EXPECT_TRUE(NoChildren());
}

// Null arguments, and processes that are not our children (0 is our own group).
TEST(ExecCmdProcess, BadArgumentsAndStrangersAreRefused) {
    LogCapture log;
    std::string output;
    int32_t status = -1;
    pid_t pid = 0;
    EXPECT_EQ(chs_safeSystemSub(nullptr, nullptr, 1000, &status, &pid, 1, output), CHS_EXEC_ERR);
    EXPECT_EQ(chs_safeSystemSubWithStdin(nullptr, "x", &status, 1000), CHS_EXEC_ERR);
    EXPECT_EQ(log.Count("(ASSERTION FAILURE) pcCmd is NULL, return(RETURN_ERR)!"), 2u);

    EXPECT_EQ(chs_getProcessState(getpid(), nullptr), CHS_EXEC_ERR);
    EXPECT_TRUE(log.Contains("(ASSERTION FAILURE) pcState is NULL, return(RETURN_ERR)!"));
    char state = '?';
    EXPECT_EQ(chs_getProcessState(99999999, &state), CHS_WAIT_FAILED);
    EXPECT_TRUE(log.Contains("Open file (/proc/99999999/stat) failed, return 130, errinfo:("));
    EXPECT_EQ(state, '?');

    EXPECT_EQ(chs_killChild(99999999), CHS_WAIT_FAILED);
    EXPECT_EQ(chs_killChild(0), CHS_WAIT_FAILED);
    EXPECT_EQ(chs_waitChild(0, -1, 100, &status, 0, output), CHS_WAIT_FAILED);
    EXPECT_EQ(chs_waitChild(99999999, -1, 100, &status, 0, output), CHS_WAIT_FAILED);
    EXPECT_TRUE(log.Contains("Wait child 99999999 failed(errinfo:("));
}

// The read building blocks, on a pipe of the test's own.
class ExecCmdReadBlocks : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(pipe(m_fds), 0); }
    void TearDown() override {
        CloseWriter();
        close(m_fds[0]);
    }
    void Write(const std::string& text) {
        ASSERT_EQ(write(m_fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void CloseWriter() { close(std::exchange(m_fds[1], -1)); }
    int reader() const { return m_fds[0]; }

  private:
    int m_fds[2] = {-1, -1};
};

TEST_F(ExecCmdReadBlocks, WaitReadReportsReadableTimeoutAndError) {
    Clock::time_point start = Clock::now();
    EXPECT_EQ(chs_waitRead(reader(), 50), 1);
    EXPECT_GE(MsSince(start), 50 - 2);
    Write("x");
    EXPECT_EQ(chs_waitRead(reader(), 50), 0);
    EXPECT_EQ(chs_waitRead(-1, 50), 2);
    EXPECT_EQ(chs_waitRead(1000000, 50), 2);
    char byte;
    ASSERT_EQ(read(reader(), &byte, 1), 1);
    CloseWriter();
    EXPECT_EQ(chs_waitRead(reader(), 1000), 0) << "end of file counts as readable";
}

TEST_F(ExecCmdReadBlocks, ReadBufCountsNewlinesUpToTheLimit) {
    char buffer[16];
    EXPECT_EQ(ReadBuf(reader(), buffer, 0, 5), 0u);
    Write("a\nb\nc\n");
    memset(buffer, 'z', sizeof(buffer));
    EXPECT_EQ(ReadBuf(reader(), buffer, 5, 10), 2u);  // reads 4 bytes: "a\nb\n"
    EXPECT_STREQ(buffer, "a\nb\n");
    EXPECT_EQ(ReadBuf(reader(), buffer, 16, 0), 0u);  // reads "c\n", counts nothing
    EXPECT_STREQ(buffer, "c\n");
    Write("1\n2\n3\n4\n");
    EXPECT_EQ(ReadBuf(reader(), buffer, 16, 3), 3u);
    EXPECT_STREQ(buffer, "1\n2\n3\n4\n");
    CloseWriter();
    EXPECT_EQ(ReadBuf(reader(), buffer, 16, 3), 0u);  // end of file
    EXPECT_EQ(ReadBuf(-1, buffer, 16, 3), 0u);        // failed read
}

TEST_F(ExecCmdReadBlocks, ReadBufKeepsWholeChunksAndStopsAtTheLineLimit) {
    std::vector<char> buffer(CHS_EXEC_READ_BUF);
    Write("one\ntwo\n");
    uint32_t lines = 0;
    uint32_t inChunk = 0;
    uint32_t maxLines = 1;
    std::string output;
    chs_readBuf(buffer.data(), reader(), lines, inChunk, maxLines, output);
    EXPECT_EQ(output, "one\ntwo\n");
    EXPECT_EQ(lines, 1u);
    Write("three\n");
    chs_readBuf(buffer.data(), reader(), lines, inChunk, maxLines, output);  // the limit is reached: no read
    EXPECT_EQ(output, "one\ntwo\n");

    maxLines = 5000;  // capped to 1024
    chs_readBuf(buffer.data(), reader(), lines, inChunk, maxLines, output);
    EXPECT_EQ(maxLines, CHS_EXEC_MAX_LINES);
    EXPECT_EQ(output, "one\ntwo\nthree\n");
    Write("no newline");
    CloseWriter();
    chs_readBuf(buffer.data(), reader(), lines, inChunk, maxLines,
                output);  // a chunk without newline ends the round
    EXPECT_EQ(output, "one\ntwo\nthree\nno newline");
    EXPECT_EQ(lines, 2u);
}

// The fatal-signal handler in real child processes: what it logs, which
// signals it survives and that each is reset to its default after one delivery.
using chs_test::ReadText;
using chs_test::TempDir;
using chs_test::WriteText;

// Runs `body` in a child with the handler installed and its log in `logPath`;
// returns the child's wait status. A child still running after 30 s is
// killed, so a handler that deadlocks fails the test with SIGKILL.
template <typename Body>
int RunChild(const std::string& logPath, Body body) {
    pid_t pid = fork();
    if (pid == 0) {
        // A zone far from UTC, so that a line stamped in the wrong zone shows.
        setenv("TZ", "XST-5:30", 1);
        tzset();
        SetModuleID(551);
        dpax_log_level_set(551, 7);
        platform::LogOpen(logPath);
        if (!installException()) {
            _exit(100);
        }
        body();
        _exit(0);
    }
    int status = 0;
    if (!chs_test::WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 30000)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    return status;
}

TEST(ExceptionHandlerTest, SigpipeIsLoggedOnceThenDefault) {
    TempDir dir;
    std::string logPath = dir.Join("child.log");
    int status = RunChild(logPath, [] {
        raise(SIGPIPE);
        chsLog(1, LOGID_INFRA, "test", 1, "still running after SIGPIPE");
        raise(SIGPIPE);  // the handler was reset: this one ends the process
        _exit(3);
    });
    ASSERT_TRUE(WIFSIGNALED(status)) << "the second SIGPIPE gets the default action";
    EXPECT_EQ(WTERMSIG(status), SIGPIPE);
    std::string log = ReadText(logPath);
    EXPECT_NE(log.find("Succed in install exception handler."), std::string::npos);
    EXPECT_NE(log.find("still running after SIGPIPE"), std::string::npos);
    EXPECT_NE(log.find("receive signal(SIGPIPE):si_addr:"), std::string::npos) << log;
    EXPECT_NE(log.find("si_signo:D; "), std::string::npos) << "signal 13 in upper-case hex";
    EXPECT_NE(log.find("si_errno:0; "), std::string::npos) << "zero prints as 0";
    EXPECT_NE(log.find("[excptProc:0][0x02710]"), std::string::npos) << "line 0, log id 10000";
    EXPECT_NE(log.find("call stack:"), std::string::npos);
}

// The real fault the handler exists for; the sanitized builds must let the
// signal come instead of reporting the null store themselves.
__attribute__((no_sanitize("undefined"))) void StoreThroughNull() {
    volatile int* nowhere = nullptr;
    *nowhere = 1;
}

// A fatal signal ends the process with the signal's number as exit status;
// SIGRTMAX-3 is logged and survived.
TEST(ExceptionHandlerTest, FatalSignalsExitWithTheirNumber) {
    struct Case {
        void (*body)();
        int exitStatus;
        std::vector<std::string> logged;
    };
    const Case cases[] = {
        {StoreThroughNull, SIGSEGV, {"receive signal(SIGSEGV)", "si_addr:0; "}},
        {[] { raise(SIGTERM); }, SIGTERM, {"receive signal(SIGTERM)"}},
        {[] { raise(SIGRTMAX - 3); }, 0, {"receive signal(SIGRTMAX-3)"}},
    };
    for (const Case& c : cases) {
        TempDir dir;
        int status = RunChild(dir.Join("child.log"), c.body);
        ASSERT_TRUE(WIFEXITED(status)) << c.exitStatus;
        EXPECT_EQ(WEXITSTATUS(status), c.exitStatus);
        std::string log = ReadText(dir.Join("child.log"));
        for (const std::string& text : c.logged) {
            EXPECT_NE(log.find(text), std::string::npos) << text << "\n" << log;
        }
    }
}

// A library loaded the way the daemon loads a plugin, whose own code faults:
// the compression library reading from an address that is not mapped.
std::string g_quarantineFile;
__attribute__((no_sanitize("address", "undefined"))) void FaultInLoadedLibrary() {
    void* library = dlopen("libz.so.1", RTLD_NOW);
    auto checksum = reinterpret_cast<unsigned long (*)(unsigned long, const unsigned char*, unsigned int)>(
        library == nullptr ? nullptr : dlsym(library, "crc32"));
    if (checksum == nullptr || !PluginFaultRegister(library, "zplug", "/plugins/libz\tcut.so")) {
        _exit(101);
    }
    PluginFaultSetQuarantineFile(g_quarantineFile);
    checksum(0, reinterpret_cast<const unsigned char*>(64), 4096);
}

// The handler names the plugin whose code faulted and quarantines it; a
// release takes it out again and leaves the other entries.
TEST(ExceptionHandlerTest, FaultInPluginCodeQuarantinesThePlugin) {
    TempDir dir;
    g_quarantineFile = dir.Join("quarantine.txt");
    WriteText(g_quarantineFile, "older\t/plugins/libolder.so\n");
    int status = RunChild(dir.Join("child.log"), FaultInLoadedLibrary);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), SIGSEGV);
    EXPECT_NE(ReadText(dir.Join("child.log")).find("fault in the code of plugin zplug: quarantined"),
              std::string::npos)
        << ReadText(dir.Join("child.log"));

    std::vector<QuarantinedPlugin> entries = PluginQuarantineRead(g_quarantineFile);
    ASSERT_EQ(entries.size(), 2u) << ReadText(g_quarantineFile);
    EXPECT_EQ(entries[1].strName, "zplug");
    EXPECT_EQ(entries[1].strLibPath, "/plugins/libz cut.so");  // a tab cannot split the line
    EXPECT_EQ(PluginQuarantineRelease(g_quarantineFile, "zplug"), 1);
    EXPECT_EQ(PluginQuarantineRelease(g_quarantineFile, "zplug"), 0);
    entries = PluginQuarantineRead(g_quarantineFile);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].strName, "older");
    EXPECT_EQ(PluginFaultFind(reinterpret_cast<uintptr_t>(&FaultInLoadedLibrary)), -1);
}

TEST(ExceptionHandlerTest, LongRecordIsCutAt511Characters) {
    TempDir dir;
    int status = RunChild(dir.Join("cut.log"), [] {
        siginfo_t info{};
        info.si_signo = SIGPIPE;
        info.si_addr = reinterpret_cast<void*>(~uintptr_t{0});
        excptProc(SIGPIPE, &info, nullptr);
    });
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::string log = ReadText(dir.Join("cut.log"));
    EXPECT_NE(log.find("si_addr:FFFFFFFFFFFFFFFF; "), std::string::npos) << log;
    for (size_t start = 0, end; (end = log.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = log.substr(start, end - start);
        size_t body = line.find("] ", line.find("[0x02710]"));
        if (body != std::string::npos) {
            EXPECT_LE(line.size() - body - 2, 511u);
        }
    }
}

// A SIGTERM that lands while another thread holds the log lock is still logged
// and still ends the process. The other thread holds the lock inside LogOpen,
// blocked in the open(2) of a FIFO that nobody reads.
TEST(ExceptionHandlerTest, SignalWhileAnotherThreadHoldsTheLogLock) {
    TempDir dir;
    std::string logPath = dir.Join("child.log");
    std::string fifoPath = dir.Join("fifo.log");
    ASSERT_EQ(mkfifo(fifoPath.c_str(), 0600), 0);
    int status = RunChild(logPath, [&fifoPath] {
        chsLog(1, LOGID_INFRA, "test", 1, "a normal line");
        std::atomic<long> tid{0};
        std::thread([&] {
            tid = syscall(SYS_gettid);
            platform::LogOpen(fifoPath);
        }).detach();
        bool holding = chs_test::WaitFor(
            [&] {
                long call = -1;
                std::ifstream("/proc/self/task/" + std::to_string(tid.load()) + "/syscall") >> call;
                return tid != 0 && call == SYS_openat;
            },
            10000);
        if (!holding) {
            _exit(4);
        }
        raise(SIGTERM);
        _exit(3);
    });
    ASSERT_TRUE(WIFEXITED(status)) << "killed after the bound: the handler waited for the log lock";
    ASSERT_EQ(WEXITSTATUS(status), SIGTERM) << "4: the other thread never blocked in the open";

    // The handler's line has the layout of a normal line, stamped in the same zone.
    std::string log = ReadText(logPath);
    const std::regex layout(R"((\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\.\d{6} \[551\]\[(ERROR|INFO)\]\[\d+\]\[)"
                            R"((test:1\]\[0x03000\] a normal line|)"
                            R"(excptProc:0\]\[0x02710\] receive signal\(SIGTERM\):si_addr:.*; )\n)");
    std::vector<time_t> stamps;
    for (std::sregex_iterator it(log.begin(), log.end(), layout), end; it != end; ++it) {
        struct tm local {};
        ASSERT_NE(strptime((*it)[1].str().c_str(), "%Y-%m-%d %H:%M:%S", &local), nullptr);
        stamps.push_back(timegm(&local));
    }
    ASSERT_EQ(stamps.size(), 2u) << log;
    EXPECT_LE(std::labs(static_cast<long>(stamps[1] - stamps[0])), 60L) << log;
}

}  // namespace
