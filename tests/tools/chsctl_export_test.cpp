// chsctl export against a scripted stand-in for the daemon: this test process
// attaches to a temporary three-node cluster as node 0, serves endpoint 551
// over the real transport and answers the export requests as each case
// scripts; chsctl runs as its own process.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "msg/chs_wire.h"
#include "tests/support/export_test_util.h"
#include "tests/support/fake_daemon.h"

namespace {

namespace fs = std::filesystem;
using chs_test::ReadText;
using chs_test::RunResult;
using chs_test::TempDir;
using chs_test::WriteText;

constexpr uint32_t kStart = 0x70003014;
constexpr uint32_t kStatus = 0x70003017;
constexpr uint32_t kDownload = 0x70003018;
constexpr uint32_t kClear = 0x70003019;

// One scripted answer to a status request; `before` runs first (it plays the
// nodes building their packages, as the run node's node status then tells).
struct StatusStep {
    uint32_t uiResult;
    uint32_t uiStatus;
    std::function<void()> before;
};

// What the stand-in answers; requests come on the transport's reader threads.
std::mutex g_mutex;
uint32_t g_result = 0;  // start, download and clear
std::string g_path;    // download answer
std::deque<StatusStep> g_status;
// The export's nodes in the run node's node status: id, name, state, bytes.
struct ExportNode {
    uint32_t id;
    std::string name;
    std::string state;
    uint64_t bytes;
};
std::vector<ExportNode> g_exportNodes;

void SetNode(const ExportNode& node) {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (ExportNode& known : g_exportNodes) {
        if (known.id == node.id) {
            known = node;
            return;
        }
    }
    g_exportNodes.push_back(node);
}

// The node status answer: this node (0) runs the export.
void MoreOf(const InnerMsg& request, MsgObject& body) {
    if (request.GetMsgInfo().uiMsgOPCode != chs_wire::OPCODE_NODE_STATUS) {
        return;
    }
    body[0].appendInner(CTLVCell::NewUInt32(chs_wire::STATUS_TAG_EXPORT_RUN_NODE, 0));
    std::lock_guard<std::mutex> lock(g_mutex);
    for (const ExportNode& node : g_exportNodes) {
        MsgRecord* record = new MsgRecord(chs_wire::RECORD_STATUS_EXPORT_NODE);
        record->appendInner(CTLVCell::NewUInt32(chs_wire::STATUS_EXPORT_TAG_NODE, node.id));
        record->appendInner(CTLVCell::NewString(chs_wire::STATUS_EXPORT_TAG_NAME, node.name));
        record->appendInner(CTLVCell::NewString(chs_wire::STATUS_EXPORT_TAG_STATE, node.state));
        record->appendInner(CTLVCell::NewUInt64(chs_wire::STATUS_EXPORT_TAG_BYTES, node.bytes));
        body.append(record);
    }
}

MsgRecord* AnswerOf(const InnerMsg& request) {
    uint32_t opcode = request.GetMsgInfo().uiMsgOPCode;
    std::function<void()> before;
    MsgRecord* record = new MsgRecord(opcode);
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        uint32_t result = g_result;
        if (opcode == kStatus) {
            StatusStep step = g_status.empty() ? StatusStep{0, 255, nullptr} : g_status.front();
            if (g_status.size() > 1) {
                g_status.pop_front();
            }
            before = step.before;
            result = step.uiResult;
            if (result == 0) {
                record->appendInner(CTLVCell::NewInt32(4, static_cast<int32_t>(step.uiStatus)));
            }
        } else if (opcode == kDownload && result == 0) {
            record->appendInner(CTLVCell::NewString(3, g_path));
        }
        record->appendInner(CTLVCell::NewInt32(MSG_TAG_ERROR_CODE, static_cast<int32_t>(result)));
    }
    if (before) {
        before();
    }
    return record;
}

class ChsctlExportTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_dir = new TempDir();
        s_daemon = new chs_test::FakeDaemon(*s_dir, 3, AnswerOf, MoreOf);
    }
    static void TearDownTestSuite() {
        delete s_daemon;
        delete s_dir;
    }

    void SetUp() override {
        Answer(0);
        AnswerStatus({});
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            g_exportNodes.clear();
        }
        s_daemon->Forget();
    }

    // What the stand-in answers next.
    static void Answer(uint32_t result, const std::string& path = "") {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_result = result;
        g_path = path;
    }
    static void AnswerStatus(const std::vector<StatusStep>& steps) {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_status.assign(steps.begin(), steps.end());
    }

    static std::string Root(int node) { return s_daemon->Cluster() + "/node" + std::to_string(node); }
    // chsctl driving `node`.
    static RunResult Chsctl(const std::vector<std::string>& args, const std::string& node = "0") {
        return s_daemon->Chsctl(args, node);
    }
    static InnerMsg Received(uint32_t opcode) { return s_daemon->Received(opcode); }
    static std::string Cell(const InnerMsg& message, unsigned short tag) {
        return chs_test::FakeDaemon::Cell(message, tag);
    }

    static inline TempDir* s_dir = nullptr;
    static inline chs_test::FakeDaemon* s_daemon = nullptr;
};

// Node 1 has no endpoint: a request that went out ends with status 3.
TEST_F(ChsctlExportTest, BadCommandLinesAreRefusedBeforeSending) {
    const std::vector<std::vector<std::string>> cases = {
        {"export"}, {"export", "begin"}, {"export", "start", "--type", "6"}, {"export", "start", "--type"},
        {"export", "start", "--wait-limit", "5"}, {"export", "start", "--wait", "--wait-limit", "0"},
        {"export", "status", "--wait"}, {"export", "download", "-o", ""}, {"export", "clear", "--type", "5"}};
    for (const auto& words : cases) {
        RunResult result = Chsctl(words, "1");
        EXPECT_EQ(result.exitCode, 2) << testing::PrintToString(words) << result.err;
        EXPECT_NE(result.err.find("usage:"), std::string::npos) << testing::PrintToString(words);
    }
    RunResult sent = Chsctl({"export", "status", "--type", "3"}, "1");
    EXPECT_EQ(sent.exitCode, 3) << sent.err;
}

TEST_F(ChsctlExportTest, StartSendsTheTaskRequestAndExplainsRefusals) {
    RunResult started = Chsctl({"export", "start", "--type", "4"});
    EXPECT_EQ(started.exitCode, 0) << started.err;
    EXPECT_EQ(started.out, "diagnose export started on node 0 (type 4)\n");
    InnerMsg request = Received(kStart);
    EXPECT_EQ(request.GetMsgInfo().usReceiverPID, 551);
    EXPECT_EQ(request.GetSessionKey(), 12345u);
    EXPECT_TRUE(std::regex_match(Cell(request, 0), std::regex("2/[0-9]+:chsctl-[0-9]+-[0-9]+")))
        << Cell(request, 0);
    EXPECT_EQ(Cell(request, 1), "4/4:4");
    EXPECT_EQ(Cell(request, 2), "4/8:0");
    EXPECT_EQ(Cell(request, 3), "4/4:0");

    const std::vector<std::pair<uint32_t, std::string>> refusals = {
        {0x40E05B0C, "failed: result 0x40E05B0C (an export task is already running or still gathering)\n"},
        {0xFFFFFFFF, "failed: result 0xFFFFFFFF (busy, or not served)\n"},
        {0x12345678, "failed: result 0x12345678\n"},
    };
    for (const auto& [code, text] : refusals) {
        Answer(code);
        RunResult refused = Chsctl({"export", "start", "--wait"});
        EXPECT_EQ(refused.exitCode, 1) << refused.err;
        EXPECT_EQ(refused.err, text);
        EXPECT_EQ(refused.out, "");
        EXPECT_EQ(Cell(Received(kStart), 1), "4/4:5") << "type 5 by default";
    }
}

TEST_F(ChsctlExportTest, WaitFollowsTheNodesToTheExportsOutcome) {
    struct Case {
        std::vector<StatusStep> steps;
        std::vector<std::string> extra;
        int exitCode;
        std::string text;  // the end of standard output or of standard error
    };
    const std::vector<Case> cases = {
        {{{0, 255, nullptr}, {0, 0, nullptr}}, {}, 0, "diagnose export done\n"},
        {{{0, 255, nullptr}, {0, 0x4040324C, nullptr}}, {}, 1, "diagnose export failed\n"},
        {{{0x40E05B0E, 0, nullptr}}, {}, 1, "failed: result 0x40E05B0E (no diagnose export task)\n"},
        {{{0, 255, nullptr}}, {"--wait-limit", "1"}, 4, "the export is still gathering after 1 s\n"},
        // The stand-in creates each node's package directory and file between
        // two status answers, the way the nodes' diagnostic scripts do.
        {{{0, 255, [] { SetNode({1, "CTE0.B", "building", 0}); }},
          {0, 255,
           [] {
               SetNode({1, "CTE0.B", "built", 10});
               SetNode({0, "CTE0.A", "building", 0});
           }},
          {0xFFFFFFFF, 0, nullptr},  // another status query runs: asked again
          {0, 2, [] { SetNode({0, "CTE0.A", "built", 5}); }}},
         {},
         0,
         // Progress lines come at most twice a second, and once more at the
         // end: states in between may be passed over, the last one is not.
         "node 0 (CTE0.A): built (5 bytes)\n"
         "diagnose export done, some parts missing\n"},
    };
    for (const Case& c : cases) {
        AnswerStatus(c.steps);
        std::vector<std::string> args = {"export", "start", "--wait"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        RunResult result = Chsctl(args);
        EXPECT_EQ(result.exitCode, c.exitCode) << c.text << result.out << result.err;
        const std::string& where =
            c.exitCode == 0 || c.text.rfind("diagnose", 0) == 0 ? result.out : result.err;
        ASSERT_GE(where.size(), c.text.size()) << result.out << result.err;
        EXPECT_EQ(where.substr(where.size() - c.text.size()), c.text) << result.out << result.err;
        if (c.text.rfind("node 0", 0) == 0) {
            EXPECT_EQ(result.out.rfind("diagnose export started on node 0 (type 5)\nnode 1 (CTE0.B): building\n", 0), 0u)
                << result.out;
            EXPECT_NE(result.out.find("node 1 (CTE0.B): built (10 bytes)\n"), std::string::npos) << result.out;
        }
        EXPECT_EQ(Cell(Received(kStatus), 1), "4/4:5");
    }
}

TEST_F(ChsctlExportTest, DownloadCopiesTheNamedFileOutOfTheNodeRoot) {
    chs_test::PutFile(Root(0) + "/VXA/coffer_data/omm/export_import/DiagnoseInfo.tgz", "merged bundle");
    Answer(0, "/VXA/coffer_data/omm/export_import/DiagnoseInfo.tgz");
    std::string out = s_dir->Join("out");
    fs::create_directories(out);

    // Copied, then refused: it is no bundle with a manifest.
    RunResult named = Chsctl({"export", "download", "-o", out + "/got.tgz"});
    EXPECT_EQ(named.exitCode, 1) << named.err;
    EXPECT_EQ(named.out, "written " + out + "/got.tgz (13 bytes)\n");
    EXPECT_NE(named.err.find("got.tgz does not verify: "), std::string::npos) << named.err;
    EXPECT_EQ(ReadText(out + "/got.tgz"), "merged bundle");
    EXPECT_EQ(Received(kDownload).GetMsgInfo().uiMsgTimeout, 300u) << "merging takes its time";
    EXPECT_EQ(Cell(Received(kDownload), 1), "4/4:5");

    RunResult intoDir = Chsctl({"--timeout", "7", "export", "download", "--type", "3", "-o", out});
    EXPECT_EQ(intoDir.exitCode, 1) << intoDir.err;
    EXPECT_EQ(ReadText(out + "/DiagnoseInfo.tgz"), "merged bundle");
    EXPECT_EQ(Received(kDownload).GetMsgInfo().uiMsgTimeout, 7u);
    EXPECT_EQ(Cell(Received(kDownload), 1), "4/4:3");
    EXPECT_EQ(chs_test::Entries(out).size(), 2u) << "no temporary file is left";
}

// The path comes from the daemon; chsctl copies only files of the node's coffer tree.
TEST_F(ChsctlExportTest, DownloadRefusesFilesOutsideTheCofferTree) {
    WriteText(Root(0) + "/secret.txt", "not for copying");
    std::string link = Root(0) + "/VXA/coffer_data/omm/export_import/link.tgz";
    fs::create_directories(fs::path(link).parent_path());
    fs::create_symlink(s_daemon->Cluster() + "/cluster.json", link);
    std::string target = s_dir->Join("refused.tgz");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/VXA/coffer_data/../../secret.txt", "refused"},
        {"VXA/coffer_data/omm/export_import/DiagnoseInfo.tgz", "refused"},
        {"/VXA/coffer_data/omm/export_import/link.tgz", "refused"},
        {"/VXA/coffer_data/omm/export_import/missing.tgz", "no such file"},
        {"/VXA/coffer_data/omm/export_import", "not a regular file"},
    };
    for (const auto& [path, why] : cases) {
        Answer(0, path);
        RunResult result = Chsctl({"export", "download", "-o", target});
        EXPECT_EQ(result.exitCode, 1) << path;
        EXPECT_NE(result.err.find(why), std::string::npos) << path << ": " << result.err;
        EXPECT_FALSE(fs::exists(target)) << path;
    }
}

TEST_F(ChsctlExportTest, StatusAndClear) {
    AnswerStatus({{0, 255, nullptr}, {0, 0, nullptr}, {0x40E05B10, 0, nullptr}, {0, 7, nullptr}});
    EXPECT_EQ(Chsctl({"export", "status"}).out, "diagnose export status: gathering\n");
    EXPECT_EQ(Chsctl({"export", "status", "--type", "4"}).out, "diagnose export status: done\n");
    EXPECT_EQ(Cell(Received(kStatus), 1), "4/4:4");
    RunResult other = Chsctl({"export", "status"});
    EXPECT_EQ(other.exitCode, 1);
    EXPECT_EQ(other.err, "failed: result 0x40E05B10 (not the current export type)\n");
    RunResult odd = Chsctl({"--json", "export", "status"});
    EXPECT_EQ(odd.exitCode, 1) << "a status the daemon never answers with";
    EXPECT_EQ(odd.out, "") << "no document for a status the daemon never answers with";
    EXPECT_NE(odd.err.find("unknown export status 0x00000007"), std::string::npos) << odd.err;

    RunResult cleared = Chsctl({"export", "clear"});
    EXPECT_EQ(cleared.exitCode, 0) << cleared.err;
    EXPECT_EQ(cleared.out, "diagnose export cleared\n");
    EXPECT_EQ(Cell(Received(kClear), 1), "4/4:41");
    Answer(0x40E05B0C);
    EXPECT_EQ(Chsctl({"export", "clear"}).exitCode, 1);
}

}  // namespace
