#include "msg/net_mgr_msg.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/log_capture.h"
#include "tests/support/msg_test_util.h"

namespace {

using chs_test::LogCapture;

const std::string& kInvalid = chs_test::kInvalidMsg;

struct Head {
    uint32_t magic = 0x55555555;
    uint32_t version = 3;
    uint32_t result = 0;
    uint32_t sessionKey = 0xFFFFFFFF;
    uint16_t node = 65533;
    uint16_t reserve1 = 0xFFFF;
    uint16_t reserve2 = 0xFFFF;
    uint16_t serial = 0xFFFF;
    uint32_t length = 0;
};

// Wire bytes assembled by hand so that the tests pin the header layout.
std::vector<unsigned char> Message(const Head& head, const std::vector<unsigned char>& body = {}) {
    chs_test::Wire out;
    out.U32(head.magic).U32(head.version).U32(head.result).U32(head.sessionKey);
    out.U16(head.node).U16(head.reserve1).U16(head.reserve2).U16(head.serial).U32(head.length);
    out.bytes.insert(out.bytes.end(), body.begin(), body.end());
    return out.bytes;
}

// One record, code 7, one unsigned cell: tag 1, value 0x1234.
std::vector<unsigned char> SmallBody() { return chs_test::Wire().Record(7, 6).Cell(1, 3, "\x34\x12").bytes; }

const auto DumpOf = [](const MsgInterface& message) { return chs_test::DumpText(message); };

TEST(NetMgrMsgTest, BufferShorterThanTheHeaderIsRefused) {
    LogCapture log;
    std::vector<unsigned char> bytes = Message(Head{});
    Q7XMsgHeadV3 head = MakeFreshQ7XMsgHeadV3();
    EXPECT_EQ(NetMgrMsg::CheckValid(bytes.data(), 27, head), 0xFFFFFFFFu);
    EXPECT_EQ(NetMgrMsg::CheckValid(nullptr, 28, head), 0xFFFFFFFFu);
    std::vector<std::string> lines =
        log.Matching("TLV V3 message is invalid,pBuf is null or uiBufSize is not enough!");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("[CheckValid:"), std::string::npos) << lines[0];
    NetMgrMsg message;
    EXPECT_EQ(message.Decode(bytes.data(), 27), 0xFFFFFFFFu);
}

TEST(NetMgrMsgTest, HeaderOnlyMessageDecodesToAnEmptyBody) {
    Head fields;
    fields.result = 5;
    fields.sessionKey = 4321;
    fields.node = 2;
    fields.reserve1 = 0x1111;
    fields.reserve2 = 0x2222;
    fields.serial = 9;
    std::vector<unsigned char> bytes = Message(fields);
    NetMgrMsg message;
    message.GetBody().append(new MsgRecord(1));
    ASSERT_EQ(message.Decode(bytes.data(), static_cast<unsigned int>(bytes.size())), 28u);
    EXPECT_TRUE(message.GetBody().empty());
    const Q7XMsgHeadV3& head = message.GetHead();
    EXPECT_EQ(head.uiResult, 5u);
    EXPECT_EQ(head.uiSessionKey, 4321u);
    EXPECT_EQ(head.usNodeNum, 2);
    EXPECT_EQ(head.usReserve1, 0x1111);
    EXPECT_EQ(head.usReserve2, 0x2222);
    EXPECT_EQ(head.usSerialNum, 9);
    EXPECT_EQ(message.GetVersion(), 3u);
}

TEST(NetMgrMsgTest, LengthIsCheckedBeforeMagicAndVersion) {
    LogCapture log;
    Head fields;
    fields.magic = 0x12345678;
    fields.version = 9;
    fields.serial = 7;
    std::vector<unsigned char> bytes = Message(fields);
    bytes.push_back(0);
    Q7XMsgHeadV3 head = MakeFreshQ7XMsgHeadV3();
    EXPECT_EQ(NetMgrMsg::CheckValid(bytes.data(), 29, head), 0xFFFFFFFFu);
    EXPECT_TRUE(
        log.Contains(kInvalid +
                     "(uiBufSize != pHead->uiLength + sizeof(Q7XMsgHeadV3)) -> 29 != 0 + 28 msg serail 7"));
    EXPECT_FALSE(log.Contains("received magic number"));
    EXPECT_EQ(head.uiMagicNumber, 0x12345678u) << "the header is read even when it is refused";

    // A length near 4 GiB must not wrap around into a match.
    fields = Head{};
    fields.length = 0xFFFFFFFF - 27;
    bytes = Message(fields);
    EXPECT_EQ(NetMgrMsg::CheckValid(bytes.data(), 28, head), 0xFFFFFFFFu);
    fields.length = 0xFFFFFFFF;
    bytes = Message(fields);
    EXPECT_EQ(NetMgrMsg::CheckValid(bytes.data(), 27 + 0, head), 0xFFFFFFFFu);
}

TEST(NetMgrMsgTest, WrongMagicOrVersionIsRefused) {
    LogCapture log;
    Head fields;
    fields.magic = 0x55555554;
    std::vector<unsigned char> bytes = Message(fields);
    NetMgrMsg message;
    EXPECT_EQ(message.Decode(bytes.data(), 28), 0xFFFFFFFFu);
    EXPECT_TRUE(log.Contains(kInvalid + "received magic number is 1431655764"));

    fields = Head{};
    fields.version = 2;
    bytes = Message(fields);
    EXPECT_EQ(message.Decode(bytes.data(), 28), 0xFFFFFFFFu);
    EXPECT_TRUE(log.Contains(kInvalid + "received version is 2"));
    EXPECT_EQ(log.Count("[CheckValid:"), 2u);
}

TEST(NetMgrMsgTest, BodyFailureLeavesTheMessageUnchanged) {
    NetMgrMsg message;
    message.SetResult(3);
    message.SetSessionKey(42);
    message.GetBody().append(new MsgRecord(11));
    std::string before = DumpOf(message);

    LogCapture log;
    Head fields;
    fields.result = 8;
    fields.serial = 9;
    fields.length = 3;
    std::vector<unsigned char> bytes = Message(fields, {1, 2, 3});
    EXPECT_EQ(message.Decode(bytes.data(), static_cast<unsigned int>(bytes.size())), 0xFFFFFFFFu);
    EXPECT_TRUE(
        log.Contains(kInvalid +
                     "it failed to parse record: (position = uiBufSize - head.uiLength - pos) -> position "
                     "= 31 - 3 - 0 msg serail 9."));
    EXPECT_EQ(DumpOf(message), before);
    EXPECT_EQ(message.GetHead().uiLength, 0u);
}

TEST(NetMgrMsgTest, DumpShowsOnlyTheTailOfTheSessionKey) {
    NetMgrMsg message;
    EXPECT_EQ(DumpOf(message), "{S=65535,SK=*295}");
    message.SetSessionKey(42);
    EXPECT_EQ(DumpOf(message), "{S=65535,SK=*42}");
    message.SetSessionKey(4321);
    message.SetResult(7);
    message.SetNodeNum(1);
    message.SetSerialNum(12);
    message.GetBody().append(chs_test::RecordOf(5, {CTLVCell::NewUInt16(1, 3)}));
    EXPECT_EQ(DumpOf(message), "{R=7 N=1 S=12,SK=*321{C=5{1,2,U:3}}}");
}

TEST(NetMgrMsgTest, EncodeAndDecodeRoundTrip) {
    NetMgrMsg message;
    MsgInterface& generic = message;
    generic.SetResult(0x40E00001);
    generic.SetSessionKey(123456);
    message.SetNodeNum(3);
    message.SetSerialNum(77);
    message.GetBody().append(chs_test::RecordOf(7, {CTLVCell::NewUInt16(1, 0x1234)}));

    unsigned char* raw = nullptr;
    unsigned int written = generic.Encode(raw);
    std::unique_ptr<unsigned char[]> owned(raw);
    ASSERT_NE(raw, nullptr);
    std::vector<unsigned char> body = SmallBody();
    ASSERT_EQ(written, body.size());
    Head expected;
    expected.result = 0x40E00001;
    expected.sessionKey = 123456;
    expected.node = 3;
    expected.serial = 77;
    expected.length = static_cast<uint32_t>(body.size());
    std::vector<unsigned char> wire = Message(expected, body);
    EXPECT_EQ(std::vector<unsigned char>(raw, raw + 28 + written), wire);

    NetMgrMsg decoded;
    ASSERT_EQ(decoded.Decode(wire.data(), static_cast<unsigned int>(wire.size())), wire.size());
    EXPECT_EQ(DumpOf(decoded), DumpOf(message));
    EXPECT_EQ(decoded.GetResult(), 0x40E00001u);
    EXPECT_EQ(decoded.GetBody()[0][1].GetUInt64(), 0x1234u);
    decoded.Clear();
    EXPECT_TRUE(decoded.GetBody().empty());

    NetMgrMsg empty;
    unsigned char* header_only = nullptr;
    EXPECT_EQ(empty.Encode(header_only), 0u);
    std::unique_ptr<unsigned char[]> owned_header(header_only);
    EXPECT_EQ(std::vector<unsigned char>(header_only, header_only + 28), Message(Head{}));
}

}  // namespace
