// The daemon as a real process in a real simulated cluster: what it refuses
// at start-up, what a good start leaves in the node's log, what its children
// could inherit, and how a fatal signal ends it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "tests/support/cluster_setup.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

using chs_test::BinaryPath;
using chs_test::Process;
using chs_test::ReadText;
using chs_test::RunProgram;
using chs_test::RunResult;
using chs_test::TempDir;
using chs_test::WaitFor;

class DaemonStartupTest : public ::testing::Test {
protected:
    void SetUp() override {
        cluster = chs_test::MakeCluster(dir, 2, {"--log-level", "7"});
        // A look-alike found first through PATH: the daemon must never run it.
        chs_test::MakeDirs(dir.Join("path"));
        chs_test::WriteText(dir.Join("path/omm_cgroup.sh"), "#!/bin/sh\ntouch '" + PathMarker() + "'\n");
        chmod(dir.Join("path/omm_cgroup.sh").c_str(), 0755);
    }
    std::string PathMarker() { return dir.Join("path-script-ran"); }

    std::vector<std::string> DaemonArgs(const std::string& clusterFile, const std::string& node,
                                        const std::string& root) {
        return {BinaryPath("core/infocollector"), "-m", "INFOCOLLECTOR", clusterFile, node, "-r", root};
    }
    std::vector<std::string> Env() { return {"PATH=" + dir.Join("path") + ":" + cluster + "/bin:/usr/bin:/bin"}; }
    std::string NodeLog(int node) {
        return ReadText(cluster + "/node" + std::to_string(node) + "/var/log/chs/infocollector.log");
    }
    bool LogHas(int node, const std::string& text) { return NodeLog(node).find(text) != std::string::npos; }

    // A refused start: exit status 1 and one line on standard error naming the reason.
    void ExpectRefused(const std::vector<std::string>& args, const std::string& reason) {
        RunResult result = RunProgram(args, Env(), 10000);
        EXPECT_EQ(result.exitCode, 1) << result.err;
        EXPECT_NE(result.err.find(reason), std::string::npos) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    }

    TempDir dir;
    std::string cluster;
};

TEST_F(DaemonStartupTest, BadArgumentsEndStartUpWithStatusOne) {
    std::string file = cluster + "/cluster.json";
    std::string root = cluster + "/node0";
    ExpectRefused({BinaryPath("core/infocollector"), "-m", "INFOCOLLECTOR"}, "usage:");
    ExpectRefused(DaemonArgs(cluster + "/missing.json", "0", root), "cannot read cluster file");
    chs_test::WriteText(dir.Join("broken.json"), "{\"nodes\": [");
    ExpectRefused(DaemonArgs(dir.Join("broken.json"), "0", root), "not valid JSON");
    ExpectRefused(DaemonArgs(file, "5", root), "node 5 is not a node of");
    ExpectRefused(DaemonArgs(file, "zero", root), "is not a number from 0 to 15");
    ExpectRefused(DaemonArgs(file, "0", cluster + "/node9"), "is not an existing absolute directory");

    RunResult help = RunProgram({BinaryPath("core/infocollector"), "--help"}, Env());
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.out.rfind("usage: infocollector -m INFOCOLLECTOR", 0), 0u) << help.out;
    EXPECT_FALSE(std::filesystem::exists(PathMarker()));
}

TEST_F(DaemonStartupTest, StartsWaitsForPowerOnAndSupervises) {
    chs_test::WriteText(cluster + "/state/power_on_phase", "0");
    Process daemon(DaemonArgs(cluster + "/cluster.json", "0", cluster + "/node0"), Env(), dir.Join("daemon.out"));
    ASSERT_TRUE(WaitFor([&] { return LogHas(0, "attached to cluster"); }, 10000)) << NodeLog(0);
    // The redirection follows the attach at once, but not in the same instant.
    EXPECT_TRUE(WaitFor([&] { return LogHas(0, "Close stderr out, result:2."); }, 10000)) << NodeLog(0);
    EXPECT_TRUE(LogHas(0, "Close stdout out, result:1."));

    // The controller is not powered on: no initialisation yet.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_FALSE(LogHas(0, "Info collector init Done."));
    chs_test::WriteText(cluster + "/state/power_on_phase", "1");

    ASSERT_TRUE(WaitFor([&] { return LogHas(0, "[OMM]Info collector init Done."); }, 10000)) << NodeLog(0);
    ASSERT_TRUE(WaitFor([&] { return LogHas(0, "Supervision cycle 1 done"); }, 10000)) << NodeLog(0);
    EXPECT_TRUE(daemon.Running());
    EXPECT_NE(ReadText(cluster + "/run/cgroup.log").find("accepted: -m INFOCOLLECTOR " +
                                                          std::to_string(daemon.pid())),
              std::string::npos);

    // Endpoint 551 is served: a request nobody handles is logged and left unanswered.
    chs_test::WriteText(dir.Join("request.json"), R"({"msgHdr": {"usReceiverPID": 551, "uiMsgOPCode": 4660,
        "usMsgType": 1, "uiMsgTimeout": 1}, "msgBody": [{"cmd": 1, "cells": []}]})");
    RunResult sent = RunProgram({BinaryPath("tools/chsctl"), "send", "--cluster", cluster, "--node", "0",
                                 dir.Join("request.json")});
    EXPECT_EQ(sent.exitCode, 4) << sent.err;
    EXPECT_TRUE(WaitFor([&] { return LogHas(0, "The message key(4660) does not exist."); }, 5000)) << NodeLog(0);

    // The node is online while its daemon runs, and a second daemon is refused.
    ExpectRefused(DaemonArgs(cluster + "/cluster.json", "0", cluster + "/node0"), "already has a running daemon");
    int fd = open((cluster + "/run/node0.presence").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_NE(flock(fd, LOCK_SH | LOCK_NB), 0);
    daemon.Stop(SIGKILL);
    EXPECT_EQ(flock(fd, LOCK_SH | LOCK_NB), 0) << "the presence ends with the process";
    close(fd);
}

size_t CountIn(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) {
        ++count;
    }
    return count;
}

// Descriptors of the daemon without close-on-exec, as "fd -> target".
std::string DescriptorsWithoutCloseOnExec(pid_t pid) {
    std::string found;
    std::string proc = "/proc/" + std::to_string(pid);
    for (const auto& entry : std::filesystem::directory_iterator(proc + "/fd")) {
        std::string fd = entry.path().filename().string();
        if (std::stoi(fd) <= 2) {
            continue;
        }
        std::ifstream info(proc + "/fdinfo/" + fd);
        std::string key;
        std::string flags;
        while (info >> key >> flags && key != "flags:") {
        }
        // A descriptor closed since the listing has no flags left to check.
        if (key == "flags:" && (std::stoul(flags, nullptr, 8) & O_CLOEXEC) == 0) {
            std::error_code ec;
            found += fd + " -> " + std::filesystem::read_symlink(entry.path(), ec).string() + "\n";
        }
    }
    return found;
}

TEST_F(DaemonStartupTest, KeepsEveryDescriptorFromChildrenAndLogsAFatalSignal) {
    // Left open by the "launcher" (this test) without close-on-exec.
    int inherited = open(dir.Join("inherited").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(inherited, 3);
    // SIGTERM is a clean shutdown (plugin_lifecycle_test); these end the
    // process through the handler, with the signal's number as exit status.
    const struct {
        int signo;
        const char* logged;
    } kFatal[] = {{SIGSEGV, "receive signal(SIGSEGV)"}, {SIGABRT, "receive signal(SIGABRT)"}};
    size_t started = 0;
    for (const auto& fatal : kFatal) {
        SCOPED_TRACE(fatal.logged);
        Process daemon(DaemonArgs(cluster + "/cluster.json", "0", cluster + "/node0"), Env(),
                       dir.Join("daemon.out"));
        if (inherited >= 0) {
            close(inherited);
            inherited = -1;
        }
        ++started;
        ASSERT_TRUE(
            WaitFor([&] { return CountIn(NodeLog(0), "Info collector init Done.") == started; }, 20000))
            << NodeLog(0);
        EXPECT_FALSE(std::filesystem::exists(PathMarker())) << "omm_cgroup.sh was looked up in PATH";
        EXPECT_EQ(DescriptorsWithoutCloseOnExec(daemon.pid()), "");

        int status = daemon.Stop(fatal.signo);
        ASSERT_TRUE(WIFEXITED(status)) << "the handler ends the process with the signal's number";
        EXPECT_EQ(WEXITSTATUS(status), fatal.signo);
        EXPECT_TRUE(LogHas(0, fatal.logged));
    }
    EXPECT_FALSE(LogHas(0, "fault in the code of plugin")) << "no plugin code ran";
}

}  // namespace
