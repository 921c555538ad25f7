// The diagnose package script (scripts/chs_diagnostic.py), run for real on a
// simulated node root.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/node_root.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using chs_test::RunProgram;
using chs_test::RunResult;
using chs_test::TempDir;

const char kExportTree[] = "VXA/coffer_data/omm/export_import/chs/export";
const char kCollectorDir[] = "VXA/coffer_data/omm/export_import/chs/collector";
const char kTar[] = "/bin/tar";
const unsigned int kScriptTimeoutMs = 150000;

std::set<std::string> Lines(const std::string& text) {
    std::set<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) {
            lines.insert(line);
        }
    }
    return lines;
}

std::set<std::string> Entries(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

std::uintmax_t TreeBytes(const std::string& dir) {
    std::uintmax_t total = 0;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (entry.is_regular_file()) {
            total += entry.file_size();
        }
    }
    return total;
}

// A node root <tmp>/c/node0 laid out as the cluster layout makes it, with the
// script installed in VXA/script/, a record database, collected files, logs
// and a pid file naming this test process.
class ChsDiagnosticTest : public ::testing::Test {
  protected:
    void SetUp() override {
        cluster = dir.Join("c");
        root = cluster + "/node0";
        exportTree = root + "/" + kExportTree;
        for (const std::string& sub : {std::string("VXA/conf"), std::string("var/log/chs"),
                                       std::string(kCollectorDir) + "/db",
                                       std::string(kCollectorDir) + "/plugin", std::string(kExportTree)}) {
            chs_test::MakeDirs(root + "/" + sub);
        }
        chs_test::MakeDirs(cluster + "/run");
        chs_test::InstallScript(root, "chs_diagnostic.py");
        script = root + "/VXA/script/chs_diagnostic.py";

        chs_test::WriteText(root + "/VXA/conf/InfoCollector.txt", "plugin=libsample_plugin.so\n");
        chs_test::WriteText(cluster + "/cluster.json", "{\"serial\": \"SN-DIAG-1\"}\n");
        chs_test::WriteText(cluster + "/run/node0.pid", std::to_string(getpid()) + "\n");
        chs_test::WriteText(root + "/" + kCollectorDir + "/plugin/sample_1.dat", "SECRET-COLLECTED-CONTENT");
        RunResult db = RunProgram(
            {"/usr/bin/python3", "-c",
             "import sqlite3, sys\n"
             "c = sqlite3.connect(sys.argv[1])\n"
             "c.execute('CREATE TABLE tbl_plugin_record (id integer PRIMARY KEY, file_name varchar(256))')\n"
             "c.execute('CREATE TABLE tbl_node_record (id integer PRIMARY KEY, file_name varchar(256))')\n"
             "c.executemany('INSERT INTO tbl_plugin_record (file_name) VALUES (?)', [('f%d' % i,) for i in "
             "range(7)])\n"
             "c.commit()\n",
             root + "/" + kCollectorDir + "/db/collect.dat"});
        ASSERT_EQ(db.exitCode, 0) << db.err;
    }

    RunResult Run(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
        std::vector<std::string> argv{script};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProgram(argv, env, kScriptTimeoutMs);
    }

    // A log of `lines` numbered lines of about 100 bytes each.
    void WriteLog(const std::string& name, int lines) {
        std::string text;
        for (int i = 0; i < lines; ++i) {
            text += "line " + std::to_string(i) + " " + std::string(90, 'x') + "\n";
        }
        chs_test::WriteText(root + "/var/log/chs/" + name, text);
    }

    std::vector<std::string> TarList(const std::string& archive) {
        RunResult listed = RunProgram({kTar, "-tzf", archive});
        EXPECT_EQ(listed.exitCode, 0) << listed.err;
        std::set<std::string> lines = Lines(listed.out);
        return {lines.begin(), lines.end()};
    }

    TempDir dir;
    std::string cluster, root, exportTree, script;
};

TEST_F(ChsDiagnosticTest, ExportCommandWritesTheDocumentedFilesWithTheirFactsNotThroughLinks) {
    WriteLog("infocollector.log", 50);
    WriteLog("chs_peers.log", 5);
    std::string package = exportTree + "/CTE0.A_diag";
    chs_test::MakeDirs(package);
    std::string victim = dir.Join("victim.txt");
    chs_test::WriteText(victim, "untouched");
    fs::create_symlink(victim, package + "/system.txt");
    RunResult run = Run({"export_command", "100", "master", "current", package});
    ASSERT_EQ(run.exitCode, 0) << run.err;

    EXPECT_EQ(
        Entries(package),
        (std::set<std::string>{"summary.txt", "system.txt", "processes.txt", "db_summary.txt",
                               "collector_listing.txt", "config_InfoCollector.txt", "config_cluster.json",
                               "log_infocollector.log.tail", "log_chs_peers.log.tail"}));
    std::set<std::string> summary = Lines(chs_test::ReadText(package + "/summary.txt"));
    EXPECT_TRUE(summary.count("role: master"));
    EXPECT_TRUE(summary.count("scope: current"));
    EXPECT_TRUE(summary.count("size budget: 100 MB"));

    std::set<std::string> db = Lines(chs_test::ReadText(package + "/db_summary.txt"));
    EXPECT_TRUE(db.count("tbl_plugin_record: 7 rows"));
    EXPECT_TRUE(db.count("tbl_node_record: 0 rows"));

    std::string listing = chs_test::ReadText(package + "/collector_listing.txt");
    EXPECT_NE(listing.find(" plugin/sample_1.dat"), std::string::npos) << listing;
    EXPECT_NE(listing.find("f 24 "), std::string::npos) << "the size of sample_1.dat\n" << listing;
    EXPECT_EQ(listing.find("SECRET-COLLECTED-CONTENT"), std::string::npos);

    EXPECT_EQ(chs_test::ReadText(package + "/config_InfoCollector.txt"), "plugin=libsample_plugin.so\n");
    EXPECT_EQ(chs_test::ReadText(package + "/config_cluster.json"), "{\"serial\": \"SN-DIAG-1\"}\n");
    EXPECT_EQ(chs_test::ReadText(package + "/log_chs_peers.log.tail"),
              chs_test::ReadText(root + "/var/log/chs/chs_peers.log"));

    std::string processes = chs_test::ReadText(package + "/processes.txt");
    EXPECT_NE(processes.find("node0.pid: pid " + std::to_string(getpid()) + ":"), std::string::npos)
        << processes;
    std::string system = chs_test::ReadText(package + "/system.txt");
    for (const char* fact : {"uname: ", "uptime: ", "loadavg: ", "MemTotal", "filesystem of node root: "}) {
        EXPECT_NE(system.find(fact), std::string::npos) << fact << "\n" << system;
    }
    EXPECT_TRUE(run.err.empty()) << run.err;
    EXPECT_EQ(chs_test::ReadText(victim), "untouched");
    EXPECT_FALSE(fs::is_symlink(package + "/system.txt"));
}

TEST_F(ChsDiagnosticTest, ExportCommandCopiesNoConfigurationOrLogThroughALink) {
    std::string secret = dir.Join("secret.txt");
    chs_test::WriteText(secret, "SECRET-OUTSIDE-THE-NODE");
    fs::remove(root + "/VXA/conf/InfoCollector.txt");
    fs::create_symlink(secret, root + "/VXA/conf/InfoCollector.txt");
    fs::create_symlink(secret, root + "/var/log/chs/planted.log");
    std::string package = exportTree + "/links";
    RunResult run = Run({"export_command", "100", "master", "current", package});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_FALSE(fs::exists(package + "/config_InfoCollector.txt"));
    EXPECT_FALSE(fs::exists(package + "/log_planted.log.tail"));
    std::string summary = chs_test::ReadText(package + "/summary.txt");
    EXPECT_NE(summary.find("InfoCollector.txt not copied"), std::string::npos) << summary;
    for (const auto& entry : fs::directory_iterator(package)) {
        EXPECT_EQ(chs_test::ReadText(entry.path().string()).find("SECRET-OUTSIDE"), std::string::npos)
            << entry.path();
    }
}

TEST_F(ChsDiagnosticTest, ExportCommandFindsTheRootFromTheEnvironmentAndKeepsWithinTheSizeBudget) {
    WriteLog("infocollector.log", 30000);  // about 2.8 MB
    WriteLog("old.log", 20000);
    fs::last_write_time(root + "/var/log/chs/old.log",
                        fs::file_time_type::clock::now() - std::chrono::hours(1));
    // Run from the source tree: only CHS_NODE_ROOT leads to the node.
    std::string package = exportTree + "/budget";
    RunResult run = RunProgram({std::string(CHS_SOURCE_DIR) + "/scripts/chs_diagnostic.py", "export_command",
                                "1", "slave", "current", package},
                               {"CHS_NODE_ROOT=" + root}, kScriptTimeoutMs);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::set<std::string> lines = Lines(chs_test::ReadText(package + "/summary.txt"));
    EXPECT_TRUE(lines.count("role: slave"));
    EXPECT_TRUE(lines.count("node root: " + fs::canonical(root).string()));
    EXPECT_TRUE(Lines(chs_test::ReadText(package + "/db_summary.txt")).count("tbl_plugin_record: 7 rows"));

    EXPECT_LE(TreeBytes(package), 1024u * 1024u);
    std::string tail = chs_test::ReadText(package + "/log_infocollector.log.tail");
    EXPECT_GT(tail.size(), 512u * 1024u) << "the newest log gets the room left";
    EXPECT_NE(tail.find("line 29999 "), std::string::npos) << "the newest lines are kept";
    EXPECT_EQ(tail.compare(0, 5, "line "), 0) << "the tail starts at a whole line";
    EXPECT_FALSE(fs::exists(package + "/log_old.log.tail")) << "no room left for the older log";
    std::string summary = chs_test::ReadText(package + "/summary.txt");
    EXPECT_NE(summary.find("size budget of 1 MB reached"), std::string::npos) << summary;
}

TEST_F(ChsDiagnosticTest, PathsOutsideTheExportTreeAreRefusedAndNothingIsWritten) {
    std::string outside = dir.Join("outside");
    chs_test::MakeDirs(outside);
    fs::create_symlink(outside, exportTree + "/escape");
    const std::vector<std::string> refused = {
        outside + "/pkg",                        // plainly elsewhere
        exportTree + "/escape/pkg",              // through a link out of the tree
        exportTree + "/sub/../../export_x/pkg",  // with ".."
        exportTree,                              // the tree itself is not a package
        root + "/VXA/coffer_data/omm/pkg",       // beside the tree
    };
    for (const std::string& path : refused) {
        SCOPED_TRACE(path);
        RunResult run = Run({"export_command", "10", "master", "current", path});
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_NE(run.err.find("refused"), std::string::npos) << run.err;
    }
    EXPECT_TRUE(Entries(outside).empty());
    EXPECT_FALSE(fs::exists(exportTree + "/sub"));
    EXPECT_FALSE(fs::exists(root + "/VXA/coffer_data/omm/pkg"));
    EXPECT_TRUE(Entries(exportTree) == std::set<std::string>{"escape"});

    chs_test::MakeDirs(exportTree + "/pkg");
    chs_test::WriteText(exportTree + "/pkg/a.txt", "a");
    for (const std::string& file :
         {outside + "/p.tgz", exportTree + "/escape/p.tgz", exportTree + "/../p.tgz"}) {
        SCOPED_TRACE(file);
        EXPECT_EQ(Run({"export_node", "10", exportTree + "/pkg", file}).exitCode, 2);
        EXPECT_EQ(Run({"export_cluster", "10", exportTree, file}).exitCode, 2);
    }
    EXPECT_EQ(Run({"export_node", "10", outside, exportTree + "/p.tgz"}).exitCode, 2);
    EXPECT_EQ(Run({"export_node", "10", exportTree + "/pkg", exportTree + "/pkg/self.tgz"}).exitCode, 2);
    EXPECT_TRUE(Entries(outside).empty());
    EXPECT_FALSE(fs::exists(root + "/VXA/coffer_data/omm/export_import/chs/p.tgz"));
    EXPECT_EQ(Entries(exportTree), (std::set<std::string>{"escape", "pkg"}));
}

TEST_F(ChsDiagnosticTest, BadArgumentsAreRefused) {
    std::string package = exportTree + "/pkg";
    const std::vector<std::vector<std::string>> refused{
        {}, {"export_everything", "10"}, {"export_command", "10", "boss", "current", package},
        {"export_command", "10", "master", "all", package}, {"export_command", "ten", "master", "current", package},
        {"export_command", "0", "master", "current", package}, {"export_command", "10", "master", "current"},
        {"export_node", "10", package}};
    for (const std::vector<std::string>& args : refused) {
        RunResult run = Run(args);
        EXPECT_EQ(run.exitCode, 2) << (args.empty() ? "" : args[0]);
        EXPECT_FALSE(run.err.empty());
    }
    EXPECT_FALSE(fs::exists(package));
}

TEST_F(ChsDiagnosticTest, ExportNodePacksTheDirectoryUnderItsBaseNameWithoutLinks) {
    const std::string name = "CTE0.A \"diag\" 'pkg'";
    std::string package = exportTree + "/" + name;
    RunResult made = Run({"export_command", "10", "master", "current", package});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    chs_test::MakeDirs(package + "/more dir");
    chs_test::WriteText(package + "/more dir/x y.txt", "x");
    std::string secret = dir.Join("secret.txt");
    chs_test::WriteText(secret, "secret");
    fs::create_symlink(secret, package + "/leak.txt");
    fs::create_symlink(dir.path(), package + "/leakdir");

    std::string archive = exportTree + "/" + name + ".tgz";
    RunResult run = Run({"export_node", "100", package, archive});
    ASSERT_EQ(run.exitCode, 0) << run.err;

    std::vector<std::string> expected{name + "/", name + "/more dir/", name + "/more dir/x y.txt"};
    for (const std::string& entry : Entries(package)) {
        if (entry != "more dir" && entry != "leak.txt" && entry != "leakdir") {
            expected.push_back(name + "/" + entry);
        }
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(TarList(archive), expected);

    // The content comes through unchanged, and no temporary file stays behind.
    EXPECT_EQ(RunProgram({kTar, "-xzOf", archive, name + "/summary.txt"}).out,
              chs_test::ReadText(package + "/summary.txt"));
    EXPECT_EQ(Entries(exportTree), (std::set<std::string>{name, name + ".tgz"}));
}

TEST_F(ChsDiagnosticTest, ExportNodeFailsCleanlyOnAMissingDirectoryOrTooSmallALimit) {
    std::string archive = exportTree + "/p.tgz";
    RunResult missing = Run({"export_node", "10", exportTree + "/absent", archive});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_FALSE(missing.err.empty());

    chs_test::MakeDirs(exportTree + "/big");
    RunResult noise =
        RunProgram({"/usr/bin/python3", "-c",
                    "import os, sys\nopen(sys.argv[1], 'wb').write(os.urandom(3 * 1024 * 1024))\n",
                    exportTree + "/big/random.bin"});
    ASSERT_EQ(noise.exitCode, 0) << noise.err;
    RunResult tooBig = Run({"export_node", "1", exportTree + "/big", archive});
    EXPECT_EQ(tooBig.exitCode, 1);
    EXPECT_NE(tooBig.err.find("size limit"), std::string::npos) << tooBig.err;
    EXPECT_EQ(Entries(exportTree), std::set<std::string>{"big"})
        << "neither the archive nor a temporary file";
}

TEST_F(ChsDiagnosticTest, ExportClusterMergesTheNodePackagesOfADirectory) {
    std::string packages = exportTree + "/nodes";
    for (const char* node : {"CTE0.A", "CTE0.B"}) {
        std::string package = exportTree + "/" + node;
        ASSERT_EQ(Run({"export_command", "5", "master", "current", package}).exitCode, 0);
        ASSERT_EQ(Run({"export_node", "10", package, packages + "/" + node + ".tgz"}).exitCode, 0);
    }
    chs_test::WriteText(packages + "/notes.txt", "not a package");
    fs::create_symlink(dir.Join("nowhere.tgz"), packages + "/link.tgz");

    std::string merged = exportTree + "/all/cluster diag.tgz";
    RunResult run = Run({"export_cluster", "100", packages, merged});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(TarList(merged), (std::vector<std::string>{"CTE0.A.tgz", "CTE0.B.tgz"}));
    EXPECT_EQ(RunProgram({kTar, "-xzOf", merged, "CTE0.B.tgz"}).out, chs_test::ReadText(packages + "/CTE0.B.tgz"));

    // The export directory itself may hold the packages; nothing there is a failure.
    chs_test::MakeDirs(exportTree + "/empty");
    RunResult none = Run({"export_cluster", "100", exportTree + "/empty", exportTree + "/none.tgz"});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_NE(none.err.find("no node package"), std::string::npos) << none.err;
    EXPECT_FALSE(fs::exists(exportTree + "/none.tgz"));
    fs::copy_file(packages + "/CTE0.A.tgz", exportTree + "/CTE0.A.tgz");
    ASSERT_EQ(Run({"export_cluster", "100", exportTree, exportTree + "/top.tgz"}).exitCode, 0);
    EXPECT_EQ(TarList(exportTree + "/top.tgz"), std::vector<std::string>{"CTE0.A.tgz"});
}

}  // namespace
