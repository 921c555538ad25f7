#include "msg/net_mgr_msg.h"

#include <gtest/gtest.h>

#include <algorithm>
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

Head With(void (*change)(Head&)) {
    Head head;
    change(head);
    return head;
}

// Each is refused for one reason, the length first; a length near 4 GiB
// must not wrap around into a match.
TEST(NetMgrMsgTest, MalformedHeadersAreRefused) {
    const struct {
        const char* why;
        Head fields;
        unsigned int size;
        std::string logged;
    } cases[] = {
        {"short", Head{}, 27, "TLV V3 message is invalid,pBuf is null or uiBufSize is not enough!"},
        {"length first", With([](Head& h) { h.magic = 0x12345678, h.version = 9, h.serial = 7; }), 29,
         kInvalid + "(uiBufSize != pHead->uiLength + sizeof(Q7XMsgHeadV3)) -> 29 != 0 + 28 msg serail 7"},
        {"near 4 GiB", With([](Head& h) { h.length = 0xFFFFFFFF - 27; }), 28, "uiBufSize != pHead->uiLength"},
        {"4 GiB", With([](Head& h) { h.length = 0xFFFFFFFF; }), 27, "uiBufSize is not enough"},
        {"magic", With([](Head& h) { h.magic = 0x55555554; }), 28,
         kInvalid + "received magic number is 1431655764"},
        {"version", With([](Head& h) { h.version = 2; }), 28, kInvalid + "received version is 2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        LogCapture log;
        std::vector<unsigned char> bytes = Message(c.fields);
        bytes.resize(std::max<size_t>(bytes.size(), c.size));
        NetMgrMsg message;
        EXPECT_EQ(message.Decode(bytes.data(), c.size), 0xFFFFFFFFu);
        std::vector<std::string> lines = log.Matching(c.logged);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_NE(lines[0].find("[CheckValid:"), std::string::npos) << lines[0];
        EXPECT_EQ(log.Count("TLV V3 message is invalid"), 1u) << "one reason";
    }
    Q7XMsgHeadV3 head = MakeFreshQ7XMsgHeadV3();
    EXPECT_EQ(NetMgrMsg::CheckValid(nullptr, 28, head), 0xFFFFFFFFu);
    std::vector<unsigned char> bytes = Message(cases[1].fields);
    bytes.push_back(0);
    EXPECT_EQ(NetMgrMsg::CheckValid(bytes.data(), 29, head), 0xFFFFFFFFu);
    EXPECT_EQ(head.uiMagicNumber, 0x12345678u) << "the header is read even when it is refused";
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
    // A header-only message replaces the body, and every field is read.
    wire = Message(Head{0x55555555, 3, 5, 4321, 2, 0x1111, 0x2222, 9, 0});
    ASSERT_EQ(decoded.Decode(wire.data(), static_cast<unsigned int>(wire.size())), 28u);
    EXPECT_TRUE(decoded.GetBody().empty());
    EXPECT_EQ(DumpOf(decoded), "{R=5 N=2 S=9,SK=*321}");
    EXPECT_EQ(decoded.GetHead().usReserve1, 0x1111);
    EXPECT_EQ(decoded.GetHead().usReserve2, 0x2222);
    EXPECT_EQ(decoded.GetVersion(), 3u);
    decoded.Clear();
    EXPECT_TRUE(decoded.GetBody().empty());

    NetMgrMsg empty;
    unsigned char* header_only = nullptr;
    EXPECT_EQ(empty.Encode(header_only), 0u);
    std::unique_ptr<unsigned char[]> owned_header(header_only);
    EXPECT_EQ(std::vector<unsigned char>(header_only, header_only + 28), Message(Head{}));
}

}  // namespace
