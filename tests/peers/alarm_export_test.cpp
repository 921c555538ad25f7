// The alarm-log exports of 561 and the running data of 569 as the daemon
// meets them: real chs-peers processes on a two-node cluster, real requests,
// real tar packages. Every export is asked of node 0 (the run node).
//
// The chs-peers processes find a `tar` of this test first on their PATH: it
// waits while a gate file exists and then runs the real tar, so that a test
// can hold a build and see the export running, stop it or replace it.
#include <gtest/gtest.h>
#include <json/json.h>
#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "infra/json_util.h"
#include "msg/chs_wire.h"
#include "peers/peer_codes.h"
#include "tests/support/msg_test_util.h"
#include "tests/support/peers_cluster.h"

namespace {

namespace fs = std::filesystem;
using namespace chs_test;
using namespace chs_peers;
namespace w = chs_wire;

constexpr const char* kExportDir = "/VXA/coffer_data/omm/export_import/alarm_log/";

struct NodeState {
    std::string name;
    uint32_t pkg = 0;
    int32_t state = 0;
};
struct StatusView {
    uint32_t total = 0;
    uint32_t code = 0;
    std::vector<NodeState> nodes;
};

CTLVCell* U32(unsigned short tag, uint32_t value) { return CTLVCell::NewUInt32(tag, value); }
CTLVCell* Text(unsigned short tag, const std::string& value) { return CTLVCell::NewString(tag, value); }

PeerReply Alarm(MsgRecord* record, uint16_t node = 0, uint32_t timeoutSec = 5) {
    return SendToPeer(node, w::PID_ALARM, w::OPCODE_GENERAL, record, timeoutSec);
}
PeerReply Start(uint32_t type) { return Alarm(RecordOf(w::RECORD_ALM_EXPORT_START, {U32(0, type)})); }
PeerReply Package(uint32_t type, const std::string& name, uint16_t node = 0) {
    return Alarm(RecordOf(w::RECORD_ALM_EXPORT_PKG, {U32(0, type), Text(4, name)}), node);
}
PeerReply Clear(uint32_t clearType, const std::string& name) {
    return Alarm(RecordOf(w::RECORD_ALM_EXPORT_CLEAR, {U32(0, clearType), Text(1, name)}));
}
PeerReply List() { return SendToPeer(0, w::PID_ALARM, w::OPCODE_ALM_LOG_LIST, new MsgRecord(0)); }
PeerReply RunningData(uint16_t node) {
    return SendToPeer(node, w::PID_SYNC, w::OPCODE_RUNNING_DATA, new MsgRecord(w::RECORD_RUNNING_DATA));
}

StatusView Status(uint32_t type, uint16_t node = 0) {
    PeerReply reply = Alarm(RecordOf(w::RECORD_ALM_EXPORT_STATUS, {U32(0, type)}), node);
    StatusView view;
    view.code = reply.Code();
    const CTLVCell* total = reply.Cell(0, w::ALM_TAG_TOTAL_STATUS);
    view.total = total == nullptr ? 0xFFFFFFFF : static_cast<uint32_t>(total->GetUInt64());
    for (size_t i = 0; i < reply.Records(); ++i) {
        if (reply.Cell(i, w::ALM_TAG_NODE_NAME) != nullptr) {
            view.nodes.push_back({reply.Text(i, w::ALM_TAG_NODE_NAME),
                                  static_cast<uint32_t>(reply.Cell(i, w::ALM_TAG_PKG_STATUS)->GetUInt64()),
                                  static_cast<int32_t>(reply.Cell(i, w::ALM_TAG_EXPORT_STATUS)->GetInt64())});
        }
    }
    return view;
}

bool WaitDone(uint32_t type) {
    return WaitFor(
        [&] {
            StatusView s = Status(type);
            return s.code == 0 && s.total == w::ALM_TOTAL_DONE;
        },
        20000);
}

std::string RealTar() { return fs::exists("/usr/bin/tar") ? "/usr/bin/tar" : "/bin/tar"; }
std::string TarList(const std::string& file) { return RunProgram({RealTar(), "-tzf", file}).out; }
std::string TarCat(const std::string& file, const std::string& member) {
    return RunProgram({RealTar(), "-xzOf", file, member}).out;
}

class AlarmExportTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_dir = new TempDir();
        MakeDirs(s_dir->Join("bin"));
        std::string tar = s_dir->Join("bin/tar");
        WriteText(tar, "#!/bin/sh\necho $$ >> '" + s_dir->Join("tar.pids") + "'\nwhile [ -e '" + Gate() +
                           "' ]; do sleep 0.05; done\nexec " + RealTar() + " \"$@\"\n");
        fs::permissions(tar, fs::perms::owner_all);
        const char* path = getenv("PATH");
        s_cluster = new PeersCluster(*s_dir, 2,
                                     {"PATH=" + s_dir->Join("bin") + ":" + (path ? path : "/usr/bin:/bin")});
        ASSERT_TRUE(s_cluster->Ready()) << s_cluster->Error();
        std::string why;
        // Node 0's presence is held here: node 0 is online, node 1 is not.
        ASSERT_TRUE(s_cluster->AttachClient(0, true, s_dir->Join("test.log"), why)) << why;
    }
    static void TearDownTestSuite() {
        delete s_cluster;
        s_cluster = nullptr;
        delete s_dir;
        s_dir = nullptr;
    }
    void SetUp() override {
        fs::remove(Gate());
        for (const fs::directory_entry& entry : fs::directory_iterator(s_cluster->Dir() + "/state")) {
            if (entry.path().filename().string().rfind("peer", 0) == 0) {
                fs::remove(entry.path());
            }
        }
    }
    void TearDown() override {
        fs::remove(Gate());
        EXPECT_TRUE(s_cluster->AllRunning()) << "a chs-peers process died";
    }

    static std::string Gate() { return s_dir->Join("tar.gate"); }
    static std::string Root(int node) { return s_cluster->Root(node); }
    static void SetState(const std::string& name, const std::string& value) {
        WriteText(s_cluster->StateFile(name), value);
    }
    static void RecordEntry(uint16_t node, uint64_t id) {
        ASSERT_EQ(
            Alarm(RecordOf(chs_peers::RECORD_ALARM_ENTRY, {CTLVCell::NewUInt64(0, id), U32(1, 3)}), node)
                .Code(),
            PEER_OK);
    }
    // The pid of the newest tar the services started (the gate's script).
    static pid_t LastTarPid() {
        std::istringstream in(fs::exists(s_dir->Join("tar.pids")) ? ReadText(s_dir->Join("tar.pids")) : "");
        pid_t pid = 0;
        for (pid_t next = 0; in >> next;) {
            pid = next;
        }
        return pid;
    }
    static std::vector<std::string> Leftovers() {
        std::vector<std::string> names;
        for (const fs::directory_entry& entry : fs::directory_iterator(Root(0) + kExportDir)) {
            if (entry.path().filename().string()[0] == '.') {
                names.push_back(entry.path().filename().string());
            }
        }
        return names;
    }

    static inline TempDir* s_dir = nullptr;
    static inline PeersCluster* s_cluster = nullptr;
};

TEST_F(AlarmExportTest, EachNodeGetsARealPackageOfItsOwnEntriesAndLogs) {
    RecordEntry(0, 0xA0);
    RecordEntry(1, 0xB1);
    for (int node = 0; node < 2; ++node) {
        WriteText(Root(node) + "/var/log/chs/app.log", "log of node " + std::to_string(node) + "\n");
    }
    WriteText(Gate(), "");
    ASSERT_EQ(Start(w::ALM_LOG_TYPE_FIRST).Code(), PEER_OK);

    StatusView running = Status(w::ALM_LOG_TYPE_FIRST);
    EXPECT_EQ(running.code, 0u);
    EXPECT_EQ(running.total, w::ALM_TOTAL_RUNNING);
    ASSERT_EQ(running.nodes.size(), 2u);
    EXPECT_EQ(running.nodes[0].name, "CTE0.A");
    EXPECT_EQ(running.nodes[1].name, "CTE0.B");
    EXPECT_EQ(running.nodes[1].state, w::ALM_NODE_PACKING);
    EXPECT_NE(Package(w::ALM_LOG_TYPE_FIRST, "CTE0.A").Code(), PEER_OK) << "no location before the package";

    fs::remove(Gate());
    ASSERT_TRUE(WaitDone(w::ALM_LOG_TYPE_FIRST));
    for (const NodeState& node : Status(w::ALM_LOG_TYPE_FIRST).nodes) {
        EXPECT_EQ(node.state, w::ALM_NODE_READY) << node.name;
        EXPECT_EQ(node.pkg, 0u) << node.name;
    }

    PeerReply location = Package(w::ALM_LOG_TYPE_FIRST, "CTE0.B");
    ASSERT_EQ(location.Code(), PEER_OK);
    std::string path = std::string(kExportDir) + "almlog_8_CTE0.B.tgz";
    EXPECT_EQ(location.Text(0, w::ALM_TAG_LOCATION), "127.0.0.1:" + path)
        << "run node's address, system path";
    std::string file = Root(0) + path;
    ASSERT_TRUE(fs::is_regular_file(file)) << "packages lie on the run node";
    std::string listing = TarList(file);
    EXPECT_NE(listing.find("CTE0.B/alarm_entries.jsonl"), std::string::npos) << listing;
    EXPECT_NE(listing.find("CTE0.B/log/app.log"), std::string::npos) << listing;
    EXPECT_NE(listing.find("CTE0.B/log/chs-peers.log"), std::string::npos) << listing;
    std::string entries = TarCat(file, "CTE0.B/alarm_entries.jsonl");
    EXPECT_NE(entries.find("0xb1"), std::string::npos);
    EXPECT_EQ(entries.find("0xa0"), std::string::npos) << "node 0's entries are not node 1's";
    EXPECT_EQ(TarCat(file, "CTE0.B/log/app.log"), "log of node 1\n");
    EXPECT_EQ(TarCat(Root(0) + kExportDir + "almlog_8_CTE0.A.tgz", "CTE0.A/log/app.log"), "log of node 0\n");
    EXPECT_TRUE(Leftovers().empty()) << Leftovers()[0];
}

TEST_F(AlarmExportTest, StatusClearAndTheForcedOverallState) {
    StatusView none = Status(w::ALM_LOG_TYPE_FIRST, 1);  // nothing ever asks node 1 for an export
    EXPECT_EQ(none.code, PEER_ERR_NO_EXPORT);
    EXPECT_NE(none.total, w::ALM_TOTAL_RUNNING) << "a failure must not read as still running";
    EXPECT_EQ(Package(w::ALM_LOG_TYPE_FIRST, "CTE0.A", 1).Code(), PEER_ERR_NO_EXPORT);

    // Clearing deletes one package, marks it fetched and may be repeated.
    ASSERT_EQ(Start(w::ALM_LOG_TYPE_SECOND).Code(), PEER_OK);
    ASSERT_TRUE(WaitDone(w::ALM_LOG_TYPE_SECOND));
    std::string a = std::string(kExportDir) + "almlog_2_CTE0.A.tgz";
    std::string b = std::string(kExportDir) + "almlog_2_CTE0.B.tgz";
    PeerReply list = List();
    std::vector<std::string> before;
    for (size_t i = 0; i < list.Records(); ++i) {
        before.push_back(list.Text(i, w::ALM_LIST_TAG_NODE) + " " + list.Text(i, w::ALM_LIST_TAG_PATH));
    }
    EXPECT_NE(std::find(before.begin(), before.end(), "CTE0.B " + b), before.end());

    EXPECT_EQ(Clear(w::ALM_CLEAR_TYPE_SECOND, "CTE0.B").Code(), PEER_OK);
    EXPECT_FALSE(fs::exists(Root(0) + b));
    EXPECT_TRUE(fs::exists(Root(0) + a));
    StatusView status = Status(w::ALM_LOG_TYPE_SECOND);
    ASSERT_EQ(status.nodes.size(), 2u);
    EXPECT_EQ(status.nodes[0].pkg, 0u);
    EXPECT_EQ(status.nodes[1].pkg, w::ALM_PKG_FETCHED);
    EXPECT_EQ(Package(w::ALM_LOG_TYPE_SECOND, "CTE0.B").Code(), PEER_ERR_NOT_READY);
    EXPECT_EQ(Clear(w::ALM_CLEAR_TYPE_SECOND, "CTE0.B").Code(), PEER_OK) << "a second clear is no error";
    list = List();
    for (size_t i = 0; i < list.Records(); ++i) {
        EXPECT_NE(list.Text(i, w::ALM_LIST_TAG_PATH), b);
    }

    struct Case {
        const char* value;
        uint32_t total;
        bool failed;
    } cases[] = {
        {"0x05000531", w::ALM_TOTAL_RUNNING, false},
        {"0x4000C933", w::ALM_TOTAL_SPECIAL_END, true},
        {"1234", 1234, false},
        {"soon", w::ALM_TOTAL_DONE, false},  // not a number: ignored
    };
    for (const Case& c : cases) {
        SetState("peer561_export_total", c.value);
        StatusView forced = Status(w::ALM_LOG_TYPE_SECOND);
        EXPECT_EQ(forced.total, c.total) << c.value;
        EXPECT_EQ(forced.code != 0, c.failed) << c.value;
        EXPECT_EQ(forced.nodes.size(), 2u) << c.value;
    }
}

TEST_F(AlarmExportTest, StopAndRestartKillTheRunningTarAndFailItsNodes) {
    WriteText(Gate(), "");
    ASSERT_EQ(Start(w::ALM_LOG_TYPE_SECOND).Code(), PEER_OK);
    ASSERT_TRUE(WaitFor([] { return LastTarPid() != 0; }, 5000));
    pid_t first = LastTarPid();

    // A new start of the same type replaces the running build.
    ASSERT_EQ(Start(w::ALM_LOG_TYPE_SECOND).Code(), PEER_OK);
    EXPECT_TRUE(WaitFor([&] { return kill(first, 0) != 0; }, 5000)) << "the replaced tar still runs";
    ASSERT_TRUE(WaitFor([&] { return LastTarPid() != first; }, 5000));
    pid_t second = LastTarPid();

    EXPECT_EQ(Alarm(new MsgRecord(w::RECORD_ALM_EXPORT_STOP)).Code(), PEER_OK);
    EXPECT_TRUE(WaitFor([&] { return kill(second, 0) != 0; }, 5000)) << "the stopped tar still runs";
    StatusView stopped = Status(w::ALM_LOG_TYPE_SECOND);
    EXPECT_EQ(stopped.total, w::ALM_TOTAL_DONE);
    for (const NodeState& node : stopped.nodes) {
        EXPECT_EQ(node.state, w::ALM_NODE_FAILED) << node.name;
    }
    fs::remove(Gate());
    EXPECT_EQ(Package(w::ALM_LOG_TYPE_SECOND, "CTE0.A").Code(), PEER_ERR_NOT_READY);
    EXPECT_FALSE(fs::exists(Root(0) + kExportDir + "almlog_2_CTE0.A.tgz"));
    EXPECT_TRUE(WaitFor([] { return Leftovers().empty(); }, 2000));
    EXPECT_EQ(Alarm(new MsgRecord(w::RECORD_ALM_EXPORT_STOP)).Code(), PEER_OK) << "nothing to stop is fine";
}

TEST_F(AlarmExportTest, AlarmAndEventExportIsOneClusterWidePackageNamedAfterTheRunNode) {
    RecordEntry(1, 0xE1);
    WriteText(s_cluster->Dir() + "/run/peers1.log", "{\"event\":\"switch-change\"}\n");
    ASSERT_EQ(Start(w::ALM_LOG_TYPE_EVENT).Code(), PEER_OK);
    ASSERT_TRUE(WaitDone(w::ALM_LOG_TYPE_EVENT));
    StatusView status = Status(w::ALM_LOG_TYPE_EVENT);
    ASSERT_EQ(status.nodes.size(), 1u);
    EXPECT_EQ(status.nodes[0].name, "CTE0.A");

    PeerReply location = Package(w::ALM_LOG_TYPE_EVENT, "CTE0.A");
    ASSERT_EQ(location.Code(), PEER_OK);
    std::string file = Root(0) + location.Text(0, w::ALM_TAG_LOCATION).substr(strlen("127.0.0.1:"));
    EXPECT_NE(TarCat(file, "CTE0.A/alarm/CTE0.B.jsonl").find("0xe1"), std::string::npos) << TarList(file);
    EXPECT_EQ(TarCat(file, "CTE0.A/events/CTE0.B.jsonl"), "{\"event\":\"switch-change\"}\n");
    EXPECT_EQ(Package(w::ALM_LOG_TYPE_EVENT, "CTE0.B").Code(), PEER_ERR_NODE);
    EXPECT_EQ(Clear(w::ALM_CLEAR_TYPE_EVENT, "CTE0.A").Code(), PEER_OK);
    EXPECT_FALSE(fs::exists(file));
}

TEST_F(AlarmExportTest, LinksAreNeverFollowed) {
    WriteText(s_dir->Join("secret.txt"), "outside every node root");
    fs::create_symlink(s_dir->Join("secret.txt"), Root(1) + "/var/log/chs/secret.log");
    ASSERT_EQ(Start(w::ALM_LOG_TYPE_FIRST).Code(), PEER_OK);
    ASSERT_TRUE(WaitDone(w::ALM_LOG_TYPE_FIRST));
    fs::remove(Root(1) + "/var/log/chs/secret.log");
    StatusView status = Status(w::ALM_LOG_TYPE_FIRST);
    ASSERT_EQ(status.nodes.size(), 2u);
    EXPECT_EQ(status.nodes[1].state, w::ALM_NODE_READY_PARTIAL) << "a file was left out";
    std::string listing = TarList(Root(0) + kExportDir + "almlog_8_CTE0.B.tgz");
    EXPECT_EQ(listing.find("secret"), std::string::npos) << listing;

    // An export directory that is a link elsewhere is refused, not written through.
    MakeDirs(s_dir->Join("elsewhere"));
    fs::remove_all(Root(0) + kExportDir);
    fs::create_directory_symlink(s_dir->Join("elsewhere"),
                                 Root(0) + "/VXA/coffer_data/omm/export_import/alarm_log");
    EXPECT_NE(Start(w::ALM_LOG_TYPE_FIRST).Code(), PEER_OK);
    EXPECT_TRUE(fs::is_empty(s_dir->Join("elsewhere")));
    fs::remove(Root(0) + "/VXA/coffer_data/omm/export_import/alarm_log");
}

TEST_F(AlarmExportTest, EachBehaviourHasItsOwnFaultMode) {
    struct Case {
        const char* behaviour;
        uint16_t pid;
        std::function<PeerReply()> send;
    } cases[] = {
        {"export-start", w::PID_ALARM, [] { return Start(w::ALM_LOG_TYPE_EVENT); }},
        {"export-status", w::PID_ALARM,
         [] { return Alarm(RecordOf(w::RECORD_ALM_EXPORT_STATUS, {U32(0, 1)})); }},
        {"export-package", w::PID_ALARM, [] { return Package(w::ALM_LOG_TYPE_EVENT, "CTE0.A"); }},
        {"export-clear", w::PID_ALARM, [] { return Clear(w::ALM_CLEAR_TYPE_EVENT, "CTE0.A"); }},
        {"export-stop", w::PID_ALARM, [] { return Alarm(new MsgRecord(w::RECORD_ALM_EXPORT_STOP)); }},
        {"log-list", w::PID_ALARM, [] { return List(); }},
        {"alarm-entry", w::PID_ALARM,
         [] {
             return Alarm(RecordOf(chs_peers::RECORD_ALARM_ENTRY, {U32(0, 1), U32(1, 3)}));
         }},
        {"running-data", w::PID_SYNC, [] { return RunningData(0); }},
    };
    uint32_t code = 0x7700;
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        std::string state = "peer" + std::to_string(c.pid) + "_" + c.behaviour + "_mode";
        SetState(state, "fail:" + std::to_string(++code));
        EXPECT_EQ(c.send().Code(), code) << c.behaviour;
        if (c.pid == w::PID_ALARM) {
            const Case& other = cases[i == 4 ? 5 : 4];  // export-stop, or the list while stop fails
            EXPECT_EQ(other.send().Code(), PEER_OK) << other.behaviour << " is not touched by " << state;
        }
        fs::remove(s_cluster->StateFile(state));
    }
    // A behaviour's mode wins over the endpoint's, in both directions.
    SetState("peer561_mode", "fail:5");
    SetState("peer561_alarm-entry_mode", "ok");
    EXPECT_EQ(cases[6].send().Code(), PEER_OK);
    EXPECT_EQ(List().Code(), 5u);
    SetState("peer561_log-list_mode", "silent");
    EXPECT_EQ(SendToPeer(0, w::PID_ALARM, w::OPCODE_ALM_LOG_LIST, new MsgRecord(0), 1).State(),
              MSG_STATE_TIMEOUT);
    SetState("peer561_log-list_mode", "delay:never");  // malformed: the endpoint's mode applies
    EXPECT_EQ(List().Code(), 5u);
}

TEST_F(AlarmExportTest, BadRequestsAreRefusedWithACode) {
    std::string tooLong(100, 'C');
    struct Case {
        const char* name;
        MsgRecord* record;
        uint32_t code;
    } cases[] = {
        {"start without cells", new MsgRecord(w::RECORD_ALM_EXPORT_START), PEER_ERR_BAD_REQUEST},
        {"start with a text type", RecordOf(w::RECORD_ALM_EXPORT_START, {Text(0, "8")}),
         PEER_ERR_BAD_REQUEST},
        {"start of type 7", RecordOf(w::RECORD_ALM_EXPORT_START, {U32(0, 7)}), PEER_ERR_BAD_REQUEST},
        {"start of type -1", RecordOf(w::RECORD_ALM_EXPORT_START, {CTLVCell::NewInt32(0, -1)}),
         PEER_ERR_BAD_REQUEST},
        {"status without cells", new MsgRecord(w::RECORD_ALM_EXPORT_STATUS), PEER_ERR_BAD_REQUEST},
        {"package without name", RecordOf(w::RECORD_ALM_EXPORT_PKG, {U32(0, 8)}), PEER_ERR_BAD_REQUEST},
        {"package numeric name", RecordOf(w::RECORD_ALM_EXPORT_PKG, {U32(0, 8), U32(4, 1)}),
         PEER_ERR_BAD_REQUEST},
        {"package long name", RecordOf(w::RECORD_ALM_EXPORT_PKG, {U32(0, 8), Text(4, tooLong)}),
         PEER_ERR_BAD_REQUEST},
        {"package ../x", RecordOf(w::RECORD_ALM_EXPORT_PKG, {U32(0, 8), Text(4, "../x")}), PEER_ERR_NODE},
        {"clear type 5", RecordOf(w::RECORD_ALM_EXPORT_CLEAR, {U32(0, 5), Text(1, "CTE0.A")}),
         PEER_ERR_BAD_REQUEST},
        {"clear ../x", RecordOf(w::RECORD_ALM_EXPORT_CLEAR, {U32(0, 8), Text(1, "../x")}), PEER_ERR_NODE},
        {"clear without name", RecordOf(w::RECORD_ALM_EXPORT_CLEAR, {U32(0, 8)}), PEER_ERR_BAD_REQUEST},
        {"unknown record", new MsgRecord(0xD00C90001), PEER_ERR_UNSUPPORTED},
    };
    for (const Case& c : cases) {
        PeerReply reply = Alarm(c.record);
        ASSERT_TRUE(reply.bAnswered) << c.name;
        EXPECT_EQ(reply.Code(), c.code) << c.name;
    }
    EXPECT_EQ(SendToPeer(0, w::PID_SYNC, w::OPCODE_RUNNING_DATA, new MsgRecord(0)).Code(),
              PEER_ERR_BAD_REQUEST);
    EXPECT_EQ(SendToPeer(0, w::PID_SYNC, 0x70000517, new MsgRecord(w::RECORD_RUNNING_DATA)).Code(),
              PEER_ERR_UNSUPPORTED);
    EXPECT_FALSE(fs::exists(Root(0) + "/VXA/coffer_data/omm/export_import/x"));
}

TEST_F(AlarmExportTest, RunningDataHoldsClusterConfigCcdbRowsAndNodeStates) {
    PeerReply reply = RunningData(1);  // any node asked serves
    ASSERT_EQ(reply.Code(), PEER_OK);
    std::string path = "/VXA/coffer_data/omm/export_import/running_data/running_data.json";
    EXPECT_EQ(reply.Text(0, w::RUNNING_DATA_TAG_LOCATION), "127.0.0.2:" + path);
    std::string file = Root(1) + path;
    Json::Value data = JsonDeserialization(ReadText(file));
    Json::Value cluster = JsonDeserialization(ReadText(s_cluster->Dir() + "/cluster.json"));
    EXPECT_EQ(data["cluster"]["serialNumber"], cluster["serialNumber"]);
    EXPECT_EQ(data["askedBy"]["pid"].asUInt(), 0u) << "this test process holds no endpoint: a tool";
    ASSERT_EQ(data["nodes"].size(), 2u);
    EXPECT_TRUE(data["nodes"][0]["online"].asBool());
    EXPECT_FALSE(data["nodes"][1]["online"].asBool());
    EXPECT_TRUE(data["nodes"][0]["master"].asBool());
    // The agent row chsctl seeds holds the site id "SIM-SITE".
    bool seeded = false;
    for (const Json::Value& row : data["ccdb"]["ccdb_obj"]["rows"]) {
        seeded = seeded || row["row"]["hex"].asString().find("53494d2d53495445") != std::string::npos;
    }
    EXPECT_TRUE(seeded) << data["ccdb"].toStyledString().substr(0, 2000);

    uint64_t plain = fs::file_size(file);
    SetState("peer569_running_data_pad", std::to_string(50u << 20));
    ASSERT_EQ(RunningData(1).Code(), PEER_OK);
    EXPECT_EQ(fs::file_size(file), plain + (50u << 20));
    for (const fs::directory_entry& entry : fs::directory_iterator(fs::path(file).parent_path())) {
        EXPECT_EQ(entry.path().filename(), "running_data.json") << "no partial file is left";
    }
}

}  // namespace
