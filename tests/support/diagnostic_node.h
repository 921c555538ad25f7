// A simulated node root for running the diagnostic script
// (scripts/chs_diagnostic.py) for real: <tmp>/c/node0 laid out as the cluster
// layout makes it, with the script installed in VXA/script/, a record
// database, collected files, logs and a pid file naming the test process.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/node_root.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace chs_test {

constexpr const char kDiagExportTree[] = "VXA/coffer_data/omm/export_import/chs/export";
constexpr const char kDiagCollectorDir[] = "VXA/coffer_data/omm/export_import/chs/collector";
constexpr const char kDiagTar[] = "/bin/tar";
constexpr unsigned int kDiagScriptTimeoutMs = 150000;

inline std::set<std::string> Lines(const std::string& text) {
    std::set<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) {
            lines.insert(line);
        }
    }
    return lines;
}

inline std::set<std::string> Entries(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

class DiagnosticNodeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        cluster = dir.Join("c");
        root = cluster + "/node0";
        exportTree = root + "/" + kDiagExportTree;
        for (const std::string& sub :
             {std::string("VXA/conf"), std::string("var/log/chs"), std::string(kDiagCollectorDir) + "/db",
              std::string(kDiagCollectorDir) + "/plugin", std::string(kDiagExportTree)}) {
            MakeDirs(root + "/" + sub);
        }
        MakeDirs(cluster + "/run");
        InstallScript(root, "chs_diagnostic.py");
        script = root + "/VXA/script/chs_diagnostic.py";

        WriteText(root + "/VXA/conf/InfoCollector.txt", "plugin=libsample_plugin.so\n");
        WriteText(cluster + "/cluster.json", "{\"serial\": \"SN-DIAG-1\"}\n");
        WriteText(cluster + "/run/node0.pid", std::to_string(getpid()) + "\n");
        WriteText(root + "/" + kDiagCollectorDir + "/plugin/sample_1.dat", "SECRET-COLLECTED-CONTENT");
        RunResult db = RunProgram(
            {"/usr/bin/python3", "-c",
             "import sqlite3, sys\n"
             "c = sqlite3.connect(sys.argv[1])\n"
             "c.execute('CREATE TABLE tbl_plugin_record (id integer PRIMARY KEY, file_name varchar(256))')\n"
             "c.execute('CREATE TABLE tbl_node_record (id integer PRIMARY KEY, file_name varchar(256))')\n"
             "c.executemany('INSERT INTO tbl_plugin_record (file_name) VALUES (?)', [('f%d' % i,) for i in "
             "range(7)])\n"
             "c.commit()\n",
             root + "/" + kDiagCollectorDir + "/db/collect.dat"});
        ASSERT_EQ(db.exitCode, 0) << db.err;
    }

    RunResult Run(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
        std::vector<std::string> argv{script};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProgram(argv, env, kDiagScriptTimeoutMs);
    }

    // Runs the script with the content of the file `input` on standard input.
    RunResult RunWithInput(const std::vector<std::string>& args, const std::string& input) {
        std::vector<std::string> argv{"/bin/sh", "-c",  "in=$1; shift; exec \"$@\" < \"$in\"",
                                      "sh",      input, script};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProgram(argv, {}, kDiagScriptTimeoutMs);
    }

    // A log of `lines` numbered lines of about 100 bytes each.
    void WriteLog(const std::string& name, int lines) {
        std::string text;
        for (int i = 0; i < lines; ++i) {
            text += "line " + std::to_string(i) + " " + std::string(90, 'x') + "\n";
        }
        WriteText(root + "/var/log/chs/" + name, text);
    }

    std::vector<std::string> TarList(const std::string& archive) {
        RunResult listed = RunProgram({kDiagTar, "-tzf", archive});
        EXPECT_EQ(listed.exitCode, 0) << listed.err;
        std::set<std::string> lines = Lines(listed.out);
        return {lines.begin(), lines.end()};
    }

    TempDir dir;
    std::string cluster, root, exportTree, script;
};

}  // namespace chs_test
