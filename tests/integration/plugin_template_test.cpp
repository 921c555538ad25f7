// A plugin as a stranger builds it: the installed template, copied away,
// configured against an installed collector (headers, CMake package, host
// stub), linked with --no-undefined, unit-tested with its fake host, then
// loaded by a real daemon whose collected files reach the remote service.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/process.h"
#include "tests/support/sim_cluster.h"
#include "tests/support/temp_dir.h"
#include "tools/cluster_layout.h"

namespace {

namespace fs = std::filesystem;
using chs_test::RunProgram;
using chs_test::RunResult;

RunResult Exec(const std::vector<std::string>& argv, unsigned timeoutMs = 240000) {
    return RunProgram(argv, {}, timeoutMs);
}

// The entry of the built template plugin, added to a node's plugin configuration.
void AddTemplateEntry(const std::string& configFile, const std::string& library) {
    std::ifstream in(configFile);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t array = text.find('[');
    ASSERT_NE(array, std::string::npos) << text;
    text.insert(array + 1, "{\"name\": \"template_plugin\", \"plugin_type\": \"input\", \"plugin_lib_path\": \"" +
                               library + "\", \"parameters\": [{\"interval_sec\": [\"1\"]}]},");
    std::ofstream(configFile, std::ios::trunc) << text;
}

TEST(PluginTemplate, BuiltOutsideTheTreeLinksStrictlyLoadsAndDelivers) {
    chs_test::TempDir dir;
    const std::string prefix = dir.path() + "/prefix";
    const std::string source = dir.path() + "/my_plugin";
    const std::string build = source + "/build";

    RunResult install = Exec({"/usr/bin/cmake", "--install", CHS_BINARY_DIR, "--prefix", prefix});
    ASSERT_EQ(install.exitCode, 0) << install.out << install.err;
    fs::copy(prefix + "/share/infocollector/plugin-template", source, fs::copy_options::recursive);

    RunResult configure = Exec({"/usr/bin/cmake", "-S", source, "-B", build, "-G", "Ninja",
                               "-DCMAKE_PREFIX_PATH=" + prefix, "-DCMAKE_BUILD_TYPE=Release"});
    ASSERT_EQ(configure.exitCode, 0) << configure.out << configure.err;
    RunResult compile = Exec({"/usr/bin/cmake", "--build", build, "-j", "1", "--verbose"});
    ASSERT_EQ(compile.exitCode, 0) << compile.out << compile.err;
    EXPECT_NE(compile.out.find("--no-undefined"), std::string::npos) << compile.out;
    RunResult unit = Exec({build + "/template_plugin_test"});
    EXPECT_EQ(unit.exitCode, 0) << unit.out << unit.err;

    // A misspelt host function is a link error, not a load error (and the
    // failed link removes the library: keep the good one aside).
    const std::string library = dir.path() + "/libtemplate_plugin.so";
    fs::copy_file(build + "/libtemplate_plugin.so", library);
    {
        std::ofstream(source + "/src/template_plugin.cpp", std::ios::app)
            << "int32_t insertPluginRecords(std::string name, int fileType);\n"
               "int32_t UseMisspelt() { return insertPluginRecords(\"x\", 0); }\n";
    }
    RunResult misspelt = Exec({"/usr/bin/cmake", "--build", build, "--target", "template_plugin"});
    EXPECT_NE(misspelt.exitCode, 0);
    EXPECT_NE((misspelt.out + misspelt.err).find("insertPluginRecords"), std::string::npos);

    // The library built before the misspelling, in a real node.
    chs_test::SimCluster sim{dir, 1, {"--log-level", "7"}, "\"12345\": \"admin\""};
    AddTemplateEntry(sim.Root(0) + "/VXA/conf/InfoCollector.txt", library);
    ASSERT_TRUE(sim.StartNode(0)) << sim.DaemonLog(0);
    ASSERT_EQ(sim.Chsctl(0, {"switch", "set", "on"}).exitCode, 0);
    const std::string remote = sim.Dir() + "/remote/" + chs_tools::SimulatedControllerName(0) + "/";
    bool delivered = chs_test::WaitFor(
        [&] {
            std::error_code ec;
            for (auto it = fs::directory_iterator(remote, ec); !ec && it != fs::directory_iterator(); ++it) {
                if (it->path().filename().string().rfind("template_", 0) == 0) {
                    return true;
                }
            }
            return false;
        },
        30000);
    EXPECT_TRUE(delivered) << sim.DaemonLog(0);
    std::string log = sim.DaemonLog(0);
    EXPECT_NE(log.find("plugin template_plugin: started"), std::string::npos) << log;
    // The agent's answers reach the template's result function, which logs
    // each as it comes: the first must be a delivery.
    auto firstResultDelivered = [&] {
        std::string text = sim.DaemonLog(0);
        size_t at = text.find("plugin template_plugin: hand-off of template_");
        return at != std::string::npos && text.find(": delivered", at) < text.find('\n', at);
    };
    EXPECT_TRUE(chs_test::WaitFor(firstResultDelivered, 10000)) << sim.DaemonLog(0);
}

}  // namespace
