// The cluster key and the transfer library script laid out by `chsctl mkcluster`.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "platform/om_ccdb.h"
#include "platform/om_cluster.h"
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

// The configuration database holds the proxy password and the site id,
// peers.json session keys: owner and group only, even under umask 0; wider
// files are reported by chsctl and the database is narrowed when opened.
TEST(ChsctlMkclusterTest, SecretFilesAreNeverReadableByOthers) {
    TempDir dir;
    std::string cluster = dir.Join("c");
    mode_t saved = umask(0);
    RunResult made = MakeCluster(cluster, 1);
    umask(saved);
    ASSERT_EQ(made.exitCode, 0) << made.err;
    std::string db = cluster + "/ccdb.sqlite";
    EXPECT_EQ(ModeOf(db), 0640u);

    chmod(db.c_str(), 0666);
    WriteText(db + "-wal", "");
    chmod((db + "-wal").c_str(), 0644);
    WriteText(cluster + "/peers.json", "{}");
    chmod((cluster + "/peers.json").c_str(), 0644);
    chmod(KeyPath(cluster, 0).c_str(), 0640);
    RunResult used = RunProgram({BinaryPath("tools/chsctl"), "--cluster", cluster, "--node", "0", "--timeout", "1",
                                 "switch", "get"});
    for (const std::string& warning :
         {db + " holds secrets and has mode 0666; chmod 0640 " + db, db + "-wal holds secrets and has mode 0644",
          cluster + "/peers.json holds secrets and has mode 0644; chmod 0640",
          KeyPath(cluster, 0) + " holds secrets and has mode 0640; chmod 0600"}) {
        EXPECT_NE(used.err.find("chsctl: warning: " + warning), std::string::npos) << used.err;
    }

    std::string error;
    ASSERT_TRUE(platform::AttachCluster(cluster + "/cluster.json", 0, cluster + "/node0", false, error)) << error;
    std::string type = "--dbType=modes";
    char* argv[] = {&type[0], nullptr};
    int32_t handle = 0;
    EXPECT_EQ(OM_CCDB_Init(35, "modes", argv, &handle), OM_CCDB_OK);
    platform::CcdbCloseAll();
    platform::DetachCluster();
    EXPECT_EQ(ModeOf(db), 0640u);
    struct stat info {};
    if (lstat((db + "-wal").c_str(), &info) == 0) {
        EXPECT_EQ(info.st_mode & 07777, 0640u);
    }
}

}  // namespace
