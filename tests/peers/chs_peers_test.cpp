// chs-peers as the daemon meets it: real chs-peers processes on nodes 0 and 1
// of a temporary cluster, and this test process sending them requests over
// the transport as a client of node 0 (tests/support/peers_cluster.h).
#include <gtest/gtest.h>
#include <json/json.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "msg/inner_msg.h"
#include "msg/msg_api.h"
#include "peers/peer_codes.h"
#include "peers/peer_fault.h"
#include "platform/om_cluster.h"
#include "tests/support/json_lines.h"
#include "tests/support/msg_test_util.h"
#include "tests/support/peers_cluster.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace chs_peers;
using namespace chs_test;
using Reply = PeerReply;

class ChsPeersTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_dir = new TempDir();
        s_peers = new PeersCluster(*s_dir, 2);
        ASSERT_TRUE(s_peers->Ready()) << s_peers->Error();
        s_cluster = s_peers->Dir();
        std::string error;
        ASSERT_TRUE(s_peers->AttachClient(0, false, s_dir->Join("test.log"), error)) << error;
    }
    static void TearDownTestSuite() {
        delete s_peers;
        s_peers = nullptr;
        // This process registered no endpoint, so nothing of the transport
        // lives in the directory any more.
        delete s_dir;
        s_dir = nullptr;
    }
    void SetUp() override {
        for (uint16_t pid :
             {PEER_PID_REMOTE_AGENT, PEER_PID_ALARM, PEER_PID_ACCESS_AUTH, PEER_PID_SSH_PORT}) {
            fs::remove(s_cluster + "/state/" + FaultStateName(pid));
        }
        fs::remove(s_cluster + "/peers.json");
    }
    void TearDown() override {
        ASSERT_TRUE(s_peers != nullptr && s_peers->AllRunning()) << "a chs-peers process died";
    }

    static std::string NodeRoot(int node) { return s_peers->Root(node); }
    static std::string NodeName(uint16_t node) { return platform::Cluster().FindNode(node)->strName; }
    static void SetMode(uint16_t pid, const std::string& mode) {
        WriteText(s_cluster + "/state/" + FaultStateName(pid), mode);
    }
    // A collected file in the chs directory of `node`; its real path.
    static std::string CofferFile(int node, const std::string& name, const std::string& text) {
        MakeDirs(NodeRoot(node) + "/VXA/coffer_data/chs");
        WriteText(NodeRoot(node) + "/VXA/coffer_data/chs/" + name, text);
        return NodeRoot(node) + "/VXA/coffer_data/chs/" + name;
    }
    static Reply SendFile(MsgRecord* record) {
        return SendToPeer(0, PEER_PID_REMOTE_AGENT, OPCODE_SEND_FILE, record);
    }

    // A send-file request in the daemon's layout for the file at `path`.
    static MsgRecord* SendFileRecord(const std::string& path, bool nodeForm, uint16_t node = 0) {
        size_t slash = path.rfind('/');
        auto* record = new MsgRecord(0);
        record->appendInner(CTLVCell::NewString(SEND_FILE_TAG_DIR, path.substr(0, slash + 1)));
        record->appendInner(CTLVCell::NewString(SEND_FILE_TAG_NAME, path.substr(slash + 1)));
        record->appendInner(CTLVCell::NewUInt32(SEND_FILE_TAG_SIZE, 0));
        record->appendInner(CTLVCell::NewInt32(SEND_FILE_TAG_TYPE, 1));
        if (nodeForm) {
            record->appendInner(CTLVCell::NewUInt16(SEND_FILE_TAG_NODE, node));
        } else {
            record->appendInner(CTLVCell::NewString(SEND_FILE_TAG_ADDRESS, "192.0.2.10"));
        }
        record->appendInner(CTLVCell::NewUInt16(SEND_FILE_TAG_FORM, nodeForm ? 1 : 0));
        return record;
    }
    static Reply Port(uint16_t node, uint32_t timeoutSec = 5) {
        return SendToPeer(node, PEER_PID_SSH_PORT, OPCODE_GENERAL,
                          RecordOf(RECORD_SSH_PORT, {CTLVCell::NewEnum(0, 0)}), timeoutSec);
    }
    static uint64_t PortOf(const Reply& reply) {
        const CTLVCell* port = reply.answer.GetBody().empty() ? nullptr : reply.answer.GetBody()[0].find(1);
        return port == nullptr ? 0 : port->GetUInt64();
    }

    static inline TempDir* s_dir = nullptr;
    static inline PeersCluster* s_peers = nullptr;
    static inline std::string s_cluster;
};

TEST_F(ChsPeersTest, BadArgumentsGiveUsageAndStatus1) {
    for (std::vector<std::string> args : {std::vector<std::string>{},
                                          {s_cluster + "/cluster.json", "x", "/tmp"},
                                          {s_cluster + "/cluster.json", "16", "/tmp"},
                                          {s_dir->Join("missing.json"), "0", NodeRoot(0)}}) {
        args.insert(args.begin(), BinaryPath("peers/chs-peers"));
        RunResult run = RunProgram(args, {}, 10000);
        EXPECT_EQ(run.exitCode, 1) << args.size();
        EXPECT_FALSE(run.err.empty());
    }
}

TEST_F(ChsPeersTest, SendFileDeliversTheNamedNodesFileUnderItsName) {
    // The daemon names the real path; a system path resolves below the root too.
    CofferFile(0, "node_b.tgz", "second");
    Reply real = SendFile(SendFileRecord(CofferFile(0, "node_a.tgz", "first"), false));
    Reply system = SendFile(SendFileRecord("/VXA/coffer_data/chs/node_b.tgz", false));
    ASSERT_TRUE(real.bAnswered);
    EXPECT_EQ(real.State(), 0u);
    EXPECT_EQ(real.Code(), PEER_OK);
    ASSERT_NE(real.Cell(0, MSG_TAG_ERROR_CODE), nullptr) << "the result is in cell 4095";
    EXPECT_EQ(system.Code(), PEER_OK);
    std::string remote = s_cluster + "/remote/" + NodeName(0);
    EXPECT_EQ(ReadText(remote + "/node_a.tgz"), "first");
    EXPECT_EQ(ReadText(remote + "/node_b.tgz"), "second");
    for (const fs::directory_entry& entry : fs::directory_iterator(remote)) {
        EXPECT_EQ(entry.path().extension(), ".tgz") << "no partial file is left behind";
    }
    std::vector<Json::Value> events = JsonLines(s_cluster + "/run/peers0.log");
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back()["event"].asString(), "send-file");
    EXPECT_EQ(events.back()["address"].asString(), "192.0.2.10");

    // The node form fetches the file of the node named, whatever the path says.
    CofferFile(1, "only_on_1.tgz", "node one");
    EXPECT_EQ(SendFile(SendFileRecord(NodeRoot(0) + "/VXA/coffer_data/chs/only_on_1.tgz", true, 1)).Code(),
              PEER_OK);
    EXPECT_EQ(ReadText(s_cluster + "/remote/" + NodeName(1) + "/only_on_1.tgz"), "node one");
    EXPECT_FALSE(fs::exists(remote + "/only_on_1.tgz"));
}

TEST_F(ChsPeersTest, SendFileRefusesBadRequestsWithACode) {
    std::string real = CofferFile(0, "real.tgz", "x");
    WriteText(s_dir->Join("secret.txt"), "outside every node root");
    fs::create_symlink(s_dir->Join("secret.txt"), NodeRoot(0) + "/VXA/coffer_data/chs/link.tgz");

    auto* noCells = new MsgRecord(0);
    auto* numericDir = SendFileRecord(real, false);
    numericDir->replaceAppendInner(CTLVCell::NewUInt32(SEND_FILE_TAG_DIR, 7));
    auto* badForm = SendFileRecord(real, false);
    badForm->replaceAppendInner(CTLVCell::NewUInt16(SEND_FILE_TAG_FORM, 9));
    struct Case {
        const char* name;
        MsgRecord* record;
        uint32_t code;
    } cases[] = {
        {"no cells", noCells, PEER_ERR_BAD_REQUEST},
        {"numeric directory", numericDir, PEER_ERR_BAD_REQUEST},
        {"unknown form", badForm, PEER_ERR_BAD_REQUEST},
        {"dot-dot", SendFileRecord(NodeRoot(0) + "/VXA/../../secret.txt", false), PEER_ERR_PATH_REFUSED},
        {"relative", SendFileRecord("VXA/coffer_data/chs/real.tgz", false), PEER_ERR_PATH_REFUSED},
        {"symlink out", SendFileRecord(NodeRoot(0) + "/VXA/coffer_data/chs/link.tgz", false),
         PEER_ERR_PATH_REFUSED},
        {"missing file", SendFileRecord(NodeRoot(0) + "/VXA/coffer_data/chs/none.tgz", false), PEER_ERR_FILE},
        {"directory", SendFileRecord(NodeRoot(0) + "/VXA/coffer_data/chs", false), PEER_ERR_FILE},
        {"unknown node", SendFileRecord("/VXA/coffer_data/chs/real.tgz", true, 9), PEER_ERR_NODE},
    };
    for (const Case& c : cases) {
        Reply reply = SendFile(c.record);
        ASSERT_TRUE(reply.bAnswered) << c.name;
        EXPECT_EQ(reply.State(), 0u) << c.name;
        EXPECT_EQ(reply.Code(), c.code) << c.name;
    }
    EXPECT_FALSE(fs::exists(s_cluster + "/remote/" + NodeName(0) + "/secret.txt"));
    EXPECT_FALSE(fs::exists(s_cluster + "/remote/" + NodeName(0) + "/link.tgz"));
    EXPECT_NE(ReadText(NodeRoot(0) + "/var/log/chs/chs-peers.log").find("leads outside the node root"),
              std::string::npos);
}

TEST_F(ChsPeersTest, SwitchChangeNoticeIsLoggedAndNotAnswered) {
    size_t before = JsonLines(s_cluster + "/run/peers1.log").size();
    Reply reply = SendToPeer(1, PEER_PID_REMOTE_AGENT, OPCODE_SWITCH_CHANGE, new MsgRecord(0), 1);
    EXPECT_EQ(reply.State(), MSG_STATE_TIMEOUT);
    std::vector<Json::Value> events;
    ASSERT_TRUE(
        WaitFor([&] { return (events = JsonLines(s_cluster + "/run/peers1.log")).size() > before; }, 2000));
    EXPECT_EQ(events.back()["event"].asString(), "switch-change");
    // This test process holds no endpoint: whatever pid its record claims, it speaks as a tool.
    EXPECT_EQ(events.back()["senderPid"].asUInt(), 0u);
    EXPECT_EQ(events.back()["senderNode"].asUInt(), MSG_TOOL_NODE_BID);
}

TEST_F(ChsPeersTest, AlarmEntryIsRecordedWithAllItsCells) {
    auto entry = [](CTLVCell* id) { return RecordOf(RECORD_ALARM_ENTRY, {id, CTLVCell::NewUInt32(1, 3)}); };
    MsgRecord* good = entry(CTLVCell::NewUInt64(0, 0x200FE05C0009ull));
    good->appendInner(CTLVCell::NewUInt32(3, 0xE05B));
    good->appendInner(CTLVCell::NewString(2, "12,on"));
    Reply reply = SendToPeer(1, PEER_PID_ALARM, OPCODE_GENERAL, good, 5, 12);
    ASSERT_TRUE(reply.bAnswered);
    EXPECT_EQ(reply.Code(), PEER_OK);

    std::vector<Json::Value> lines = JsonLines(s_cluster + "/remote/alarm/node1.jsonl");
    ASSERT_EQ(lines.size(), 1u) << "recorded by the service of the node addressed";
    const Json::Value& line = lines[0];
    EXPECT_EQ(line["id"].asString(), "0x200fe05c0009");
    EXPECT_EQ(line["entryType"].asUInt(), 3u);
    EXPECT_EQ(line["sessionKey"].asUInt(), 12u);
    std::vector<std::string> cells;  // "tag type value", types 3 (unsigned) and 2 (text)
    for (const Json::Value& cell : line["cells"]) {
        cells.push_back(cell["tag"].asString() + " " + cell["type"].asString() + " " +
                        cell["value"].asString());
    }
    EXPECT_EQ(cells, (std::vector<std::string>{"0 3 " + std::to_string(0x200FE05C0009ull), "1 3 3",
                                               "3 3 " + std::to_string(0xE05B), "2 2 12,on"}));

    EXPECT_EQ(
        SendToPeer(1, PEER_PID_ALARM, OPCODE_GENERAL, entry(CTLVCell::NewString(0, "not a number"))).Code(),
        PEER_ERR_BAD_REQUEST);
    EXPECT_EQ(SendToPeer(1, PEER_PID_ALARM, OPCODE_GENERAL, new MsgRecord(0xD00C90001)).Code(),
              PEER_ERR_UNSUPPORTED);
    EXPECT_EQ(JsonLines(s_cluster + "/remote/alarm/node1.jsonl").size(), 1u)
        << "refused entries are not recorded";
}

TEST_F(ChsPeersTest, UndecodableBodyIsAnsweredWithAFailure) {
    // A record header that promises more cells than the body holds.
    const unsigned char garbage[] = {0xA5, 0x00, 0x0C, 0x00, 0x0D, 0, 0, 0, 0x40, 0x00, 0x01};
    void* buffer = msg_api::AllocMsg(sizeof(garbage));
    ASSERT_NE(buffer, nullptr);
    memcpy(buffer, garbage, sizeof(garbage));
    tagMsgInfo info;
    msg_api::InitMsgInfo(&info);
    info.usSenderPID = PEERS_TEST_PID;
    info.usReceiverBID = 0;
    info.usReceiverPID = PEER_PID_ALARM;
    info.uiMsgOPCode = OPCODE_GENERAL;
    info.uiMsgTimeout = 5;
    info.uiMsgLength = sizeof(garbage);
    void* raw = nullptr;
    ASSERT_EQ(msg_api::SendSyncMsg(buffer, &info, &raw), 0);
    InnerMsg answer;
    ASSERT_NE(answer.Decode(static_cast<unsigned char*>(raw), 0), MSG_CODEC_FAILURE);
    msg_api::FreeMsg(raw);
    EXPECT_EQ(answer.TryGetErrorCode(), PEER_ERR_BAD_REQUEST);
    EXPECT_FALSE(fs::exists(s_cluster + "/remote/alarm/node0.jsonl"));
}

TEST_F(ChsPeersTest, SessionKeyResolvesToItsUserAndAnUnknownKeyFails) {
    auto user = [](uint32_t key) {
        return SendToPeer(0, PEER_PID_ACCESS_AUTH, OPCODE_GENERAL, new MsgRecord(RECORD_QUERY_USER), 5, key);
    };
    WriteText(s_cluster + "/peers.json", R"({"sessions": {"12345": "admin", "7": "operator"}})");
    Reply known = user(12345);
    ASSERT_TRUE(known.bAnswered);
    EXPECT_EQ(known.Code(), PEER_OK);
    ASSERT_EQ(known.Records(), 1u);
    EXPECT_EQ(known.answer.GetBody()[0].GetCode(), RECORD_QUERY_USER);
    EXPECT_EQ(known.Text(0, 0), "admin");

    Reply unknown = user(999);
    EXPECT_EQ(unknown.Code(), PEER_ERR_UNKNOWN_SESSION);
    EXPECT_EQ(unknown.Cell(0, 0), nullptr) << "no user name on failure";

    WriteText(s_cluster + "/peers.json", "{\"sessions\": [1, 2]");
    EXPECT_EQ(user(12345).Code(), PEER_ERR_CONFIG);
}

TEST_F(ChsPeersTest, SshPortFromTheConfigurationAndFaultModes) {
    Reply fallback = Port(1);
    EXPECT_EQ(fallback.Code(), PEER_OK);
    EXPECT_EQ(fallback.answer.GetBody()[0].GetCode(), RECORD_SSH_PORT);
    EXPECT_EQ(PortOf(fallback), 22u);

    WriteText(s_cluster + "/peers.json", R"({"ssh_port": 2222})");
    Reply configured = Port(1);
    EXPECT_EQ(configured.Code(), PEER_OK);
    EXPECT_EQ(PortOf(configured), 2222u);
    fs::remove(s_cluster + "/peers.json");

    // Fault modes delay, fail or silence a module.
    SetMode(PEER_PID_SSH_PORT, "fail:0x4000C960");
    Reply failed = Port(0);
    EXPECT_EQ(failed.Code(), 0x4000C960u);
    EXPECT_EQ(PortOf(failed), 0u);

    SetMode(PEER_PID_SSH_PORT, "delay:1500");
    EXPECT_EQ(Port(0, 1).State(), MSG_STATE_TIMEOUT);
    SetMode(PEER_PID_SSH_PORT, "delay:50");
    EXPECT_EQ(PortOf(Port(0)), 22u);

    SetMode(PEER_PID_SSH_PORT, "silent");
    EXPECT_EQ(Port(0, 1).State(), MSG_STATE_TIMEOUT);

    // A mode that cannot be read leaves the module working.
    SetMode(PEER_PID_SSH_PORT, "delay:soon");
    EXPECT_EQ(PortOf(Port(0)), 22u);

    // A failing agent does not deliver; the mode belongs to one module only.
    SetMode(PEER_PID_REMOTE_AGENT, "fail:5");
    EXPECT_EQ(SendFile(SendFileRecord(CofferFile(0, "held.tgz", "held"), false)).Code(), 5u);
    EXPECT_FALSE(fs::exists(s_cluster + "/remote/" + NodeName(0) + "/held.tgz"));
    EXPECT_EQ(Port(0).Code(), PEER_OK);
}

TEST(PeerFaultModeTest, ParsesEveryFormAndRejectsTheRest) {
    EXPECT_EQ(ParseFaultMode("ok")->eKind, FaultMode::OK);
    EXPECT_EQ(ParseFaultMode("silent")->eKind, FaultMode::SILENT);
    EXPECT_EQ(ParseFaultMode("delay:2000")->uiValue, 2000u);
    EXPECT_EQ(ParseFaultMode("fail:0xFFFFFFFF")->uiValue, 0xFFFFFFFFu);
    EXPECT_EQ(ParseFaultMode("fail:17")->eKind, FaultMode::FAIL);
    for (const char* bad : {"", "OK", "delay:", "delay:-1", "delay:999999999", "fail:0x100000000", "fail:5x",
                            "fail: 5", "silently"}) {
        EXPECT_FALSE(ParseFaultMode(bad).has_value()) << bad;
    }
}

}  // namespace
