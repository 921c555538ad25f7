#include <gtest/gtest.h>

#include <string>

#include "collector/plugin_cfg_parse.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace {

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
