// The cluster key and the transfer library script laid out by `chsctl mkcluster`.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "tests/support/cluster_key.h"
#include "tests/support/process.h"

namespace {

using namespace chs_test;

std::string KeyPath(const std::string& cluster, int node) {
    return cluster + "/node" + std::to_string(node) + "/VXA/conf/kmca/cluster.key";
}

mode_t ModeOf(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

RunResult MakeCluster(const std::string& cluster, int nodes) {
    return RunProgram({BinaryPath("tools/chsctl"), "mkcluster", cluster, "--nodes", std::to_string(nodes)});
}

TEST(ChsctlMkclusterTest, EveryNodeGetsTheSameOwnerOnlyKeyAndTheTransferScript) {
    TempDir dir;
    std::string cluster = dir.Join("c");
    RunResult made = MakeCluster(cluster, 3);
    ASSERT_EQ(made.exitCode, 0) << made.err;
    std::string key = ReadText(KeyPath(cluster, 0));
    for (int node = 0; node < 3; ++node) {
        EXPECT_EQ(ReadText(KeyPath(cluster, node)), key) << node;
        EXPECT_EQ(ModeOf(KeyPath(cluster, node)), 0600u);
        EXPECT_EQ(ModeOf(cluster + "/node" + std::to_string(node) + "/VXA/conf/kmca"), 0700u);
        EXPECT_NE(
            ModeOf(cluster + "/node" + std::to_string(node) + "/VXA/script/os_transfer_file_lib.sh") & 0100,
            0u);
    }

    // The installed script keeps its password under the installed key.
    std::string script = cluster + "/node1/VXA/script/os_transfer_file_lib.sh";
    RunResult set = RunProgram({"/bin/sh", "-c", "printf 'Pa ss\\n' | " + script + " set_ibc_password"});
    ASSERT_EQ(set.exitCode, 0) << set.err;
    EXPECT_EQ(RunProgram({script, "get_ibc_password"}).out, "Pa ss\n");

    RunResult again = MakeCluster(cluster, 3);
    EXPECT_NE(again.exitCode, 0);
    EXPECT_EQ(ReadText(KeyPath(cluster, 1)), key) << "a second layout leaves the key alone";
}

// A directory left by an unfinished layout: the key one node root holds may
// have encrypted data already, so it is kept; two different keys are refused.
TEST(ChsctlMkclusterTest, KeepsAKeyLeftInANodeRootAndRefusesTwoDifferentOnes) {
    TempDir dir;
    std::string cluster = dir.Join("c");
    UseNodeRootWithKey(cluster + "/node1");
    UseNodeRoot("/");
    std::string kept = ReadText(KeyPath(cluster, 1));
    RunResult made = MakeCluster(cluster, 2);
    ASSERT_EQ(made.exitCode, 0) << made.err;
    EXPECT_EQ(ReadText(KeyPath(cluster, 0)), kept);
    EXPECT_EQ(ReadText(KeyPath(cluster, 1)), kept);

    std::string other = dir.Join("d");
    UseNodeRootWithKey(other + "/node0");
    UseNodeRootWithKey(other + "/node1");
    UseNodeRoot("/");
    std::string first = ReadText(KeyPath(other, 0));
    RunResult refused = MakeCluster(other, 2);
    EXPECT_NE(refused.exitCode, 0);
    EXPECT_NE(refused.err.find("different cluster keys"), std::string::npos) << refused.err;
    EXPECT_EQ(ReadText(KeyPath(other, 0)), first);
}

}  // namespace
