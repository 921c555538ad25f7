#include "msg/inner_msg.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <atomic>
#include <sstream>
#include <string>
#include <vector>

#include "infra/timer_drv.h"
#include "msg/msg_decode_log.h"
#include "platform/transport_runtime.h"
#include "tests/support/cluster_setup.h"
#include "tests/support/log_capture.h"
#include "tests/support/msg_test_util.h"

namespace {

using chs_test::LogCapture;
using chs_test::RecordOf;

TEST(InnerMsgTest, ErrorCodeOfAnAnswer) {
    InnerMsg answer;
    EXPECT_EQ(answer.TryGetErrorCode(), 0u) << "no cell 4095 at all";
    answer.GetBody().append(RecordOf(7, {CTLVCell::NewString(1, "x")}));
    answer.GetBody().append(RecordOf(8, {CTLVCell::NewUInt32(4095, 1)}));
    EXPECT_EQ(answer.TryGetErrorCode(), 0u) << "1 reads as success";

    InnerMsg failed;
    failed.GetBody().append(RecordOf(8, {CTLVCell::NewUInt32(4095, 5)}));
    EXPECT_EQ(failed.TryGetErrorCode(), 5u);
    InnerMsg wide;
    wide.GetBody().append(RecordOf(8, {CTLVCell::NewUInt64(4095, 0x1234567840E00001ULL)}));
    EXPECT_EQ(wide.TryGetErrorCode(), 0x40E00001u) << "the first 4 bytes of a longer value";
    InnerMsg text;
    text.GetBody().append(RecordOf(8, {CTLVCell::NewString(4095, "5")}));
    EXPECT_EQ(text.TryGetErrorCode(), 0u) << "a text cell is no error code";

    failed.SetResult(MSG_STATE_TIMEOUT);
    EXPECT_EQ(failed.TryGetErrorCode(), 0xFFFFFFFFu) << "state 2 whatever the cells hold";
}

TEST(InnerMsgTest, ErrorRecordsAndAnswersNeedAnOrigin) {
    InnerMsg message;
    message.SimpleSetErrorMsg(0x40E00012, "disk full", 0x70003014);
    ASSERT_EQ(message.GetBody().size(), 1u);
    EXPECT_EQ(message.GetBody()[0].GetCode(), 0x70003014u);
    EXPECT_EQ(message.GetBody()[0][4094].toString(), "disk full");
    message.SimpleSetErrorMsg(0, "", 1);
    EXPECT_EQ(message.GetBody()[1].count(), 1u) << "no description cell for an empty text";

    EXPECT_FALSE(message.PostSimpleAckMsg(0, "")) << "only a received request can answer";
    MsgObject body;
    EXPECT_FALSE(message.PostAckMsg(body));
}

TEST(InnerMsgTest, NothingIsSentWithoutOpcodeOrBody) {
    InnerMsg message;
    unsigned char* out = nullptr;
    EXPECT_EQ(message.Encode(out), 0xFFFFFFFFu) << "an empty body cannot be encoded";
    EXPECT_EQ(out, nullptr);

    int answers = 0, timeouts = 0, destroyed = 0;
    EXPECT_FALSE(message.PostAsyncMsg(new chs_test::CountingCall(answers, timeouts, destroyed)));
    EXPECT_EQ(destroyed, 1) << "a callback that cannot be posted is destroyed";
    message.GetBody().append(new MsgRecord(1));
    message.GetMsgInfo().uiMsgOPCode = 0;
    EXPECT_FALSE(message.PostAsyncMsg(new chs_test::CountingCall(answers, timeouts, destroyed)));
    EXPECT_EQ(destroyed, 2);
    EXPECT_EQ(answers + timeouts, 0) << "nor is it called";
    InnerMsg answer;
    EXPECT_FALSE(message.SendSyncMsg(answer));
    EXPECT_EQ(message.SimpleSyncMsg(answer), 0xFFFFFFFFu);
}

TEST(InnerMsgTest, ExtraInformationOfRequests) {
    InnerMsg request;
    request.GetMsgInfo().usMsgType = MSG_TYPE_REQUEST;
    std::string value;
    bool usable = false;
    EXPECT_FALSE(request.GetExtraInfo("user", value, usable));
    EXPECT_TRUE(usable) << "no document is usable";

    ASSERT_TRUE(request.SetExtraInfo("user", "admin"));
    ASSERT_TRUE(request.SetExtraInfo("lang", "en"));
    ASSERT_TRUE(request.SetExtraInfo("user", "operator"));
    EXPECT_EQ(request.GetBody()[0].count(), 1u) << "one document cell";
    ASSERT_TRUE(request.GetExtraInfo("user", value, usable));
    EXPECT_EQ(value, "operator");
    EXPECT_TRUE(usable);
    Json::Value document;
    Json::Reader().parse(request.GetBody()[0][4094].toString(), document);
    EXPECT_EQ(document["Token_#"].asString(), "__InnerExtarInfo_#");

    InnerMsg response;
    response.GetMsgInfo().usMsgType = MSG_TYPE_RESPONSE;
    EXPECT_FALSE(response.SetExtraInfo("user", "admin"));
    EXPECT_TRUE(response.GetBody().empty()) << "a response is left unchanged";
    EXPECT_FALSE(response.GetExtraInfo("user", value, usable));
    EXPECT_FALSE(usable);

    InnerMsg plain;
    plain.GetMsgInfo().usMsgType = MSG_TYPE_REQUEST;
    plain.GetBody().append(RecordOf(3, {CTLVCell::NewString(4094, "abc")}));
    EXPECT_FALSE(plain.SetExtraInfo("user", "admin"));
    EXPECT_EQ(plain.GetBody()[0][4094].toString(), "abc") << "a non-JSON cell stays as it is";
    EXPECT_FALSE(plain.GetExtraInfo("user", value, usable));
    EXPECT_FALSE(usable);

    InnerMsg foreign;
    foreign.GetMsgInfo().usMsgType = MSG_TYPE_REQUEST;
    foreign.GetBody().append(RecordOf(3, {CTLVCell::NewString(4094, "{\"user\": \"x\"}")}));
    EXPECT_FALSE(foreign.SetExtraInfo("user", "admin")) << "JSON without the token is not ours";
}

TEST(InnerMsgTest, QueueTimeOut) {
    LogCapture log;
    InnerMsg request;
    request.GetMsgInfo().usMsgType = MSG_TYPE_REQUEST;
    request.GetMsgInfo().uiMsgTimeout = 30;
    uint64_t now = TimerDrvClass::AbsMilliSecond() / 1000;
    request.SetCreatedTime(now - 31);
    EXPECT_TRUE(request.IsTimeOut());
    EXPECT_TRUE(log.Contains("(s) in msg queue, it should be dropped."));

    InnerMsg noAnswer = request;
    noAnswer.GetMsgInfo().usMsgType = MSG_TYPE_REQUEST_NOACK;
    EXPECT_FALSE(noAnswer.IsTimeOut());
    EXPECT_EQ(log.Count("(s) in msg queue."), 1u) << "the 10-second line";

    request.GetMsgInfo().uiMsgTimeout = 0;
    EXPECT_FALSE(request.IsTimeOut()) << "time-out 0 never expires";
    request.GetMsgInfo().uiMsgTimeout = 30;
    request.SetCreatedTime(now - 5);
    EXPECT_FALSE(request.IsTimeOut());
}

TEST(InnerMsgTest, JsonRoundTrip) {
    InnerMsg message;
    tagMsgInfo& info = message.GetMsgInfo();
    info.usReceiverPID = 551;
    info.uiMsgOPCode = 0x70003014;
    info.uiSessionKey = 0xFFFFFFFE;
    message.GetBody().append(RecordOf(0xD00002000ULL, {CTLVCell::NewString(1, "[1,2]", CTLVCell::TLV_JSON_ARRAY),
                                                         CTLVCell::NewString(2, "{\"a\":1}", CTLVCell::TLV_JSON_OBJECT),
                                                         CTLVCell::NewInt32(3, -7), CTLVCell::NewUInt64(4, ~0ULL),
                                                         CTLVCell::NewUInt16(5, 65535)}));
    Json::Value root;
    message.Serialization(root);
    EXPECT_EQ(root["msgHdr"]["uiMsgOPCode"].asUInt(), 0x70003014u);

    InnerMsg copy;
    ASSERT_TRUE(copy.Deserialization(root));
    EXPECT_EQ(copy.GetMsgInfo().uiSessionKey, 0xFFFFFFFEu);
    EXPECT_EQ(copy.GetMsgInfo().usReceiverPID, 551);
    const MsgRecord& record = copy.GetBody()[0];
    EXPECT_EQ(record.GetCode(), 0xD00002000ULL);
    EXPECT_EQ(record[1].GetType(), CTLVCell::TLV_STRING) << "JSON array text becomes a plain text cell";
    EXPECT_EQ(record[1].toString(), "[1,2]");
    EXPECT_EQ(record[2].GetType(), CTLVCell::TLV_STRING);
    EXPECT_EQ(record[2].toString(), "{\"a\":1}");
    EXPECT_EQ(record[3].GetInt64(), -7);
    EXPECT_EQ(record[4].GetUInt64(), ~0ULL);
    EXPECT_EQ(record[5].GetLength(), 2);
    EXPECT_EQ(record[5].GetUInt64(), 65535u);
}

TEST(InnerMsgTest, JsonFormRefusesWhatDoesNotFit) {
    auto parse = [](const char* text) {
        Json::Value root;
        Json::Reader().parse(text, root);
        InnerMsg message;
        return message.Deserialization(root);
    };
    EXPECT_TRUE(parse(R"({"msgHdr": {"uiMsgOPCode": "0x103"}, "msgBody": [{"cmd": 5, "cells": []}]})"));
    EXPECT_FALSE(parse(R"({"msgHdr": {}})"));
    EXPECT_FALSE(parse(R"({"msgHdr": {"usReceiverPID": 70000}, "msgBody": []})"));
    EXPECT_FALSE(parse(R"({"msgHdr": {}, "msgBody": [{"cmd": 1, "cells": [{"tag": 4096, "type": 2, "value": "x"}]}]})"));
    EXPECT_FALSE(parse(R"({"msgHdr": {}, "msgBody": [{"cmd": 1, "cells": [{"tag": 1, "type": 12, "value": "x"}]}]})"));
    EXPECT_FALSE(parse(R"({"msgHdr": {}, "msgBody": [{"cmd": 1, "cells": [{"tag": 1, "type": 3, "length": 4, "value": "x1"}]}]})"));
    EXPECT_FALSE(parse(R"({"msgHdr": {}, "msgBody": [{"cmd": -1}]})"));
}

TEST(InnerMsgTest, DumpHidesMaskedCellsOnly) {
    InnerMsg message;
    message.GetMsgInfo().uiMsgOPCode = 259;
    message.GetMsgInfo().usMsgType = MSG_TYPE_REQUEST;
    message.GetBody().append(RecordOf(0xD00002000ULL, {CTLVCell::NewEnum(0, 0xE05C), CTLVCell::NewString(7, "secret"),
                                                         CTLVCell::NewString(8, "visible")}));
    message.GetBody().append(RecordOf(0, {CTLVCell::NewString(9, "pass")}));
    Msg_SetPrintMask(0xE05C, 0, 7);
    Msg_SetPrintMask(0, 259, 9);
    EXPECT_TRUE(Msg_IsNeedPrintMask(0xE05C, 1, 7));
    EXPECT_FALSE(Msg_IsNeedPrintMask(0x1234, 1, 7));
    std::ostringstream text;
    message.Dump(text);
    EXPECT_NE(text.str().find(" msgType:1 msgCode:259 msgState:0"), std::string::npos) << text.str();
    EXPECT_EQ(text.str().find("secret"), std::string::npos) << text.str();
    EXPECT_EQ(text.str().find("pass"), std::string::npos) << "a record of code 0 takes the operation code";
    EXPECT_NE(text.str().find("visible"), std::string::npos);
    EXPECT_NE(text.str().find("\"******\""), std::string::npos);
    EXPECT_TRUE(message.GetBody()[0][7].GetPrintFlag()) << "the message itself is not changed";

    for (uint64_t code : {0xD00000000ULL, 0xD00002000ULL, 0xD0000E000ULL}) EXPECT_TRUE(Msg_IsGeneralCmd(code)) << code;
    EXPECT_FALSE(Msg_IsGeneralCmd(0xD00001000ULL));
}

TEST(InnerMsgTest, CopiesAreDeep) {
    InnerMsg message;
    message.GetMsgInfo().uiMsgOPCode = 42;
    message.GetBody().append(RecordOf(1, {CTLVCell::NewString(1, std::string(40, 'q'))}));
    InnerMsg copy(message);
    message.GetBody()[0].replaceAppendInner(CTLVCell::NewString(1, "changed"));
    EXPECT_EQ(copy.GetBody()[0][1].toString(), std::string(40, 'q'));
    EXPECT_EQ(copy.GetMsgInfo().uiMsgOPCode, 42u);
    copy = copy;
    EXPECT_EQ(copy.GetBody().size(), 1u);
}

// Send and encode paths fail instead of raising, and end every callback
// exactly once; a broadcast without callbacks keeps nothing behind.
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
    LogCapture log;
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
    LogCapture log;
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
    LogCapture log;
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
    chs_test::AttachHandMadeCluster(dir.path(), R"({"serialNumber": "2102351234567890", "nodes": [
        {"id": 0, "name": "CTE0.A"}]})", 0, false);
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
