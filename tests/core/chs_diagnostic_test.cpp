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

#include "infra/json_util.h"
#include "tests/support/diagnostic_node.h"

namespace {

namespace fs = std::filesystem;
using chs_test::Entries;
using chs_test::Lines;
using chs_test::RunProgram;
using chs_test::RunResult;

const char* const kExportTree = chs_test::kDiagExportTree;
const char* const kTar = chs_test::kDiagTar;
const unsigned int kScriptTimeoutMs = chs_test::kDiagScriptTimeoutMs;

std::uintmax_t TreeBytes(const std::string& dir) {
    std::uintmax_t total = 0;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        if (entry.is_regular_file()) {
            total += entry.file_size();
        }
    }
    return total;
}

using ChsDiagnosticTest = chs_test::DiagnosticNodeTest;

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

    const std::set<std::string> collector{"summary.txt",
                                          "summary.json",
                                          "redaction.txt",
                                          "system.txt",
                                          "processes.txt",
                                          "db_summary.txt",
                                          "db_rows.txt",
                                          "collector_listing.txt",
                                          "cores.txt",
                                          "config_InfoCollector.txt",
                                          "config_cluster.json",
                                          "log_infocollector.log.tail",
                                          "log_chs_peers.log.tail"};
    const std::set<std::string> sections{"kernel",  "os",        "hardware", "storage",
                                         "network", "processes", "services", "alarms"};
    for (const std::string& name : collector) {
        EXPECT_TRUE(fs::is_regular_file(package + "/" + name)) << name;
    }
    for (const std::string& name : Entries(package)) {
        EXPECT_TRUE(collector.count(name) || (sections.count(name) && fs::is_directory(package + "/" + name)))
            << "unexpected " << name;
    }
    // Every machine has processes and mounts to report.
    EXPECT_FALSE(chs_test::ReadText(package + "/processes/top_memory.txt").empty());
    EXPECT_NE(chs_test::ReadText(package + "/storage/mounts.txt").find(" / "), std::string::npos);
    std::string rows = chs_test::ReadText(package + "/db_rows.txt");
    EXPECT_NE(rows.find("== tbl_plugin_record: id | file_name"), std::string::npos) << rows;
    EXPECT_NE(rows.find("6 | f5"), std::string::npos) << rows;
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
    EXPECT_NE(summary.find("InfoCollector.txt not read"), std::string::npos) << summary;
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
    EXPECT_NE(summary.find("logs stopped: size budget reached"), std::string::npos) << summary;
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
        {},
        {"export_everything", "10"},
        {"export_command", "10", "boss", "current", package},
        {"export_command", "10", "master", "all", package},
        {"export_command", "ten", "master", "current", package},
        {"export_command", "0", "master", "current", package},
        {"export_command", "10", "master", "current"},
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

    std::vector<std::string> expected{name + "/"};
    for (const auto& entry : fs::recursive_directory_iterator(package)) {
        std::string relative = fs::relative(entry.path(), package).string();
        if (!entry.is_symlink()) {
            expected.push_back(name + "/" + relative + (entry.is_directory() ? "/" : ""));
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
    EXPECT_EQ(RunProgram({kTar, "-xzOf", merged, "CTE0.B.tgz"}).out,
              chs_test::ReadText(packages + "/CTE0.B.tgz"));

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

// A PATH of links to every program of the system's directories but lsblk.
TEST_F(ChsDiagnosticTest, AToolMissingFromPathIsSkippedWithANoteInTheSummary) {
    std::string bin = dir.Join("bin");
    chs_test::MakeDirs(bin);
    for (const char* system : {"/usr/local/bin", "/usr/bin", "/bin", "/usr/sbin", "/sbin"}) {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(system, error)) {
            std::string name = entry.path().filename().string();
            if (name != "lsblk" && !fs::exists(fs::symlink_status(bin + "/" + name))) {
                fs::create_symlink(entry.path(), bin + "/" + name);
            }
        }
    }
    std::string package = exportTree + "/nolsblk";
    RunResult run = Run({"export_command", "10", "master", "current", package}, {"PATH=" + bin});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(run.err.empty()) << run.err;

    Json::Value summary = JsonDeserialization(chs_test::ReadText(package + "/summary.json"));
    ASSERT_TRUE(summary["sections"].isArray());
    std::vector<std::string> names;
    for (const Json::Value& section : summary["sections"]) {
        std::string name = section["name"].asString();
        names.push_back(name);
        EXPECT_TRUE(
            std::set<std::string>({"ok", "partial", "skipped", "failed"}).count(section["status"].asString()))
            << name;
        EXPECT_TRUE(section["seconds"].isNumeric() && section["note"].isString()) << name;
        if (name != "collector") {
            // A section's bytes are the files of its directory.
            std::uintmax_t bytes =
                fs::is_directory(package + "/" + name) ? TreeBytes(package + "/" + name) : 0;
            EXPECT_EQ(section["bytes"].asUInt64(), bytes) << name;
        }
        if (name == "hardware") {
            EXPECT_EQ(section["status"].asString(), "partial");
            EXPECT_NE(section["note"].asString().find("lsblk not found in PATH, skipped"), std::string::npos)
                << section["note"].asString();
        }
    }
    EXPECT_EQ(names, (std::vector<std::string>{"kernel", "os", "hardware", "storage", "network", "processes",
                                               "services", "alarms", "collector"}));
    EXPECT_FALSE(fs::exists(package + "/hardware/lsblk.txt"));
    EXPECT_TRUE(fs::exists(package + "/hardware/meminfo.txt"));
    EXPECT_TRUE(summary["redaction"]["total"].isIntegral());
    EXPECT_NE(chs_test::ReadText(package + "/summary.txt").find("lsblk not found in PATH"),
              std::string::npos);
}

TEST_F(ChsDiagnosticTest, PackageSummaryPrintsTheSummaryOfANodePackageAndRefusesABadOne) {
    std::string package = exportTree + "/CTE0.A";
    ASSERT_EQ(Run({"export_command", "5", "master", "current", package}).exitCode, 0);
    ASSERT_EQ(Run({"export_node", "10", package, exportTree + "/CTE0.A.tgz"}).exitCode, 0);
    RunResult printed = Run({"package_summary", exportTree + "/CTE0.A.tgz"});
    ASSERT_EQ(printed.exitCode, 0) << printed.err;
    Json::Value fromPackage = JsonDeserialization(printed.out);
    EXPECT_TRUE(fromPackage.isObject());
    EXPECT_EQ(fromPackage, JsonDeserialization(chs_test::ReadText(package + "/summary.json")));

    struct Bad {
        const char* member;  // below the package directory; nullptr: none
        std::string content;
        const char* reason;
    };
    const std::vector<Bad> bad{
        {nullptr, "", "holds no summary.json"},
        {"deeper/summary.json", "{}", "holds no summary.json"},
        {"summary.json", "{\"sections\": [", "not valid JSON"},
        {"summary.json", "[1, 2]", "not a JSON object"},
        {"summary.json", "{\"x\": \"" + std::string(70 * 1024, 'a') + "\"}", "larger than"},
    };
    for (size_t i = 0; i < bad.size(); ++i) {
        SCOPED_TRACE(bad[i].reason);
        std::string pkg = exportTree + "/bad" + std::to_string(i);
        chs_test::MakeDirs(pkg + "/deeper");
        chs_test::WriteText(pkg + "/system.txt", "facts\n");
        if (bad[i].member != nullptr) {
            chs_test::WriteText(pkg + "/" + bad[i].member, bad[i].content);
        }
        ASSERT_EQ(Run({"export_node", "10", pkg, pkg + ".tgz"}).exitCode, 0);
        RunResult run = Run({"package_summary", pkg + ".tgz"});
        EXPECT_EQ(run.exitCode, 1);
        EXPECT_TRUE(run.out.empty()) << run.out;
        EXPECT_NE(run.err.find(bad[i].reason), std::string::npos) << run.err;
    }
    EXPECT_EQ(Run({"package_summary", dir.Join("elsewhere.tgz")}).exitCode, 2);
}

}  // namespace
