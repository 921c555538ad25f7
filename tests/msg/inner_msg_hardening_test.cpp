// Send and encode paths of InnerMsg fail instead of raising, and end every
// callback exactly once; a broadcast without callbacks keeps nothing behind.
#include "msg/inner_msg.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "msg/msg_decode_log.h"
#include "platform/om_cluster.h"
#include "platform/transport_runtime.h"
#include "tests/support/log_capture.h"
#include "tests/support/msg_test_util.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

using chs_test::RecordOf;

int g_substitutes = 0;
void CountSubstitute(InnerMsg& answer) {
    EXPECT_EQ(answer.GetResult(), MSG_STATE_POST_FAILED);
    ++g_substitutes;
}

// Two 40,000-byte cells: 80,008 bytes of cells, over the 16-bit record length.
void MakeOversize(InnerMsg& message) {
    std::string big(40000, 'c');
    message.GetMsgInfo().uiMsgOPCode = 0x55;
    message.GetBody().append(RecordOf(1, {CTLVCell::NewString(1, big), CTLVCell::NewString(2, big)}));
}

TEST(InnerMsgHardeningTest, OversizeRecordFailsEverySendPathWithoutRaising) {
    chs_test::LogCapture log;
    InnerMsg message;
    MakeOversize(message);

    unsigned char* out = nullptr;
    EXPECT_EQ(message.Encode(out), MSG_CODEC_FAILURE);
    InnerMsg answer;
    EXPECT_FALSE(message.SendSyncMsg(answer));
    EXPECT_EQ(message.SimpleSyncMsg(answer), 0xFFFFFFFFu);
    int answers = 0, timeouts = 0, destroyed = 0;
    EXPECT_FALSE(message.PostAsyncMsg(new chs_test::CountingCall(answers, timeouts, destroyed)));
    EXPECT_EQ(destroyed, 1) << "the callback ends once, destroyed unused";
    EXPECT_EQ(answers + timeouts, 0);

    g_substitutes = 0;
    EXPECT_EQ(message.Multicast(0x7, CountSubstitute, nullptr), 0u);
    EXPECT_EQ(g_substitutes, 3) << "every node of the mask gets its substitute answer";

    // An answer to a received request whose body cannot be encoded.
    void* received = MSG_AllocMsg(0, 0, __func__, __LINE__);
    InnerMsg request;
    ASSERT_NE(request.Decode(static_cast<unsigned char*>(received), 0), MSG_CODEC_FAILURE);
    MSG_FreeMsg(received);
    EXPECT_FALSE(request.PostAckMsg(message.GetBody()));
    EXPECT_TRUE(log.Contains("cannot be encoded"));
}

TEST(InnerMsgHardeningTest, EmptyCellsAreLoggedOncePerRecord) {
    chs_test::LogCapture log;
    chs_test::Wire wire;
    wire.Record(5, 12).Cell(1, 1, "").Cell(2, 1, "").Cell(3, 1, "");
    wire.Record(6, 4).Cell(1, 1, "");
    MsgObject body;
    ASSERT_EQ(body.decode(wire.bytes.data(), wire.size()), wire.size());
    EXPECT_EQ(log.Count("cell length is zero."), 2u);
    EXPECT_TRUE(log.Contains("record 5: 3."));
}

// A peer sending malformed bodies in a loop writes a bounded number of lines
// per connection; another connection still gets its own.
TEST(InnerMsgHardeningTest, DecodeErrorsAreLoggedWithinABudgetPerConnection) {
    chs_test::LogCapture log;
    std::vector<unsigned char> bad(9, 0);
    auto decodeBad = [&](int times) {
        for (int i = 0; i < times; ++i) {
            MsgObject body;
            EXPECT_EQ(body.decode(bad.data(), static_cast<unsigned int>(bad.size())), MSG_CODEC_FAILURE);
        }
    };
    {
        MsgDecodeLogScope scope(0x5151);
        decodeBad(100);
    }
    EXPECT_EQ(log.Count(chs_test::kInvalidMsg), MSG_DECODE_LOG_BUDGET);
    EXPECT_EQ(log.Count("are not logged for a minute"), 1u);
    {
        MsgDecodeLogScope scope(0x5152);
        decodeBad(1);
    }
    decodeBad(1);  // a message made in this process: no budget
    EXPECT_EQ(log.Count(chs_test::kInvalidMsg), MSG_DECODE_LOG_BUDGET + 2);
}

// A notification broadcast (no callbacks) posts no private data, so its
// time-out answer carries no callback object that someone would have to free.
std::atomic<int> g_requests{0};
std::atomic<int> g_answers{0};
std::atomic<int> g_answersWithPrivate{0};

int RecordingEntry(void* message) {
    tagMsgInfo info{};
    MSG_GetMsgInfo(message, &info);
    if (info.usMsgType == MSG_TYPE_RESPONSE) {
        g_answersWithPrivate += MSG_GetPrivateData(message) != nullptr ? 1 : 0;
        ++g_answers;
    } else {
        ++g_requests;  // never answered: the sender's post times out
    }
    return 0;
}

TEST(InnerMsgHardeningTest, BroadcastWithoutCallbacksKeepsNoCallback) {
    chs_test::TempDir dir;
    chs_test::WriteText(dir.Join("cluster.json"),
                        R"({"serialNumber": "2102351234567890", "nodes": [{"id": 0, "name": "CTE0.A"}]})");
    chs_test::MakeDirs(dir.Join("node0"));
    std::string error;
    ASSERT_TRUE(platform::AttachCluster(dir.Join("cluster.json"), 0, dir.Join("node0"), false, error)) << error;
    platform::transport::SetTimeoutUnit(std::chrono::milliseconds(20));
    ASSERT_EQ(MSG_ClientInit("test"), 0);
    ASSERT_EQ(MSG_RegisterPID(551, RecordingEntry), 0);

    InnerMsg notice;
    notice.GetMsgInfo().uiMsgOPCode = 0x66;
    notice.GetMsgInfo().usSenderPID = 551;
    notice.GetMsgInfo().usReceiverPID = 551;
    notice.GetMsgInfo().uiMsgTimeout = 2;
    notice.GetBody().append(new MsgRecord(0));
    EXPECT_EQ(notice.Multicast(0x1, nullptr, nullptr), 1u);
    EXPECT_TRUE(chs_test::WaitFor([] { return g_answers.load() == 1; }, 5000));
    EXPECT_EQ(g_requests.load(), 1);
    EXPECT_EQ(g_answersWithPrivate.load(), 0);

    MSG_ClientExit();
    platform::DetachCluster();
    platform::transport::SetTimeoutUnit(std::chrono::seconds(1));
}

}  // namespace
