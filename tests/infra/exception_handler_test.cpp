// The fatal-signal handler in real child processes: what it logs, which
// signals it survives and that each is reset to its default after one delivery.
#include "infra/exception_handler.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "infra/chs_log.h"
#include "platform/dplog.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

using chs_test::ReadText;
using chs_test::TempDir;

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
