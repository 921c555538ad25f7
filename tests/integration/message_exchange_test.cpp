// Messages between real processes of a simulated cluster: two echo endpoints
// on nodes 0 and 1, node 2 down, this test process as a third endpoint of
// node 0, and chsctl.
#include <gtest/gtest.h>
#include <json/json.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>

#include "infra/chs_log.h"
#include "msg/msg_process.h"
#include "platform/dplog.h"
#include "platform/om_cluster.h"
#include "tests/support/cluster_setup.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace chs_test;

constexpr uint32_t kEcho = 0x7E01;
constexpr uint32_t kSilent = 0x7E02;
constexpr uint32_t kRelay = 0x7E03;
constexpr uint32_t kSlow = 0x7E04;
constexpr uint16_t kPeerPid = 551;
constexpr uint16_t kTestPid = 600;

// Answers that reach this process's callbacks.
std::mutex g_mutex;
std::condition_variable g_cond;
std::vector<std::pair<uint16_t, uint32_t>> g_answers;  // sender node, result
int g_timeouts = 0;

void OnAnswer(InnerMsg& answer) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_answers.emplace_back(answer.GetMsgInfo().usSenderBID, answer.GetResult());
    g_cond.notify_all();
}
void OnTimeout(InnerMsg&) {
    std::lock_guard<std::mutex> lock(g_mutex);
    ++g_timeouts;
    g_cond.notify_all();
}
template <typename Done>
bool WaitCallbacks(Done done) {
    std::unique_lock<std::mutex> lock(g_mutex);
    return g_cond.wait_for(lock, std::chrono::seconds(20), done);
}

class MessageExchangeTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_dir = new TempDir();
        s_cluster = MakeCluster(*s_dir, 3);
        for (int node = 0; node < 2; ++node) {
            std::string out = s_dir->Join("peer" + std::to_string(node) + ".out");
            s_peers[node] = new Process({BinaryPath("tests/echo_peer"), s_cluster + "/cluster.json",
                                         std::to_string(node), s_cluster + "/node" + std::to_string(node),
                                         std::to_string(kPeerPid)},
                                        {}, out);
            ASSERT_TRUE(WaitFor([&] { return ReadText(out) == "ready\n"; }, 10000)) << ReadText(out + ".err");
        }
        AttachAs(s_cluster, 0, false);
        platform::LogOpen(s_dir->Join("test.log"));
        SetModuleID(kTestPid);
        ASSERT_EQ(MsgProcessClass::Instance()->Init(kTestPid), 0u);
    }
    static void TearDownTestSuite() {
        for (Process*& peer : s_peers) {
            delete peer;
            peer = nullptr;
        }
        // The transport keeps running until the process ends; the directory
        // stays until then too.
    }
    void SetUp() override {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_answers.clear();
        g_timeouts = 0;
    }

    static InnerMsg Request(uint32_t opCode, uint16_t node, uint32_t timeoutSec = 10) {
        InnerMsg request;
        tagMsgInfo& info = request.GetMsgInfo();
        info.uiMsgOPCode = opCode;
        info.usReceiverBID = node;
        info.usReceiverPID = kPeerPid;
        info.usSenderPID = kTestPid;
        info.uiMsgTimeout = timeoutSec;
        info.usMsgType = MSG_TYPE_REQUEST;
        request.GetBody().append(new MsgRecord(0x42));
        return request;
    }

    static inline TempDir* s_dir = nullptr;
    static inline std::string s_cluster;
    static inline Process* s_peers[2] = {nullptr, nullptr};
};

TEST_F(MessageExchangeTest, SynchronousAndAsynchronousRequests) {
    InnerMsg request = Request(kEcho, 1);
    request.GetBody()[0].appendInner(CTLVCell::NewString(7, "hello"));
    InnerMsg answer;
    ASSERT_TRUE(request.SendSyncMsg(answer));
    EXPECT_EQ(answer.GetMsgInfo().usMsgType, MSG_TYPE_RESPONSE);
    EXPECT_EQ(answer.GetMsgInfo().usSenderBID, 1);
    EXPECT_EQ(answer.GetBody()[0][7].toString(), "hello");
    EXPECT_EQ(answer.TryGetErrorCode(), 0u);

    InnerMsg local = Request(kEcho, MSG_LOCAL_NODE_BID);
    EXPECT_EQ(local.SimpleSyncMsg(answer), 0u) << "0xFFFF is the local node";

    InnerMsg posted = Request(kEcho, 0);
    ASSERT_TRUE(posted.PostAsyncMsg(new MsgAsyncFun(OnAnswer, OnTimeout)));
    ASSERT_TRUE(WaitCallbacks([] { return g_answers.size() == 1; }));
    EXPECT_EQ(g_answers[0].second, 0u);
    EXPECT_EQ(g_timeouts, 0);
}

TEST_F(MessageExchangeTest, MulticastWithANodeDown) {
    InnerMsg request = Request(kEcho, 0);
    EXPECT_EQ(request.Multicast(0x7, OnAnswer, OnTimeout), 2u);
    ASSERT_TRUE(WaitCallbacks([] { return g_answers.size() == 3; }));
    std::set<std::pair<uint16_t, uint32_t>> got(g_answers.begin(), g_answers.end());
    std::set<std::pair<uint16_t, uint32_t>> expected{{0, 0}, {1, 0}, {2, MSG_STATE_POST_FAILED}};
    EXPECT_EQ(got, expected) << "node 2's substitute answer has result 1";
}

TEST_F(MessageExchangeTest, AnUnansweredRequestTimesOut) {
    InnerMsg request = Request(kSilent, 1, 1);
    InnerMsg answer;
    ASSERT_TRUE(request.SendSyncMsg(answer));
    EXPECT_EQ(answer.GetResult(), MSG_STATE_TIMEOUT);
    EXPECT_EQ(answer.TryGetErrorCode(), 0xFFFFFFFFu);

    InnerMsg posted = Request(kSilent, 1, 1);
    ASSERT_TRUE(posted.PostAsyncMsg(new MsgAsyncFun(OnAnswer, OnTimeout)));
    ASSERT_TRUE(WaitCallbacks([] { return g_timeouts == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::lock_guard<std::mutex> lock(g_mutex);
    EXPECT_EQ(g_timeouts, 1) << "exactly once";
    EXPECT_TRUE(g_answers.empty());
}

TEST_F(MessageExchangeTest, AHandlerMaySendSynchronously) {
    InnerMsg request = Request(kRelay, 0);
    request.GetBody()[0].appendInner(CTLVCell::NewUInt16(1, 1));
    request.GetBody()[0].appendInner(CTLVCell::NewUInt16(2, kPeerPid));
    InnerMsg answer;
    ASSERT_TRUE(request.SendSyncMsg(answer));
    EXPECT_EQ(answer.TryGetErrorCode(), 0u);
    EXPECT_EQ(answer.GetBody()[0][4094].toString(), "relayed");
}

// A burst past the queue limit: what the queue cannot take is refused at once
// with a state-2 answer, long before the requests' own 60 s time-out.
TEST_F(MessageExchangeTest, ABurstPastTheQueueLimitIsRefusedAtOnce) {
    constexpr int kBurst = 150;
    for (int i = 0; i < kBurst; ++i) {
        InnerMsg request = Request(kSlow, 1, 60);
        ASSERT_TRUE(request.PostAsyncMsg(new MsgAsyncFun(OnAnswer, OnTimeout)));
    }
    ASSERT_TRUE(WaitCallbacks([] { return g_timeouts > 0; })) << "the refusals come before the queue drains";
    ASSERT_TRUE(WaitCallbacks([] { return static_cast<int>(g_answers.size()) + g_timeouts == kBurst; }));
    std::lock_guard<std::mutex> lock(g_mutex);
    EXPECT_GE(g_answers.size(), 101u) << "a full queue's worth is answered";
    EXPECT_GE(g_timeouts, 30) << "the rest is refused";
    for (const auto& [node, result] : g_answers) {
        EXPECT_EQ(result, 0u);
    }
}

TEST_F(MessageExchangeTest, TenThousandRequestsInARow) {
    int wrong = 0;
    for (uint32_t i = 0; i < 10000; ++i) {
        InnerMsg request = Request(kEcho, 1);
        request.GetBody()[0].appendInner(CTLVCell::NewUInt32(9, i));
        InnerMsg answer;
        if (!request.SendSyncMsg(answer) || answer.GetBody().empty() || answer.GetBody()[0].find(9) == nullptr ||
            answer.GetBody()[0][9].GetUInt64() != i) {
            ++wrong;
        }
    }
    EXPECT_EQ(wrong, 0) << "no answer lost, duplicated or mixed up";
}

TEST_F(MessageExchangeTest, ChsctlSendsAndPrintsTheAnswer) {
    std::string file = s_dir->Join("request.json");
    auto send = [&](const char* node) {
        return RunProgram({BinaryPath("tools/chsctl"), "send", "--cluster", s_cluster, "--node", node, file});
    };
    chs_test::WriteText(file, R"({"msgHdr": {"usReceiverPID": 551, "uiMsgOPCode": 32257, "usMsgType": 1},
        "msgBody": [{"cmd": 5, "cells": [{"tag": 3, "type": 2, "length": 6, "value": "hello"}]}]})");
    RunResult sent = send("1");
    ASSERT_EQ(sent.exitCode, 0) << sent.err;
    Json::Value answer;
    ASSERT_TRUE(Json::Reader().parse(sent.out, answer)) << sent.out;
    EXPECT_EQ(answer["msgHdr"]["usMsgType"].asUInt(), 2u);
    EXPECT_EQ(answer["msgBody"][0]["cells"][0]["value"].asString(), "hello");

    RunResult down = send("2");
    EXPECT_EQ(down.exitCode, 3) << down.err;
    EXPECT_NE(down.err.find("not reachable"), std::string::npos);

    chs_test::WriteText(file, R"({"msgHdr": {"usReceiverPID": 551, "uiMsgOPCode": 32258, "uiMsgTimeout": 1},
        "msgBody": [{"cmd": 5, "cells": []}]})");
    RunResult silent = send("1");
    EXPECT_EQ(silent.exitCode, 4) << silent.err;

    chs_test::WriteText(file, "{\"msgHdr\": ");
    RunResult bad = send("1");
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_NE(bad.err.find("not a message in JSON form"), std::string::npos);
}

}  // namespace
