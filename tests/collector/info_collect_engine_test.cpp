// The engine against real plugin libraries (tests/plugins/), loaded into this
// executable, which exports the engine's symbols the way the daemon does.
#include "collector/info_collect_engine.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>

#include "collector/driver_states.h"
#include "collector/plugin_cfg_parse.h"
#include "include/infocollector/plugin_host.h"
#include "collector/shared_library_manager.h"
#include "platform/platform_profile.h"
#include "tests/support/log_capture.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

using chs_test::LogCapture;
using chs_test::TempDir;
using chs_test::WriteText;

// An engine of its own for each test; the process-wide instance would carry
// plugins and drivers from one test into the next.
class FreshEngine : public InfoCollectEngineClass {
  public:
    FreshEngine() = default;
};

bool IsLoaded(const std::string& path) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) {
        return false;
    }
    dlclose(handle);
    return true;
}

class EngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("CHS_TEST_PLUGIN_JOURNAL", dir.Join("journal").c_str(), 1);
        engine = std::make_unique<FreshEngine>();
    }
    void TearDown() override {
        engine.reset();
        unsetenv("CHS_TEST_PLUGIN_JOURNAL");
    }

    // Lines the plugins noted, after the first `skip`.
    std::vector<std::string> Journal(size_t skip = 0) const {
        std::vector<std::string> lines;
        std::ifstream in(dir.Join("journal"));
        for (std::string line; std::getline(in, line);) {
            if (skip > 0) {
                --skip;
            } else {
                lines.push_back(line);
            }
        }
        return lines;
    }
    size_t JournalCount(const std::string& line) const {
        auto lines = Journal();
        return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
    }
    std::string CopyOfGood(const std::string& name) {
        std::string path = dir.Join(name);
        std::filesystem::copy_file(CHS_TEST_GOOD_PLUGIN, path);
        return path;
    }

    TempDir dir;
    LogCapture log;
    std::unique_ptr<FreshEngine> engine;
};

TEST(SoNameRuleTest, OnlyTheEndMayHoldSo) {
    EXPECT_TRUE(SharedLibraryManagerClass::IsValidSoName("/opt/plugins/libnode.so"));
    EXPECT_TRUE(SharedLibraryManagerClass::IsValidSoName(".so"));
    EXPECT_FALSE(SharedLibraryManagerClass::IsValidSoName("/opt/plugins/libnode.so.1"));
    EXPECT_FALSE(SharedLibraryManagerClass::IsValidSoName("/opt/plugins/libnode.so.old.so"));
    EXPECT_FALSE(SharedLibraryManagerClass::IsValidSoName("/opt/lib.so/libnode.so"));
    EXPECT_FALSE(SharedLibraryManagerClass::IsValidSoName("/opt/plugins/libnode"));
    EXPECT_FALSE(SharedLibraryManagerClass::IsValidSoName(""));
}

TEST_F(EngineTest, RefusesLibrariesNamedOtherThanDotSo) {
    for (const char* name : {"good.so.1", "good.so.old.so"}) {
        std::string path = CopyOfGood(name);
        engine->LoadPlugin(path);
        EXPECT_EQ(log.Count("Invalid so name: " + path + "."), 1u) << name;
        EXPECT_EQ(log.Count("InfoCollector load library " + path + " failed."), 1u) << name;
        EXPECT_FALSE(IsLoaded(path)) << name;
    }
    EXPECT_TRUE(Journal().empty()) << "nothing registered";

    log.Clear();
    std::string plain = CopyOfGood("good.so");
    engine->LoadPlugin(plain);
    EXPECT_EQ(JournalCount("good:register"), 1u);
    EXPECT_FALSE(log.Contains("Invalid so name"));
}

TEST_F(EngineTest, SamePathLoadsOnceAndDriverNamesAreUniquePerSide) {
    engine->LoadPlugin(CHS_TEST_GOOD_PLUGIN);
    engine->LoadPlugin(CHS_TEST_GOOD_PLUGIN);
    EXPECT_EQ(JournalCount("good:register"), 1u);
    EXPECT_FALSE(log.Contains("already exists"));
    EXPECT_EQ(JournalCount("good:add_input:alpha=0"), 1u);
    EXPECT_EQ(JournalCount("good:add_output:alpha=0"), 1u) << "input and output names are separate";

    engine->LoadPlugin(CHS_TEST_DUP_PLUGIN);
    EXPECT_EQ(JournalCount("dup:add_input:0=0"), 1u);
    EXPECT_EQ(JournalCount("dup:add_input:1=-1"), 1u);
    EXPECT_EQ(log.Count("The driver(dup) already exists."), 1u);
    EXPECT_EQ(JournalCount("dup:add_null_input=-1"), 1u);
    EXPECT_EQ(log.Count("The input driver of nothing is null, add failed."), 1u);
    EXPECT_EQ(JournalCount("dup:add_null_output=-1"), 1u);
    EXPECT_EQ(log.Count("The out driver of nothing is null, add failed."), 1u);

    EXPECT_EQ(engine->StartOneCollect(DRIVER_TYPE_INPUT, "dup"), 0);
    EXPECT_EQ(JournalCount("dup:start:dup0"), 1u) << "the first driver of the name stays";
    EXPECT_EQ(JournalCount("dup:delete_input:dup1"), 1u) << "the refused one went back to the plugin";
}

TEST_F(EngineTest, StartsAndStopsOneInputDriver) {
    engine->LoadPlugin(CHS_TEST_GOOD_PLUGIN);
    log.Clear();
    EXPECT_EQ(engine->StartOneCollect(DRIVER_TYPE_OUTPUT, "beta"), -1);
    EXPECT_EQ(engine->StopOneCollect(DRIVER_TYPE_OUTPUT, "beta"), -1);
    EXPECT_TRUE(log.Lines().empty()) << "the wrong side is refused silently";
    EXPECT_EQ(JournalCount("good:start:beta"), 0u);

    EXPECT_EQ(engine->StartOneCollect(DRIVER_TYPE_INPUT, "beta"), 5);
    EXPECT_EQ(log.Count("Start input driver(beta), ret(5)."), 1u);
    EXPECT_EQ(engine->StopOneCollect(DRIVER_TYPE_INPUT, "beta"), 5);
    EXPECT_EQ(log.Count("Stop input driver(beta), ret(5)."), 1u);
    EXPECT_EQ(JournalCount("good:start:beta"), 1u);
    EXPECT_EQ(JournalCount("good:stop:beta"), 1u);

    EXPECT_EQ(engine->StartOneCollect(DRIVER_TYPE_INPUT, "gamma"), -1);
    EXPECT_EQ(log.Count("The input driver(gamma) not exist, start failed."), 1u);
    EXPECT_EQ(engine->StopOneCollect(DRIVER_TYPE_INPUT, "gamma"), -1);
    EXPECT_EQ(log.Count("The input driver(gamma) not exist, stop failed."), 1u);
}

TEST_F(EngineTest, AllDriverOperationsReachEveryDriverAndCountFailures) {
    EXPECT_EQ(engine->StartAllCollect(), 0);
    EXPECT_EQ(engine->StopAllCollect(), 0);
    EXPECT_EQ(engine->Exit(), 0);
    EXPECT_TRUE(log.Lines().empty()) << "no drivers, nothing to say";

    engine->LoadPlugin(CHS_TEST_GOOD_PLUGIN);
    size_t registered = Journal().size();
    EXPECT_EQ(engine->StartAllCollect(), 1) << "beta answers 5";
    EXPECT_EQ(ChsLastFailedDrivers(engine.get()), std::vector<std::string>{"beta"});
    EXPECT_EQ(engine->Exit(), 1);
    // The calls run in parallel: each batch as a whole comes before the next.
    std::vector<std::string> calls = Journal(registered);
    ASSERT_EQ(calls.size(), 4u);
    std::sort(calls.begin(), calls.begin() + 2);
    std::sort(calls.begin() + 2, calls.end());
    EXPECT_EQ(calls, (std::vector<std::string>{"good:start:alpha", "good:start:beta", "good:stop:alpha",
                                               "good:stop:beta"}));
    EXPECT_EQ(log.Count("Start input driver: alpha."), 1u);
    EXPECT_EQ(log.Count("Stop input driver: beta."), 1u);
}

TEST_F(EngineTest, DestructionDeletesDriversBeforeUnloading) {
    engine->LoadPlugin(CHS_TEST_GOOD_PLUGIN);
    ASSERT_TRUE(IsLoaded(CHS_TEST_GOOD_PLUGIN));
    size_t registered = Journal().size();
    engine.reset();
    EXPECT_EQ(Journal(registered), (std::vector<std::string>{"good:delete_output:alpha", "good:delete_input:alpha",
                                                              "good:delete_input:beta"}));
    EXPECT_FALSE(IsLoaded(CHS_TEST_GOOD_PLUGIN));
}

TEST_F(EngineTest, BrokenPluginsAreSkipped) {
    engine->LoadPlugin(CHS_TEST_NO_VERSION_PLUGIN);
    EXPECT_EQ(log.Count("Get function("), 1u);
    EXPECT_EQ(log.Count("Get function(GetEngineVersion) pointer failed, reason:"), 1u);
    EXPECT_EQ(JournalCount("no_version:register"), 0u);
    EXPECT_FALSE(IsLoaded(CHS_TEST_NO_VERSION_PLUGIN)) << "a library without engine version is unloaded";
    EXPECT_EQ(engine->StartOneCollect(DRIVER_TYPE_INPUT, "no_version"), -1);

    std::string notLibrary = dir.Join("notalib.so");
    WriteText(notLibrary, "this is not an ELF file\n");
    engine->LoadPlugin(notLibrary);
    EXPECT_EQ(log.Count("Could not load " + notLibrary + ", reason: "), 1u);
    EXPECT_EQ(log.Count("InfoCollector load library " + notLibrary + " failed."), 1u);

    engine->LoadPlugin(CHS_TEST_EMPTY_PLUGIN);
    EXPECT_EQ(JournalCount("empty:register"), 1u);
    EXPECT_EQ(log.Count("The plugin " + std::string(CHS_TEST_EMPTY_PLUGIN) + " registered no driver."), 1u);

    // Exceptions out of plugin code end neither the load nor the daemon.
    engine->LoadPlugin(CHS_TEST_THROWING_PLUGIN);
    EXPECT_EQ(log.Count("failed, exception: registration broke."), 1u);
    EXPECT_EQ(engine->StartOneCollect(DRIVER_TYPE_INPUT, "boom"), -1);
    EXPECT_EQ(log.Count("Input driver(boom) threw: start refused."), 1u);
    EXPECT_EQ(engine->StopOneCollect(DRIVER_TYPE_INPUT, "boom"), -1);
    EXPECT_EQ(log.Count("Input driver(boom) threw an unknown exception."), 1u);

    engine->LoadPlugin(CHS_TEST_GOOD_PLUGIN);
    EXPECT_EQ(engine->StartAllCollect(), 2) << "boom throws, beta answers 5";
    EXPECT_EQ(ChsLastFailedDrivers(engine.get()), (std::vector<std::string>{"beta", "boom"}));
    EXPECT_EQ(JournalCount("good:start:alpha"), 1u);
}

TEST_F(EngineTest, InitLoadsThePluginsOfTheConfiguration) {
    platform::Profile profile;
    profile.strRoot = dir.path();
    platform::SetProfile(profile);
    engine->Init();
    EXPECT_TRUE(log.Contains("Open the cfg file failed."));
    EXPECT_FALSE(log.Contains("Infocollector plugin type"));

    std::string notLibrary = dir.Join("notalib.so");
    WriteText(notLibrary, "garbage");
    std::string entries;
    for (const std::string& path :
         {std::string(CHS_TEST_GOOD_PLUGIN), notLibrary, std::string(CHS_TEST_NO_VERSION_PLUGIN),
          std::string(CHS_TEST_GOOD_PLUGIN), std::string(CHS_TEST_DUP_PLUGIN)}) {
        entries += std::string(entries.empty() ? "" : ",") +
                   R"({"plugin_type": "collect", "name": "n", "plugin_lib_path": ")" + path + "\"}";
    }
    chs_test::MakeDirs(dir.Join("VXA/conf"));
    WriteText(dir.Join("VXA/conf/InfoCollector.txt"), "{\"plugin\": [" + entries + "]}");
    engine = std::make_unique<FreshEngine>();
    engine->Init();
    platform::SetProfile(platform::Profile());

    EXPECT_EQ(log.Count("Infocollector plugin type: collect, name:n, path:" +
                        std::string(CHS_TEST_GOOD_PLUGIN) + "."),
              2u);
    EXPECT_EQ(log.Count("Infocollector plugin type: "), 5u);
    EXPECT_EQ(JournalCount("good:register"), 1u);
    EXPECT_EQ(log.Count("InfoCollector load library " + notLibrary + " failed."), 1u);
    EXPECT_EQ(engine->StartOneCollect(DRIVER_TYPE_INPUT, "alpha"), 0) << "plugins before a broken one load";
    EXPECT_EQ(engine->StartOneCollect(DRIVER_TYPE_INPUT, "dup"), 0) << "and so do those after it";
}

TEST_F(EngineTest, PluginCopiesShareOneLoad) {
    void* handle = SharedLibraryManagerClass::LoadLib(CHS_TEST_GOOD_PLUGIN);
    ASSERT_NE(handle, nullptr);
    {
        PluginClass first(handle, nullptr, nullptr);
        EXPECT_EQ(first.UseCount(), 1u);
        PluginClass second(first);
        PluginClass third;
        third = second;
        EXPECT_EQ(first.UseCount(), 3u);
        third = third;
        EXPECT_EQ(third.UseCount(), 3u);
        { PluginClass dropped(first); }
        EXPECT_EQ(first.UseCount(), 3u);
        EXPECT_TRUE(IsLoaded(CHS_TEST_GOOD_PLUGIN));
    }
    EXPECT_FALSE(IsLoaded(CHS_TEST_GOOD_PLUGIN)) << "the last copy unloads";
}

// A plugin compiled here as a stranger would: against include/ and nothing
// else of this tree. One that declares an interface version is loaded only
// when the host offers it; one that declares none loads as before.
TEST_F(EngineTest, PluginBuiltOutsideTheTreeLoadsWhenItsInterfaceVersionFits) {
    std::string source = dir.Join("outside.cpp");
    WriteText(source, R"(#include <cstdio>
#include <cstdlib>
#include <string>
#include "infocollector/engine.h"
#include "infocollector/plugin_host.h"
namespace {
class OutsideDriver : public InputDriverBase {
public:
    int32_t Start() override {
        if (FILE* f = std::fopen(std::getenv("CHS_TEST_PLUGIN_JOURNAL"), "a")) {
            std::fputs(DRIVER ":start\n", f);
            std::fclose(f);
        }
        return 17;
    }
    int32_t Stop() override { return 0; }
};
}
#ifdef SDK_VERSION
INFOCOLLECTOR_PLUGIN_EXPORT const int32_t InfoCollectorSdkVersion = SDK_VERSION;
#endif
INFOCOLLECTOR_PLUGIN_EXPORT int32_t GetEngineVersion() { return INFOCOLLECT_ENGINE_VERSION; }
INFOCOLLECTOR_PLUGIN_EXPORT int32_t RegisterPlugin(InfoCollectEngineClass* engine) {
    std::string name = DRIVER;
    return engine->AddInputDriver(name, new OutsideDriver());
}
)");
    const int32_t host = (INFOCOLLECTOR_SDK_VERSION_MAJOR << 16) | INFOCOLLECTOR_SDK_VERSION_MINOR;
    struct Case {
        const char* driver;
        std::string version;  // -DSDK_VERSION=..., empty: no declaration
        bool loads;
    };
    const Case cases[] = {
        {"undeclared", "", true},
        {"current", std::to_string(host), true},
        {"older_minor", std::to_string(host - 1), true},
        {"newer_minor", std::to_string(host + 1), false},
        {"next_major", std::to_string(host + (1 << 16)), false},
    };
    for (const Case& c : cases) {
        std::string library = dir.Join(std::string(c.driver) + ".so");
        std::vector<std::string> argv = {CHS_CXX_COMPILER, "-std=c++17", "-Wall", "-Wextra", "-Werror", "-shared",
                                         "-fPIC", "-fvisibility=hidden", "-I" CHS_PLUGIN_INCLUDE_DIR,
                                         std::string("-DDRIVER=\"") + c.driver + "\"", "-o", library, source};
        if (!c.version.empty()) {
            argv.push_back("-DSDK_VERSION=" + c.version);
        }
        chs_test::RunResult built = chs_test::RunProgram(argv, {}, 120000);
        ASSERT_EQ(built.exitCode, 0) << built.err;
        engine->LoadPlugin(library);
        EXPECT_EQ(engine->StartOneCollect(DRIVER_TYPE_INPUT, c.driver), c.loads ? 17 : -1) << c.driver;
        EXPECT_EQ(JournalCount(std::string(c.driver) + ":start"), c.loads ? 1u : 0u) << c.driver;
        EXPECT_EQ(log.Contains("Plugin " + library + " was built for plugin interface"), !c.loads) << c.driver;
    }
}

using chs_test::LogCapture;
using chs_test::TempDir;
using chs_test::WriteText;

constexpr const char* kParseException = "There are some exceptions when parsing the cfg file.";

class PluginCfgTest : public ::testing::Test {
  protected:
    const std::vector<PluginCfgDataClass*>& Parse(const std::string& text) {
        std::string path = dir.Join("InfoCollector.txt");
        WriteText(path, text);
        EXPECT_EQ(parser.parseInfoCollectCfg(path), 0);
        return parser.getPluginCfg();
    }
    // A configuration whose "plugin" array holds `entries` (JSON objects).
    static std::string Plugins(const std::vector<std::string>& entries) {
        std::string text = "{\"plugin\": [";
        for (size_t i = 0; i < entries.size(); ++i) {
            text += (i == 0 ? "" : ",") + entries[i];
        }
        return text + "]}";
    }
    static std::string Named(const std::string& name, const std::string& more = "") {
        return "{\"name\": \"" + name + "\"" + (more.empty() ? "" : ", " + more) + "}";
    }

    TempDir dir;
    LogCapture log;
    InfoCollectorCfgParseClass parser;
};

TEST_F(PluginCfgTest, ReadsEveryKeyOfAnEntryAndDefaultsAbsentOnes) {
    const auto& entries = Parse(R"({"plugin": [{
        "plugin_type": "collect", "name": "node", "plugin_lib_path": "/opt/p/libnode.so",
        "file_path": "/VXA/coffer_data/x", "file_interval": 300, "file_switch": true,
        "file_limit": 7.0, "file_prefix": "node"}, {"name": 12}]})");
    ASSERT_EQ(entries.size(), 2u);
    PluginCfgDataClass& entry = *entries[0];
    EXPECT_EQ(entry.getPluginType(), "collect");
    EXPECT_EQ(entry.getName(), "node");
    EXPECT_EQ(entry.getPluginLibPath(), "/opt/p/libnode.so");
    EXPECT_EQ(entry.getFilePath(), "/VXA/coffer_data/x");
    EXPECT_EQ(entry.getFileInterval(), 300);
    EXPECT_EQ(entry.getFileSwitch(), 1);
    EXPECT_EQ(entry.getFileLimit(), 7);
    EXPECT_EQ(entry.getFilePrefix(), "node");
    EXPECT_EQ(entry.getParaGroupNum(), 0) << "no \"parameters\": no groups";
    EXPECT_TRUE(log.Lines().empty());

    EXPECT_EQ(entries[1]->getName(), "12") << "scalars convert to text";
    EXPECT_EQ(entries[1]->getPluginLibPath(), "");
    EXPECT_EQ(entries[1]->getFileInterval(), 0) << "-1 until loaded, 0 for an absent key";
    EXPECT_EQ(entries[1]->getFileSwitch(), 0);
    EXPECT_EQ(entries[1]->getFileLimit(), 0);
    EXPECT_EQ(PluginCfgDataClass().getFileInterval(), -1);
}

TEST_F(PluginCfgTest, UnreadableFilesYieldNoEntries) {
    EXPECT_EQ(parser.parseInfoCollectCfg(dir.Join("missing.txt")), 0);
    EXPECT_TRUE(parser.getPluginCfg().empty());
    auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("Open the cfg file failed."), std::string::npos);
    EXPECT_NE(lines[1].find("Failed to parse the cfg file."), std::string::npos);

    log.Clear();
    EXPECT_TRUE(Parse("{\"plugin\": [").empty());
    EXPECT_EQ(log.Count("Failed to parse the cfg file."), 1u);
    EXPECT_FALSE(log.Contains("Open the cfg file failed."));
}

TEST_F(PluginCfgTest, KeepsTheFirstTenPluginsSilently) {
    std::vector<std::string> objects;
    for (int i = 0; i < 12; ++i) {
        objects.push_back(Named("p" + std::to_string(i)));
    }
    const auto& entries = Parse(Plugins(objects));
    ASSERT_EQ(entries.size(), 10u);
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(entries[i]->getName(), "p" + std::to_string(i));
    }
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(PluginCfgTest, WrongTypesEndParsingButKeepEarlierEntries) {
    const auto& entries =
        Parse(Plugins({Named("first"), Named("second", "\"file_interval\": \"60\""), Named("third")}));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0]->getName(), "first");
    EXPECT_EQ(log.Count(kParseException), 1u);
}

TEST_F(PluginCfgTest, MisshapenDocumentsAreCaught) {
    EXPECT_TRUE(Parse("[1, 2]").empty()) << "root not an object";
    EXPECT_TRUE(Parse(R"({"plugin": ["text"]})").empty()) << "element not an object";
    EXPECT_TRUE(Parse(R"({"plugin": {"a": {}}})").empty()) << "\"plugin\" not an array";
    EXPECT_TRUE(Parse(Plugins({Named("a", R"("parameters": "x")")})).empty()) << "scalar parameters";
    EXPECT_TRUE(Parse(Plugins({Named("a", R"("parameters": [{"k": [[1]]}])")})).empty()) << "nested value";
    EXPECT_EQ(log.Count(kParseException), 5u);
    EXPECT_TRUE(Parse(R"({"other": 1})").empty()) << "no \"plugin\": nothing to do, nothing wrong";
    EXPECT_EQ(log.Count(kParseException), 5u);
}

TEST_F(PluginCfgTest, ParameterNamesComeInByteOrder) {
    const auto& entries =
        Parse(Plugins({Named("a", R"("parameters": [{"b": ["1"], "a": ["2", "3"]}, {}])")}));
    ASSERT_EQ(entries.size(), 1u);
    ASSERT_EQ(entries[0]->getParaGroupNum(), 2);
    const tagPluginParaGroup& group = entries[0]->getParaGroup(0);
    ASSERT_EQ(group.iTypeNum, 2);
    EXPECT_EQ(group.typeValue[0].strType, "a");
    EXPECT_EQ(group.typeValue[0].iValueNum, 2);
    EXPECT_EQ(group.typeValue[0].strValue[0], "2");
    EXPECT_EQ(group.typeValue[0].strValue[1], "3");
    EXPECT_EQ(group.typeValue[1].strType, "b");
    EXPECT_EQ(group.typeValue[1].iValueNum, 1);
    EXPECT_EQ(group.typeValue[1].strValue[0], "1");
    EXPECT_EQ(entries[0]->getParaGroup(1).iTypeNum, 0);
}

// Builds a JSON array of `n` texts "v0", "v1", ...
std::string Values(int n) {
    std::string text = "[";
    for (int i = 0; i < n; ++i) {
        text += (i == 0 ? "\"v" : ",\"v") + std::to_string(i) + "\"";
    }
    return text + "]";
}

TEST_F(PluginCfgTest, OverfullListsKeepTheirFirstTwentyButCountZero) {
    std::string group = "{\"many\": " + Values(25) + ", \"twenty\": " + Values(20) +
                        ", \"under\": " + Values(19) + ", \"scalar\": 5}";
    const auto& entries = Parse(Plugins({Named("a", "\"parameters\": [" + group + "]")}));
    ASSERT_EQ(entries.size(), 1u);
    const tagPluginParaGroup& params = entries[0]->getParaGroup(0);
    ASSERT_EQ(params.iTypeNum, 4);
    const TypeValueMapClass& many = params.typeValue[0];
    ASSERT_EQ(many.strType, "many");
    EXPECT_EQ(many.iValueNum, 0);
    EXPECT_EQ(many.strValue[19], "v19");
    EXPECT_EQ(params.typeValue[1].strType, "scalar");
    EXPECT_EQ(params.typeValue[1].iValueNum, 0);
    EXPECT_EQ(params.typeValue[2].strType, "twenty");
    EXPECT_EQ(params.typeValue[2].iValueNum, 0) << "twenty is already too many";
    EXPECT_EQ(params.typeValue[3].iValueNum, 19);
}

TEST_F(PluginCfgTest, OverfullGroupsAndNamesCountZero) {
    std::string names = "{";
    for (int i = 0; i < 21; ++i) {
        names += (i == 0 ? "\"n" : ",\"n") + std::to_string(100 + i) + "\": [\"x\"]";
    }
    std::string groups = names + "}";
    for (int i = 1; i < 22; ++i) {
        groups += "," + names + "}";
    }
    const auto& entries = Parse(Plugins({Named("a", "\"parameters\": [" + groups + "]")}));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0]->getParaGroupNum(), 0);
    const tagPluginParaGroup& last = entries[0]->getParaGroup(PLUGIN_CFG_MAX_GROUP_NUM - 1);
    EXPECT_EQ(last.iTypeNum, 0);
    EXPECT_EQ(last.typeValue[19].strType, "n119") << "the twenty-first name is dropped";
    EXPECT_EQ(last.typeValue[19].iValueNum, 1);
}

}  // namespace
