// The fatal-signal handler in real child processes: what it logs, which
// signals it survives and that each is reset to its default after one delivery.
#include "infra/exception_handler.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "infra/chs_log.h"
#include "platform/dplog.h"
#include "tests/support/temp_dir.h"

namespace {

using chs_test::ReadText;
using chs_test::TempDir;

// Runs `body` in a child with the handler installed and its log in `logPath`;
// returns the child's wait status.
template <typename Body>
int RunChild(const std::string& logPath, Body body) {
    pid_t pid = fork();
    if (pid == 0) {
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
    waitpid(pid, &status, 0);
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

}  // namespace
