// The installed tree and the Debian package: `cmake --install` of the build
// folder into a scratch prefix, and the package cpack makes of it unpacked
// with `dpkg -x` into a scratch root. Both must hold the programs, the
// daemon's scripts, the plugins, the plugin SDK, the systemd units and the
// logrotate configuration where a node and a plugin author look for them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using chs_test::ReadText;
using chs_test::RunProgram;
using chs_test::RunResult;
using chs_test::TempDir;
using chs_test::WriteText;

// A program of PATH by its name; empty when there is none.
std::string FindTool(const std::string& name) {
    std::istringstream dirs(getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return "";
}

// Runs a tool of PATH; fails the test when it is missing or does not succeed.
RunResult RunTool(const std::string& tool, std::vector<std::string> args,
                  const std::vector<std::string>& env = {}, unsigned int timeoutMs = 30000) {
    std::string program = FindTool(tool);
    EXPECT_FALSE(program.empty()) << tool << " is not on PATH";
    args.insert(args.begin(), program.empty() ? tool : program);
    RunResult result = RunProgram(args, env, timeoutMs);
    EXPECT_EQ(result.exitCode, 0) << tool << " failed:\n" << result.out << result.err;
    return result;
}

// Where one installation puts things: `usr` is the prefix, `etc` the system
// configuration folder (<prefix>/etc, or /etc for the package).
struct Layout {
    std::string usr;
    std::string etc;
};

// What must be in place: files of a folder below the prefix ("@" marks the
// configuration folder).
struct Expected {
    const char* dir;
    std::vector<const char*> files;
    bool executable;
};
const Expected kInstalled[] = {
    {"bin", {"infocollector", "chsctl", "chs-peers"}, true},
    {"libexec/infocollector", {"infocollector-node-prepare"}, true},
    {"libexec/infocollector/scripts",
     {"collector_db_init.sh", "collector_clean_file.sh", "os_transfer_file_lib.sh", "chs_diagnostic.py"},
     true},
    {"libexec/infocollector/scripts/sim", {"omm_cgroup.sh", "reboot"}, true},
    {"lib/infocollector/plugins", {"libnode_facts.so", "libhttps_upload_sample.so"}, false},
    {"lib", {"libinfocollector-host.so", "pkgconfig/infocollector-plugin.pc"}, false},
    {"lib/cmake/InfoCollectorPlugin",
     {"InfoCollectorPluginConfig.cmake", "InfoCollectorPluginConfigVersion.cmake"},
     false},
    {"lib/systemd/system", {"infocollector@.service", "chs-peers@.service"}, false},
    {"share/infocollector", {"InfoCollector.txt", "plugins.md", "plugin-template/CMakeLists.txt"}, false},
    {"@", {"default/infocollector", "logrotate.d/infocollector"}, false},
};

std::string Resolve(const Layout& layout, const std::string& path) {
    return path[0] == '@' ? layout.etc + path.substr(1) : layout.usr + "/" + path;
}

// The tree of `layout` holds everything of kInstalled and every public header.
void ExpectTree(const Layout& layout) {
    for (const Expected& item : kInstalled) {
        for (const char* file : item.files) {
            std::string path = Resolve(layout, std::string(item.dir) + "/" + file);
            EXPECT_TRUE(fs::is_regular_file(path)) << path << " is missing";
            EXPECT_TRUE(!item.executable || access(path.c_str(), X_OK) == 0) << path << " is not executable";
        }
    }
    for (const auto& entry : fs::directory_iterator(std::string(CHS_SOURCE_DIR) + "/include/infocollector")) {
        std::string installed = layout.usr + "/include/infocollector/" + entry.path().filename().string();
        EXPECT_EQ(ReadText(installed), ReadText(entry.path().string())) << installed;
    }
}

// The units of the tree `files` start the daemon installed beside them (at
// `paths` once installed), the way a node is started by hand, take the cluster
// from the environment file and restart a failed daemon a bounded number of
// times; the node logs rotate.
void ExpectUnits(const Layout& files, const Layout& layout) {
    std::string unit = ReadText(Resolve(files, "lib/systemd/system/infocollector@.service"));
    EXPECT_NE(unit.find("ExecStart=" + layout.usr +
                        "/bin/infocollector -m INFOCOLLECTOR ${CHS_CLUSTER_FILE} %i "
                        "-r ${CHS_CLUSTER_DIR}/node%i\n"),
              std::string::npos)
        << unit;
    std::string peers = ReadText(Resolve(files, "lib/systemd/system/chs-peers@.service"));
    EXPECT_NE(peers.find("ExecStart=" + layout.usr +
                         "/bin/chs-peers ${CHS_CLUSTER_FILE} %i ${CHS_CLUSTER_DIR}/node%i\n"),
              std::string::npos)
        << peers;
    for (const std::string& setting :
         {"EnvironmentFile=-" + layout.etc + "/default/infocollector\n", std::string("Restart=on-failure\n"),
          std::string("StartLimitBurst=")}) {
        EXPECT_NE(unit.find(setting), std::string::npos) << setting;
        EXPECT_NE(peers.find(setting), std::string::npos) << setting;
    }
    std::string rotate = ReadText(Resolve(files, "@/logrotate.d/infocollector"));
    EXPECT_NE(rotate.find(layout.usr == "/usr" ? "/var/lib/infocollector/node*/" : layout.usr + "/var/lib/"),
              std::string::npos)
        << rotate;
    for (const char* setting : {"/node*/var/log/chs/*.log {", "copytruncate", "size "}) {
        EXPECT_NE(rotate.find(setting), std::string::npos) << rotate;
    }
}

// The scratch installation, made once for the cases below.
class InstalledTree : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_prefix = std::make_unique<TempDir>();
        s_installed =
            RunTool("cmake", {"--install", CHS_BINARY_DIR, "--prefix", s_prefix->path()}).exitCode == 0;
    }
    static void TearDownTestSuite() { s_prefix.reset(); }
    void SetUp() override { ASSERT_TRUE(s_installed) << "cmake --install failed; is the build complete?"; }
    static Layout Installed() { return {s_prefix->path(), s_prefix->path() + "/etc"}; }

    static std::unique_ptr<TempDir> s_prefix;
    static bool s_installed;
};
std::unique_ptr<TempDir> InstalledTree::s_prefix;
bool InstalledTree::s_installed = false;

TEST_F(InstalledTree, HoldsProgramsScriptsPluginsHeadersAndServiceFiles) {
    ExpectTree(Installed());
    ExpectUnits(Installed(), Installed());
    // The sample configuration names the plugin where it was installed.
    std::string config = ReadText(Resolve(Installed(), "share/infocollector/InfoCollector.txt"));
    EXPECT_NE(config.find("\"" + s_prefix->path() + "/lib/infocollector/plugins/libnode_facts.so\""),
              std::string::npos)
        << config;
}

TEST_F(InstalledTree, UnitFilesPassSystemdVerification) {
    if (FindTool("systemd-analyze").empty()) {
        GTEST_SKIP() << "systemd-analyze is not installed; the unit files were not verified";
    }
    RunResult verify = RunTool("systemd-analyze",
                               {"verify", Resolve(Installed(), "lib/systemd/system/infocollector@.service"),
                                Resolve(Installed(), "lib/systemd/system/chs-peers@.service")});
    // Warnings (an unknown key, a value that does not parse) name the file.
    EXPECT_EQ(verify.err.find(".service:"), std::string::npos) << verify.err;
}

// A plugin built against the installed SDK alone, with the pkg-config file or
// with the CMake package: every public header compiles on its own, a host
// function resolves against the host stub under --no-undefined, and only what
// the plugin marks for export is exported.
TEST_F(InstalledTree, PluginBuildsAgainstTheInstalledSdk) {
    TempDir work;
    std::string source = "#include <string>\n";
    for (const auto& entry : fs::directory_iterator(s_prefix->path() + "/include/infocollector")) {
        source += "#include <infocollector/" + entry.path().filename().string() + ">\n";
    }
    source +=
        "int ProbeHelper() { return 7; }\n"
        "extern \"C\" __attribute__((visibility(\"default\"))) int ProbeEntry() {\n"
        "    return ProbeHelper() + static_cast<int>(InfocollectorRealPath(\"/VXA/conf\").size());\n"
        "}\n";
    WriteText(work.Join("probe.cpp"), source);
    WriteText(work.Join("CMakeLists.txt"),
              "cmake_minimum_required(VERSION 3.16)\n"
              "project(probe LANGUAGES CXX)\n"
              "find_package(InfoCollectorPlugin 1.0 REQUIRED)\n"
              "add_library(probe MODULE probe.cpp)\n"
              "target_link_libraries(probe PRIVATE InfoCollectorPlugin::plugin)\n");

    std::string pcPath = "PKG_CONFIG_PATH=" + s_prefix->path() + "/lib/pkgconfig";
    std::istringstream flags(
        RunTool("pkg-config", {"--cflags", "--libs", "infocollector-plugin"}, {pcPath}).out);
    std::vector<std::string> compile = {"-shared", "-o", work.Join("libprobe_pc.so"), work.Join("probe.cpp")};
    for (std::string word; flags >> word;) {
        compile.push_back(word);
    }
    RunTool("c++", compile, {}, 60000);

    std::string generator = FindTool("ninja").empty() ? "Unix Makefiles" : "Ninja";
    RunTool(
        "cmake",
        {"-S", work.path(), "-B", work.Join("b"), "-G", generator, "-DCMAKE_PREFIX_PATH=" + s_prefix->path()},
        {}, 60000);
    RunTool("cmake", {"--build", work.Join("b")}, {}, 60000);

    for (const std::string& module : {work.Join("libprobe_pc.so"), work.Join("b/libprobe.so")}) {
        SCOPED_TRACE(module);
        ASSERT_TRUE(fs::exists(module));
        std::string symbols = RunTool("nm", {"-D", "--defined-only", module}).out;
        EXPECT_NE(symbols.find(" ProbeEntry\n"), std::string::npos) << symbols;
        EXPECT_EQ(symbols.find("ProbeHelper"), std::string::npos) << "hidden visibility not applied:\n"
                                                                  << symbols;
        EXPECT_NE(RunTool("readelf", {"-d", module}).out.find("libinfocollector-host.so"), std::string::npos);
    }
}

// The step before a node's daemon starts gives the node root the scripts (as
// copies: they find the root from where they lie) and the sample plugin
// configuration, and does not write through a link in place of its folders.
TEST_F(InstalledTree, NodePreparationInstallsScriptsAndRefusesLinks) {
    TempDir cluster;
    std::string prepare = Resolve(Installed(), "libexec/infocollector/infocollector-node-prepare");
    std::string root = cluster.Join("node0");
    RunResult first = RunProgram({prepare, root});
    ASSERT_EQ(first.exitCode, 0) << first.err;
    for (const char* script : kInstalled[2].files) {  // the daemon's scripts
        std::string copy = root + "/VXA/script/" + script;
        EXPECT_FALSE(fs::is_symlink(copy)) << copy;
        EXPECT_EQ(access(copy.c_str(), X_OK), 0) << copy;
        EXPECT_EQ(ReadText(copy), ReadText(std::string(CHS_SOURCE_DIR) + "/scripts/" + script)) << copy;
    }
    EXPECT_FALSE(fs::exists(root + "/VXA/script/sim"));
    EXPECT_TRUE(fs::is_directory(root + "/var/log/chs"));
    std::string config = root + "/VXA/conf/InfoCollector.txt";
    EXPECT_EQ(ReadText(config), ReadText(Resolve(Installed(), "share/infocollector/InfoCollector.txt")));

    std::string elsewhere = cluster.Join("elsewhere");
    fs::create_directories(cluster.Join("node1/VXA"));
    fs::create_directories(elsewhere);
    fs::create_symlink(elsewhere, cluster.Join("node1/VXA/script"));
    RunResult refused = RunProgram({prepare, cluster.Join("node1")});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("symbolic link"), std::string::npos) << refused.err;
    EXPECT_TRUE(fs::is_empty(elsewhere));
}

// The Debian package: the same tree below /usr with /etc, paths in the unit
// files for that prefix, the runtime libraries as dependencies, and the
// configuration files marked as such.
TEST(DebianPackage, UnpacksToTheInstalledTreeWithItsDependencies) {
    if (FindTool("dpkg-deb").empty() || FindTool("dpkg-shlibdeps").empty()) {
        GTEST_SKIP() << "dpkg-deb or dpkg-shlibdeps (dpkg-dev) is not installed; the package was not built";
    }
    TempDir out;
    TempDir root;
    RunResult cpack = RunTool(
        "cpack",
        {"-G", "DEB", "-B", out.path(), "--config", std::string(CHS_BINARY_DIR) + "/CPackConfig.cmake"}, {},
        120000);
    std::string deb;
    for (const auto& entry : fs::directory_iterator(out.path())) {
        if (entry.path().extension() == ".deb") {
            deb = entry.path().string();
        }
    }
    ASSERT_FALSE(deb.empty()) << cpack.out << cpack.err;
    RunTool("dpkg", {"-x", deb, root.path()});
    Layout layout{root.path() + "/usr", root.path() + "/etc"};
    ExpectTree(layout);

    // The unit files name the paths of the installed system, not the scratch root.
    ExpectUnits(layout, {"/usr", "/etc"});
    EXPECT_EQ(ReadText(Resolve(layout, "lib/systemd/system/infocollector@.service")).find(root.path()),
              std::string::npos);

    std::string depends = RunTool("dpkg-deb", {"-f", deb, "Depends"}).out;
    for (const char* package : {"libjsoncpp", "libcurl", "libssl", "libsqlite3", "python3", "sqlite3"}) {
        EXPECT_NE(depends.find(package), std::string::npos) << package << " missing from: " << depends;
    }
    EXPECT_EQ(RunTool("dpkg-deb", {"-I", deb, "conffiles"}).out,
              "/etc/default/infocollector\n/etc/logrotate.d/infocollector\n");
}

}  // namespace
