// The command runner against the real /bin/sh.
#include "infra/exec_cmd.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/log_capture.h"
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

size_t CountOpenFds() {
    size_t count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return 0;
    }
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    closedir(dir);
    return count;  // includes the descriptor of the listing itself, before and after alike
}

// True when this process has no child left, running or ended; reaps nothing.
bool NoChildren() {
    siginfo_t info {};
    return waitid(P_ALL, 0, &info, WEXITED | WSTOPPED | WNOHANG | WNOWAIT) == -1 && errno == ECHILD;
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

// ---------------------------------------------------------------- capture

TEST(ExecCmdCapture, TwoLinesInOneChunkBothComeBackUnderALineLimitOfOne) {
    EXPECT_EQ(chs_execCmd("printf 'first\\nsecond\\n'", 1, 5000), "first\nsecond\n");
}

TEST(ExecCmdCapture, NothingIsReadAfterTheChunkThatReachesTheLineLimit) {
    std::string output;
    int32_t status = -1;
    pid_t pid = 0;
    ASSERT_EQ(chs_safeSystemSub("echo one; sleep 0.3; echo two; exit 6", nullptr, 5000, &status, &pid, 1, output), 0);
    EXPECT_EQ(output, "one\n");
    EXPECT_EQ(status, 6);  // the command itself ran to its end
    EXPECT_GT(pid, 0);
}

TEST(ExecCmdCapture, OutputIsAppendedAndLinesUpToTheLimitAreKept) {
    std::string output = "before|";
    int32_t status = -1;
    pid_t pid = 0;
    ASSERT_EQ(chs_safeSystemSub("for i in 1 2 3; do echo $i; sleep 0.05; done", nullptr, 5000, &status, &pid, 1024,
                                output),
              0);
    EXPECT_EQ(output, "before|1\n2\n3\n");
    EXPECT_EQ(status, 0);
}

TEST(ExecCmdCapture, ALineLongerThanAChunkIsKeptWhole) {
    // 5000 bytes and no newline at all: more than four chunks of 1022 bytes.
    std::string output = chs_execCmd("head -c 5000 /dev/zero | tr '\\0' x", 10, 5000);
    EXPECT_EQ(output, std::string(5000, 'x'));
}

TEST(ExecCmdCapture, OutputBeyondTheSizeCapIsNotCapturedAndTheWriterRunsIntoTheTimeout) {
    LogCapture log;
    // About 2 MB in lines of 2000 bytes: the size cap comes long before 1024 lines.
    std::string output;
    int32_t status = -1;
    pid_t pid = 0;
    Clock::time_point start = Clock::now();
    int32_t ret = chs_safeSystemSub("line=$(head -c 1999 /dev/zero | tr '\\0' y); i=0; "
                                    "while [ $i -lt 1000 ]; do echo \"$line\"; i=$((i+1)); done",
                                    nullptr, 1500, &status, &pid, 1024, output);
    int64_t elapsed = MsSince(start);
    EXPECT_GT(output.size(), static_cast<size_t>(CHS_EXEC_MAX_OUTPUT));
    EXPECT_LE(output.size(), static_cast<size_t>(CHS_EXEC_MAX_OUTPUT) + CHS_EXEC_READ_BUF - 2);
    EXPECT_EQ(output.find_first_not_of("y\n"), std::string::npos);
    // The rest stays in the pipe, the shell blocks on it and is killed at the time-out.
    EXPECT_EQ(ret, CHS_EXEC_ERR);
    EXPECT_LT(elapsed, 5000);
    EXPECT_TRUE(log.Contains("return 129."));
    EXPECT_TRUE(NoChildren());
}

TEST(ExecCmdCapture, ZeroLinesCapturesNothing) {
    std::string output;
    int32_t status = -1;
    pid_t pid = 0;
    // The child writes to the inherited standard output (here: the test's).
    ASSERT_EQ(chs_safeSystemSub("echo not-captured >/dev/null; exit 2", nullptr, 5000, &status, &pid, 0, output), 0);
    EXPECT_EQ(output, "");
    EXPECT_EQ(status, 2);
    EXPECT_EQ(chs_execCmd("true", 0, 5000), "");
}

TEST(ExecCmdCapture, ArgvFormRunsTheProgramWithoutAShell) {
    char* argv[] = {const_cast<char*>("printf"), const_cast<char*>("%s|%s"), const_cast<char*>("$(echo hi) *"),
                    const_cast<char*>("a b"), nullptr};
    std::string output;
    int32_t status = -1;
    pid_t pid = 0;
    ASSERT_EQ(chs_safeSystemSub("/usr/bin/printf", argv, 5000, &status, &pid, 10, output), 0);
    EXPECT_EQ(output, "$(echo hi) *|a b");
    EXPECT_EQ(status, 0);
}

TEST(ExecCmdCapture, NullCommandIsRefused) {
    LogCapture log;
    std::string output;
    int32_t status = -1;
    pid_t pid = 0;
    EXPECT_EQ(chs_safeSystemSub(nullptr, nullptr, 1000, &status, &pid, 1, output), CHS_EXEC_ERR);
    EXPECT_EQ(chs_safeSystemSubWithStdin(nullptr, "x", &status, 1000), CHS_EXEC_ERR);
    EXPECT_EQ(log.Count("(ASSERTION FAILURE) pcCmd is NULL, return(RETURN_ERR)!"), 2u);
}

// ---------------------------------------------------------------- exit status

TEST(ExecCmdStatus, ExitStatusAndMissingPrograms) {
    EXPECT_EQ(chs_execCmdWithoutOutput("exit 3", 5000), 3);
    EXPECT_EQ(chs_execCmdWithoutOutput("/bin/true", 0), 0);
    // The shell's status for a program it cannot find.
    EXPECT_EQ(chs_execCmdWithoutOutput("/no/such/program 2>/dev/null", 5000), 127);

    // argv form: the exec itself fails and the child ends with 127.
    char* argv[] = {const_cast<char*>("missing"), nullptr};
    std::string output;
    int32_t status = -1;
    pid_t pid = 0;
    EXPECT_EQ(chs_safeSystemSub("/no/such/program", argv, 5000, &status, &pid, 1, output), 0);
    EXPECT_EQ(status, 127);
    EXPECT_EQ(output, "");
}

TEST(ExecCmdStatus, AChildEndedBySigtermIsAFailure) {
    LogCapture log;
    std::string output;
    int32_t status = -1;
    pid_t pid = 0;
    EXPECT_EQ(chs_safeSystemSub("kill -TERM $$; sleep 5", nullptr, 5000, &status, &pid, 1, output), CHS_EXEC_ERR);
    EXPECT_TRUE(log.Contains("The child was killed by signal 15."));
    EXPECT_TRUE(log.Contains("The child " + std::to_string(pid) + " executes (kill -TERM $$; sleep 5) failed, return 128."));

    log.Clear();
    EXPECT_EQ(chs_execCmdWithoutOutput("kill -TERM $$", 5000), CHS_EXEC_ERR);
    EXPECT_TRUE(log.Contains("Excute cmd [kill -TERM $$] failed, ret -1"));
}

TEST(ExecCmdStatus, GetExitStatusDecodesWaitStatuses) {
    LogCapture log;
    int32_t exitStatus = -1;
    EXPECT_EQ(chs_getExitStatus(3 << 8, &exitStatus), 0);
    EXPECT_EQ(exitStatus, 3);
    EXPECT_EQ(chs_getExitStatus(255 << 8, nullptr), 0);
    EXPECT_EQ(chs_getExitStatus(SIGTERM, &exitStatus), CHS_WAIT_SIGNALED);
    EXPECT_EQ(exitStatus, 3);  // untouched
    EXPECT_TRUE(log.Contains("The child was killed by signal 15."));
    log.Clear();
    EXPECT_EQ(chs_getExitStatus((SIGSTOP << 8) | 0x7F, &exitStatus), CHS_WAIT_SIGNALED);  // stopped
    EXPECT_FALSE(log.Contains("killed by signal"));
}

// ---------------------------------------------------------------- time-out

TEST(ExecCmdTimeout, AnOverrunningCommandIsKilledWithItsWholeProcessGroup) {
    TempDir dir;
    std::string pidFile = dir.Join("grandchild.pid");
    // Become the reaper of orphans, so that the killed grandchild comes back to us.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    LogCapture log;
    std::string output;
    int32_t status = -1;
    pid_t pid = 0;
    std::string cmd = "sleep 30 & echo $! > '" + pidFile + "'; sleep 30";
    Clock::time_point start = Clock::now();
    int32_t ret = chs_safeSystemSub(cmd.c_str(), nullptr, 500, &status, &pid, 1, output);
    int64_t elapsed = MsSince(start);
    EXPECT_EQ(ret, CHS_EXEC_ERR);
    EXPECT_GE(elapsed, 500 - 2);  // the clock counts whole milliseconds
    EXPECT_LT(elapsed, 3000);
    EXPECT_TRUE(log.Contains("The child " + std::to_string(pid) + " runs out of time(timeout 500 ms"));
    EXPECT_TRUE(log.Contains("The child " + std::to_string(pid) + " executes (" + cmd + ") failed, return 129."));

    // Everything the shell started comes back to us, killed.
    pid_t grandchild = static_cast<pid_t>(std::stol(ReadText(pidFile)));
    std::set<pid_t> killed;
    bool othersKilled = true;
    for (int i = 0; i < 200; ++i) {  // at most 2 s
        int gstatus = 0;
        pid_t reaped = waitpid(-1, &gstatus, WNOHANG);
        if (reaped < 0) {
            break;  // no child left
        }
        if (reaped > 0) {
            killed.insert(reaped);
            othersKilled = othersKilled && WIFSIGNALED(gstatus) && WTERMSIG(gstatus) == SIGKILL;
        } else {
            usleep(10000);
        }
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    // The shell may have reaped the grandchild itself before it died; either
    // way the background sleep must be gone.
    bool gone = killed.count(grandchild) == 1 || (kill(grandchild, 0) != 0 && errno == ESRCH);
    EXPECT_TRUE(gone) << "the background sleep survived";
    EXPECT_TRUE(othersKilled);
    EXPECT_TRUE(NoChildren());
}

TEST(ExecCmdTimeout, TheWaitLayerReturns129) {
    pid_t pid = SpawnInOwnGroup("/bin/sleep", {"sleep", "30"});
    ASSERT_GT(pid, 0);
    std::string output;
    int32_t status = -1;
    Clock::time_point start = Clock::now();
    EXPECT_EQ(chs_waitChild(pid, -1, 300, &status, 0, output), CHS_WAIT_TIMEOUT);
    EXPECT_GE(MsSince(start), 300 - 2);
    EXPECT_EQ(status, -1);
    EXPECT_TRUE(NoChildren());  // killed and reaped
}

TEST(ExecCmdTimeout, ZeroMeansNoTimeLimit) {
    Clock::time_point start = Clock::now();
    EXPECT_EQ(chs_execCmdWithoutOutput("sleep 0.7; exit 4", 0), 4);
    EXPECT_GE(MsSince(start), 700);
    EXPECT_EQ(chs_execCmd("sleep 0.3; echo late", 1, 0), "late\n");
}

TEST(ExecCmdTimeout, TimeoutFailureIsLoggedByTheWrapper) {
    LogCapture log;
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
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0 &&
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
        if (!denied) {
            return;
        }
        for (int i = 0; i < 10; ++i) {
            failures += chs_execCmd("echo hi", 1, 5000) != "hi\n";
            failures += chs_execCmd("echo a; echo b", 1024, 5000) != "a\nb\n";
            failures += chs_execCmdWithoutOutput("exit 3", 5000) != 3;
        }
        Clock::time_point killStart = Clock::now();
        timedOut = chs_execCmdWithoutOutput("sleep 5", 300);
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

// ---------------------------------------------------------------- the child's setting

TEST(ExecCmdChild, RunsInAProcessGroupOfItsOwn) {
    std::string output = chs_execCmd("echo $$ $(cut -d' ' -f5 /proc/$$/stat)", 1, 5000);
    size_t space = output.find(' ');
    ASSERT_NE(space, std::string::npos) << output;
    EXPECT_EQ(output.substr(0, space), output.substr(space + 1, output.size() - space - 2));
    EXPECT_NE(output.substr(0, space), std::to_string(getpgrp()));
}

TEST(ExecCmdChild, InheritsOnlyTheStandardDescriptors) {
    int plain = open("/dev/null", O_RDONLY);  // not close-on-exec
    ASSERT_GE(plain, 0);
    int high = dup2(plain, 900);
    ASSERT_EQ(high, 900);
    std::string output = chs_execCmd("ls /proc/$$/fd", 100, 5000);
    close(plain);
    close(high);
    EXPECT_EQ(output, "0\n1\n2\n");
}

TEST(ExecCmdChild, InterruptAndQuitAreResetToTheirDefault) {
    for (int sig : {SIGINT, SIGQUIT}) {
        struct sigaction ignore {};
        struct sigaction old {};
        ignore.sa_handler = SIG_IGN;
        sigaction(sig, &ignore, &old);
        std::string cmd = "ulimit -c 0; kill -" + std::to_string(sig) + " $$; echo survived";
        std::string output;
        int32_t status = -1;
        pid_t pid = 0;
        int32_t ret = chs_safeSystemSub(cmd.c_str(), nullptr, 5000, &status, &pid, 1, output);
        sigaction(sig, &old, nullptr);
        EXPECT_EQ(ret, CHS_EXEC_ERR) << "signal " << sig;
        EXPECT_EQ(output, "") << "signal " << sig;
    }
}

// ---------------------------------------------------------------- standard input

TEST(ExecCmdStdin, PasswordGoesToStandardInputAndNowhereElse) {
    TempDir dir;
    LogCapture log;
    const std::string password = "pa55-W0rd'\"$x";
    std::string cmd = "cat > '" + dir.Join("in") + "'; cat /proc/$$/cmdline > '" + dir.Join("cmdline") + "'; exit 4";
    EXPECT_EQ(chs_execCmdWithPassword(cmd, password, 5000), 4);
    EXPECT_EQ(ReadText(dir.Join("in")), password + std::string(1, '\0'));  // with its NUL byte
    std::string cmdline = ReadText(dir.Join("cmdline"));
    EXPECT_NE(cmdline.find("cat > "), std::string::npos);
    EXPECT_EQ(cmdline.find(password), std::string::npos);
    EXPECT_FALSE(log.Contains(password));

    EXPECT_EQ(chs_execCmdWithPassword("exit 0", password, 5000), 0);
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

// ---------------------------------------------------------------- resources

TEST(ExecCmdResources, NoDescriptorOrZombieIsLeftBehind) {
    size_t before = CountOpenFds();
    for (int i = 0; i < 60; ++i) {
        EXPECT_EQ(chs_execCmd("echo $$", 1, 5000).empty(), false);
        EXPECT_EQ(chs_execCmdWithoutOutput("exit 1", 5000), 1);
        EXPECT_EQ(chs_execCmdWithPassword("cat >/dev/null", "secret", 5000), 0);
        if (i % 20 == 0) {
            EXPECT_EQ(chs_execCmdWithoutOutput("sleep 5", 50), CHS_EXEC_ERR);
            EXPECT_EQ(chs_execCmd("echo x; sleep 5", 5, 50), "x\n");
        }
    }
    EXPECT_EQ(CountOpenFds(), before);
    EXPECT_TRUE(NoChildren());
}

TEST(ExecCmdResources, ConcurrentCallersGetTheirOwnResults) {
    size_t before = CountOpenFds();
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([t, &wrong] {
            for (int i = 0; i < 15; ++i) {
                std::string tag = std::to_string(t * 100 + i);
                if (chs_execCmd("echo tag-" + tag, 1, 10000) != "tag-" + tag + "\n") {
                    ++wrong;
                }
                if (chs_execCmdWithoutOutput("exit " + std::to_string(t + 1), 10000) != t + 1) {
                    ++wrong;
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

// ---------------------------------------------------------------- process state and kill

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

    kill(pid, SIGSTOP);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, WUNTRACED), pid);
    EXPECT_EQ(StateOf(pid), 'T');

    kill(pid, SIGKILL);
    siginfo_t info {};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT), 0);  // ended, not reaped
    EXPECT_EQ(StateOf(pid), 'Z');
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
}

TEST(ExecCmdProcess, StateFailures) {
    LogCapture log;
    EXPECT_EQ(chs_getProcessState(getpid(), nullptr), CHS_EXEC_ERR);
    EXPECT_TRUE(log.Contains("(ASSERTION FAILURE) pcState is NULL, return(RETURN_ERR)!"));
    char state = '?';
    EXPECT_EQ(chs_getProcessState(99999999, &state), CHS_WAIT_FAILED);
    EXPECT_TRUE(log.Contains("Open file (/proc/99999999/stat) failed, return 130, errinfo:("));
    EXPECT_EQ(state, '?');
    EXPECT_EQ(chs_getProcessState(getpid(), &state), 0);
    EXPECT_EQ(state, 'R');
}

TEST(ExecCmdProcess, KillChildKillsTheGroupAndReaps) {
    pid_t pid = SpawnInOwnGroup("/bin/sh", {"sh", "-c", "sleep 30 & sleep 30"});
    ASSERT_GT(pid, 0);
    usleep(50000);
    EXPECT_EQ(chs_killChild(pid), 0);
    EXPECT_EQ(kill(pid, 0), -1);  // reaped: the id is gone
    EXPECT_TRUE(NoChildren());

    LogCapture log;
    EXPECT_EQ(chs_killChild(99999999), CHS_WAIT_FAILED);  // neither our child nor anyone's
    EXPECT_EQ(chs_killChild(0), CHS_WAIT_FAILED);         // never our own group
}

TEST(ExecCmdProcess, WaitingForSomethingThatIsNotOurChildFails) {
    LogCapture log;
    std::string output;
    int32_t status = -1;
    EXPECT_EQ(chs_waitChild(0, -1, 100, &status, 0, output), CHS_WAIT_FAILED);
    EXPECT_EQ(chs_waitChild(99999999, -1, 100, &status, 0, output), CHS_WAIT_FAILED);
    EXPECT_TRUE(log.Contains("Wait child 99999999 failed(errinfo:("));
}

// ---------------------------------------------------------------- read building blocks

class ExecCmdReadBlocks : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(pipe(m_fds), 0); }
    void TearDown() override {
        CloseWriter();
        close(m_fds[0]);
    }
    void Write(const std::string& text) { ASSERT_EQ(write(m_fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size())); }
    void CloseWriter() {
        if (m_fds[1] >= 0) {
            close(m_fds[1]);
            m_fds[1] = -1;
        }
    }
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
}

TEST_F(ExecCmdReadBlocks, WaitReadCountsEndOfFileAsReadable) {
    CloseWriter();
    EXPECT_EQ(chs_waitRead(reader(), 1000), 0);
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
    chs_readBuf(buffer.data(), reader(), lines, inChunk, maxLines, output);  // a chunk without newline ends the round
    EXPECT_EQ(output, "one\ntwo\nthree\nno newline");
    EXPECT_EQ(lines, 2u);
}

}  // namespace
