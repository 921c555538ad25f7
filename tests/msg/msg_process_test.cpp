// The dispatcher's keying, queueing and processing, driven directly on a
// private instance (no transport, no task threads).
#include "msg/msg_process.h"

#include <gtest/gtest.h>

#include "tests/support/log_capture.h"
#include "tests/support/msg_test_util.h"

namespace {

using chs_test::LogCapture;
using Recorder = chs_test::CountingCall;

InnerMsg* Request(uint32_t opCode, uint16_t type = MSG_TYPE_REQUEST) {
    InnerMsg* message = new InnerMsg();
    message->GetMsgInfo().uiMsgOPCode = opCode;
    message->GetMsgInfo().usMsgType = type;
    return message;
}

int g_handled = 0;
uint32_t g_lastOpCode = 0;
void Handler(InnerMsg& message) {
    ++g_handled;
    g_lastOpCode = message.GetMsgInfo().uiMsgOPCode;
}

class MsgProcessTest : public ::testing::Test {
protected:
    void SetUp() override { g_handled = 0; }
    MsgProcessClass engine;
    LogCapture log;
};

TEST_F(MsgProcessTest, KeyOfAGeneralCommandComesFromTheBody) {
    InnerMsg* message = Request(MSG_OPCODE_GENERAL);
    message->GetBody().append(chs_test::RecordOf(0xD00002000ULL, {CTLVCell::NewEnum(0, 0xE05C)}));
    EXPECT_EQ(engine.GetMsgKey(*message), 0xDE05C2000ULL);

    InnerMsg* plain = Request(MSG_OPCODE_GENERAL);
    plain->GetBody().append(new MsgRecord(0x2FB));
    EXPECT_EQ(engine.GetMsgKey(*plain), 0x2FBu) << "not a general command: the record code alone";
    InnerMsg* empty = Request(MSG_OPCODE_GENERAL);
    EXPECT_EQ(engine.GetMsgKey(*empty), 0u);
    InnerMsg* other = Request(0x70003014);
    other->GetBody().append(new MsgRecord(0xD00002000ULL));
    EXPECT_EQ(engine.GetMsgKey(*other), 0x70003014u) << "any other request: its operation code";

    engine.AddHandlerHelper(new MsgHandleWrapper(Handler, MSG_PRI_2), 0xD00002000ULL, 0xE05C);
    EXPECT_EQ(engine.MsgPri(*message), MSG_PRI_2);
    EXPECT_EQ(engine.MsgPri(*plain), MSG_PRI_1) << "no handler: priority 1";
    for (InnerMsg* m : {message, plain, empty, other}) {
        delete m;
    }
}

TEST_F(MsgProcessTest, RegistrationReplacesAndRefusesNull) {
    EXPECT_EQ(engine.AddHandler(0, 5, nullptr), 0u);
    EXPECT_EQ(engine.AddHandler(0, 5, new MsgHandleWrapper(Handler, 0)), 1u);
    EXPECT_EQ(engine.AddHandler(0, 5, new MsgHandleWrapper(Handler, 2)), 1u);
    EXPECT_TRUE(log.Contains("The message type does exist."));
    ASSERT_NE(engine.SearchHander(5), nullptr);
    EXPECT_EQ(engine.SearchHander(5)->GetPriority(), 2u);
    engine.AddHandlerHelper(nullptr, 6, 0);
    EXPECT_EQ(engine.SearchHander(6), nullptr);
}

// A full queue drops what comes next; a dropped answer still ends its callback.
TEST_F(MsgProcessTest, QueueHoldsAtMost101) {
    for (int i = 0; i < 102; ++i) {
        engine.AsyncMsg(Request(1000 + i));
    }
    EXPECT_EQ(engine.QueueLength(MSG_PRI_1), 101u) << "the 101st is queued, the 102nd is dropped";
    int answers = 0, timeouts = 0, destroyed = 0;
    InnerMsg* late = Request(0x60, MSG_TYPE_RESPONSE);
    late->SetCallBack(new Recorder(answers, timeouts, destroyed));
    engine.AsyncMsg(late);
    EXPECT_EQ(timeouts, 1);
    EXPECT_EQ(destroyed, 1);
    InnerMsg* first = engine.TakeMsg(MSG_PRI_1);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->GetMsgInfo().uiMsgOPCode, 1000u) << "first in, first out";
    delete first;
}

TEST_F(MsgProcessTest, PriorityAbove2GoesToQueue0) {
    engine.AddHandlerHelper(new MsgHandleWrapper(Handler, 7), 0x700, 0);
    engine.AsyncMsg(Request(0x700));
    EXPECT_EQ(engine.QueueLength(MSG_PRI_0), 1u);
    InnerMsg* message = engine.TakeMsg(MSG_PRI_0);
    engine.SyncMsg(message);
    EXPECT_EQ(g_handled, 1);
    EXPECT_EQ(g_lastOpCode, 0x700u);
}

TEST_F(MsgProcessTest, RequestsWithoutHandlerAndUnknownTypes) {
    engine.SyncMsg(Request(0x1234));
    EXPECT_TRUE(log.Contains("The message key(4660) does not exist."));
    engine.SyncMsg(Request(0x1234, 9));
    EXPECT_TRUE(log.Contains("The message GetMsgType is not supported: 9."));
    EXPECT_EQ(g_handled, 0);

    engine.AddHandlerHelper(new MsgHandleWrapper(Handler, 1), 0x1234, 0);
    engine.SyncMsg(Request(0x1234, MSG_TYPE_REQUEST_NOACK));
    EXPECT_EQ(g_handled, 1) << "type 3 is handled like a request";
}

TEST_F(MsgProcessTest, ResponsesReachTheirCallbackOnce) {
    int answers = 0, timeouts = 0, destroyed = 0;
    InnerMsg* timedOut = Request(0x50, MSG_TYPE_RESPONSE);
    timedOut->SetResult(MSG_STATE_TIMEOUT);
    timedOut->SetCallBack(new Recorder(answers, timeouts, destroyed));
    engine.SyncMsg(timedOut);
    EXPECT_EQ(timeouts, 1);
    EXPECT_EQ(answers, 0) << "state 2 calls only timeout";
    EXPECT_EQ(destroyed, 1);

    InnerMsg* answered = Request(0x50, MSG_TYPE_RESPONSE);
    answered->SetResult(7);
    answered->SetCallBack(new Recorder(answers, timeouts, destroyed));
    engine.SyncMsg(answered);
    EXPECT_EQ(answers, 1) << "any other state is an answer";
    EXPECT_EQ(destroyed, 2);

    engine.SyncMsg(Request(0x50, MSG_TYPE_RESPONSE));
    EXPECT_TRUE(log.Contains("The response message is droped because of no callback."));
}

TEST_F(MsgProcessTest, QueueWatchWaitsForTenMinutesOfUptime) {
    for (int i = 0; i < 11; ++i) {
        engine.AsyncMsg(Request(3000 + i));
    }
    g_ulMsgQueCheckAfterMs = ~0ULL;
    engine.CheckMsgQue();
    EXPECT_FALSE(log.Contains("MsgQueue("));
    g_ulMsgQueCheckAfterMs = 0;
    engine.CheckMsgQue();
    EXPECT_TRUE(log.Contains("MsgQueue(1) length: 11 ."));
    g_ulMsgQueCheckAfterMs = 600000;
}

}  // namespace
