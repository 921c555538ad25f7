// chsctl's grammar and documents against a real two-node cluster: global
// options before, after and around every subcommand, the cluster named by its
// directory, its cluster.json or CHS_CLUSTER, help and version on standard
// output, and the --json documents read back with a JSON parser. Node 0 runs
// chs-peers and the daemon, node 1 the daemon alone (it cannot resolve the
// user who switches, so it refuses a switch set).
#include <gtest/gtest.h>
#include <json/json.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "msg/chs_wire.h"
#include "tests/support/process.h"
#include "tests/support/sim_cluster.h"
#include "tests/support/temp_dir.h"
#include "tools/chsctl_client.h"

namespace {

using chs_test::BinaryPath;
using chs_test::RunProgram;
using chs_test::RunResult;
using Words = std::vector<std::string>;

Words Join(std::initializer_list<Words> parts) {
    Words joined;
    for (const Words& part : parts) {
        joined.insert(joined.end(), part.begin(), part.end());
    }
    return joined;
}

class ChsctlCliTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_dir = new chs_test::TempDir();
        s_sim = new chs_test::SimCluster(*s_dir, 2, {}, "\"12345\": \"admin\"");
        ASSERT_TRUE(s_sim->StartNode(0)) << s_sim->DaemonLog(0);
        ASSERT_TRUE(s_sim->StartDaemon(1)) << s_sim->DaemonLog(1);
    }
    static void TearDownTestSuite() {
        delete s_sim;
        delete s_dir;
    }

    static RunResult Run(const Words& args, const Words& env = {}) {
        return RunProgram(Join({{BinaryPath("tools/chsctl")}, args}), env, 30000);
    }
    static const std::string& Cluster() { return s_sim->Dir(); }

    // Runs `args` with --json against `node` and parses the one document on
    // standard output.
    static Json::Value Document(const Words& args, int exitCode, const std::string& node = "0") {
        RunResult result = Run(Join({{"--cluster", Cluster(), "--node", node, "--json"}, args}));
        EXPECT_EQ(result.exitCode, exitCode) << testing::PrintToString(args) << result.err;
        Json::Value document;
        EXPECT_TRUE(Json::Reader().parse(result.out, document)) << result.out;
        EXPECT_EQ(result.out.find('\n'), result.out.size() - 1) << "one line: " << result.out;
        return document;
    }

    static void ExpectKeys(const Json::Value& document, const Words& keys) {
        ASSERT_TRUE(document.isObject()) << document;
        EXPECT_EQ(document.getMemberNames(), keys) << document;
    }

    static chs_test::TempDir* s_dir;
    static chs_test::SimCluster* s_sim;
};

chs_test::TempDir* ChsctlCliTest::s_dir = nullptr;
chs_test::SimCluster* ChsctlCliTest::s_sim = nullptr;

TEST_F(ChsctlCliTest, GlobalOptionsGoAnywhereAndTheClusterIsItsDirectoryOrItsFile) {
    // A switch query in its wire form, for send.
    InnerMsg request = chs_tools::NewCollectorRequest(MSG_OPCODE_GENERAL, [] {
        MsgRecord* record = new MsgRecord(chs_wire::RECORD_QUERY_SWITCH);
        record->appendInner(CTLVCell::NewEnum(chs_wire::SWITCH_TAG_QUALIFIER, chs_wire::SWITCH_QUALIFIER));
        return record;
    }());
    std::string message = s_dir->Join("query.json");
    request.Serialization(message);

    struct Case {
        Words words;
        int exitCode;
        std::string expected;  // on standard output, or standard error when the command fails
    };
    const std::vector<Case> cases = {
        {{"switch", "get"}, 0, "collector switch: "},
        {{"switch", "get", "--json"}, 0, "\"collector_switch\":"},
        {{"remote-log", "show"}, 1, "no remote log task"},
        {{"send", message}, 0, "\"msgHdr\""},
    };
    for (const Case& c : cases) {
        for (const std::string& cluster : {Cluster(), Cluster() + "/cluster.json"}) {
            const Words global{"--cluster", cluster, "--node", "0", "--timeout", "10"};
            const std::vector<Words> forms = {
                Join({global, c.words}),  // options first
                Join({c.words, global}),  // subcommand first
                Join({{"--node", "0"}, c.words, {"--timeout", "10", "--cluster", cluster}}),  // around it
            };
            for (const Words& form : forms) {
                RunResult result = Run(form);
                EXPECT_EQ(result.exitCode, c.exitCode) << testing::PrintToString(form) << result.err;
                const std::string& shown = c.exitCode == 0 ? result.out : result.err;
                EXPECT_NE(shown.find(c.expected), std::string::npos) << testing::PrintToString(form) << shown;
                EXPECT_EQ(result.err.find("chsctl: cluster "), std::string::npos) << "named, so not reported";
            }
        }
    }
}

TEST_F(ChsctlCliTest, WithoutClusterOptionCHS_CLUSTERAndThenTheBuildTreeAreUsedAndNamed) {
    for (const std::string& cluster : {Cluster(), Cluster() + "/cluster.json"}) {
        RunResult result = Run({"--node", "0", "switch", "get"}, {"CHS_CLUSTER=" + cluster});
        EXPECT_EQ(result.exitCode, 0) << result.err;
        EXPECT_NE(result.err.find("chsctl: cluster " + Cluster() + " (from CHS_CLUSTER)\n"),
                  std::string::npos)
            << result.err;
    }
    unsetenv("CHS_CLUSTER");
    RunResult fallback = Run({"--node", "0", "--timeout", "1", "switch", "get"});
    EXPECT_NE(fallback.err.find("chsctl: cluster " + std::string(CHS_BINARY_DIR) + "/cluster"),
              std::string::npos)
        << fallback.err;
    EXPECT_NE(fallback.err.find("the build tree's"), std::string::npos) << fallback.err;
}

TEST_F(ChsctlCliTest, HelpAndVersionPrintOnStandardOutputAndBadCommandLinesExitWithTwo) {
    const std::vector<std::pair<Words, std::string>> helps = {
        {{"--help"}, "SUBCOMMAND is one of:"},
        {{"-h"}, "remote-log start"},
        {{"help"}, "mkcluster DIR"},
        {{"help", "switch"}, "switch set on|off"},
        {{"export", "--help"}, "export download"},
        {{"mkcluster", "--help"}, "--etcd-endpoint"},
        {{"--version"}, "chsctl "},
    };
    for (const auto& [args, expected] : helps) {
        RunResult result = Run(args);
        EXPECT_EQ(result.exitCode, 0) << testing::PrintToString(args) << result.err;
        EXPECT_NE(result.out.find(expected), std::string::npos) << testing::PrintToString(args) << result.out;
        EXPECT_TRUE(result.err.empty()) << result.err;
    }
    EXPECT_NE(access("--help", F_OK), 0) << "mkcluster --help laid out a cluster";

    const std::vector<Words> bad = {
        {"--bogus", "--node", "0", "switch", "get"},
        {"switch", "get", "--node"},
        {"--node", "x", "switch", "get"},
        {"help", "nosuch"},
        {"--node", "0", "nosuch"},
        {"mkcluster", "--nodes", "2"},
        {"--cluster", Cluster() + "/ccdb.sqlite", "--node", "0", "switch", "get"},
        {"--cluster", Cluster() + "/none", "--node", "0", "switch", "get"},
    };
    for (const Words& args : bad) {
        RunResult result = Run(args);
        EXPECT_EQ(result.exitCode, 2) << testing::PrintToString(args) << result.err;
        EXPECT_TRUE(result.out.empty()) << result.out;
        EXPECT_NE(result.err.find("chsctl: "), std::string::npos) << result.err;
    }
}

TEST_F(ChsctlCliTest, JsonDocumentsHaveTheirSchemas) {
    Json::Value set = Document({"switch", "set", "on"}, 0);
    ExpectKeys(set, {"set", "switch", "value"});
    EXPECT_TRUE(set["set"] == true && set["switch"] == "collector" && set["value"] == "on") << set;
    ExpectKeys(Document({"switch", "set", "off", "--oem"}, 0), {"set", "switch", "value"});

    Json::Value get = Document({"switch", "get"}, 0);
    ExpectKeys(get, {"collector_switch", "oem_switch"});
    EXPECT_TRUE(get["collector_switch"] == "on" && get["oem_switch"] == "off") << get;

    Json::Value refused = Document({"switch", "set", "on"}, 1, "1");
    ExpectKeys(refused, {"reason", "result", "result_text", "set", "switch", "value"});
    EXPECT_EQ(refused["set"], false);
    EXPECT_TRUE(refused["result"].isIntegral() && refused["result"] != 0) << refused;
    EXPECT_TRUE(refused["reason"].isString() && refused["result_text"].isString()) << refused;

    Json::Value cleared = Document({"--timeout", "1", "clear-collected"}, 0);
    ExpectKeys(cleared, {"cleared"});
    EXPECT_EQ(cleared["cleared"], true);

    EXPECT_TRUE(Document({"remote-log", "show"}, 1).isNull());
}

}  // namespace
