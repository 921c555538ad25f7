// The daemon as a real process: what it runs before anything else, what its
// children could inherit, and how a fatal signal ends it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace chs_test;

class DaemonHardeningTest : public ::testing::Test {
protected:
    void SetUp() override {
        cluster = dir.Join("cluster");
        RunResult made = RunProgram({BinaryPath("tools/chsctl"), "mkcluster", cluster});
        ASSERT_EQ(made.exitCode, 0) << made.err;
        // A look-alike found first through PATH: the daemon must never run it.
        MakeDirs(dir.Join("path"));
        WriteText(dir.Join("path/omm_cgroup.sh"), "#!/bin/sh\ntouch '" + PathMarker() + "'\n");
        chmod(dir.Join("path/omm_cgroup.sh").c_str(), 0755);
    }
    std::vector<std::string> Env() { return {"PATH=" + dir.Join("path") + ":/usr/bin:/bin"}; }
    std::string PathMarker() { return dir.Join("path-script-ran"); }
    std::string NodeLog() { return ReadText(cluster + "/node0/var/log/chs/infocollector.log"); }

    TempDir dir;
    std::string cluster;
};

TEST_F(DaemonHardeningTest, HelpPrintsTheUsageAndRunsNothing) {
    RunResult help = RunProgram({BinaryPath("core/infocollector"), "--help"}, Env());
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_EQ(help.out.rfind("usage: infocollector -m INFOCOLLECTOR", 0), 0u) << help.out;
    EXPECT_FALSE(std::filesystem::exists(PathMarker()));
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

TEST_F(DaemonHardeningTest, RunsTheProfilesScriptKeepsEveryDescriptorFromChildrenAndLogsAFatalSignal) {
    // Left open by the "launcher" (this test) without close-on-exec.
    int inherited = open(dir.Join("inherited").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(inherited, 3);
    Process daemon({BinaryPath("core/infocollector"), "-m", "INFOCOLLECTOR", cluster + "/cluster.json", "0", "-r",
                    cluster + "/node0"},
                   Env(), dir.Join("daemon.out"));
    close(inherited);
    ASSERT_TRUE(WaitFor([&] { return NodeLog().find("Info collector init Done.") != std::string::npos; }, 20000))
        << NodeLog();

    EXPECT_NE(ReadText(cluster + "/run/cgroup.log").find("accepted: -m INFOCOLLECTOR " + std::to_string(daemon.pid())),
              std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(PathMarker())) << "omm_cgroup.sh was looked up in PATH";
    EXPECT_EQ(DescriptorsWithoutCloseOnExec(daemon.pid()), "");

    int status = daemon.Stop(SIGTERM);
    ASSERT_TRUE(WIFEXITED(status)) << "the handler ends the process with the signal's number";
    EXPECT_EQ(WEXITSTATUS(status), SIGTERM);
    EXPECT_NE(NodeLog().find("receive signal(SIGTERM)"), std::string::npos);
}

}  // namespace
