// The transport frame codec: a frame survives the round trip, and every kind
// of damage is refused with its own error without anything of the damaged
// frame being handed out.
#include "platform/transport_frame.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using platform::transport::DecodeFrame;
using platform::transport::DecodeFrameHeader;
using platform::transport::EncodeFrame;
using platform::transport::FrameError;
using platform::transport::FrameErrorText;
using platform::transport::FrameHeader;
using platform::transport::FrameKind;
using platform::transport::kFrameHeaderSize;

constexpr size_t kKindOffset = 6;
constexpr size_t kLengthOffset = 8;
constexpr size_t kInfoLengthOffset = 20 + 8;  // uiMsgLength inside the record

FrameHeader SampleHeader(uint32_t bodyLength) {
    FrameHeader header;
    header.kind = FrameKind::kAnswer;
    header.ulCorrelation = 0x0102030405060708ull;
    // Every field its own value, so that a field lost or swapped shows.
    header.info =
        tagMsgInfo{1, 551, 2, 561, bodyLength, MSG_TYPE_RESPONSE, 0xBEEF, 0x1234, 7, 30, 0xCAFEF00D, 3, 4};
    return header;
}

template <typename T>
void Poke(std::vector<uint8_t>& frame, size_t offset, T value) {
    memcpy(frame.data() + offset, &value, sizeof(value));
}
template <typename T>
std::vector<uint8_t> Poked(std::vector<uint8_t> frame, size_t offset, T value) {
    Poke(frame, offset, value);
    return frame;
}

// A sentinel that must survive every refused decode.
FrameHeader Untouched() {
    FrameHeader header;
    header.ulCorrelation = 0xDEAD;
    return header;
}

void ExpectRefused(const std::vector<uint8_t>& frame, FrameError expected) {
    FrameHeader out = Untouched();
    const uint8_t* body = nullptr;
    EXPECT_EQ(DecodeFrame(frame.data(), frame.size(), out, body), expected) << FrameErrorText(expected);
    EXPECT_EQ(out.ulCorrelation, 0xDEADu) << "nothing of a refused frame is handed out";
    EXPECT_EQ(body, nullptr);
}

TEST(TransportFrameTest, RoundTripKeepsEveryField) {
    const std::string body = "body bytes \x01\x02";
    FrameHeader header = SampleHeader(static_cast<uint32_t>(body.size()));
    std::vector<uint8_t> frame = EncodeFrame(header, body.data());
    ASSERT_EQ(frame.size(), kFrameHeaderSize + body.size());

    FrameHeader out;
    const uint8_t* decodedBody = nullptr;
    ASSERT_EQ(DecodeFrame(frame.data(), frame.size(), out, decodedBody), FrameError::kNone);
    EXPECT_EQ(out.kind, FrameKind::kAnswer);
    EXPECT_EQ(out.ulCorrelation, header.ulCorrelation);
    EXPECT_EQ(memcmp(&out.info, &header.info, sizeof(tagMsgInfo)), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(decodedBody), body.size()), body);

    // An empty body is a frame of its own, as are requests.
    FrameHeader empty = SampleHeader(0);
    empty.kind = FrameKind::kRequest;
    frame = EncodeFrame(empty, nullptr);
    ASSERT_EQ(DecodeFrame(frame.data(), frame.size(), out, decodedBody), FrameError::kNone);
    EXPECT_EQ(out.kind, FrameKind::kRequest);
    EXPECT_EQ(out.info.uiMsgLength, 0u);
}

TEST(TransportFrameTest, DamagedHeaderIsRefused) {
    const std::vector<uint8_t> good = EncodeFrame(SampleHeader(4), "abcd");

    std::vector<uint8_t> frame = good;
    frame[0] ^= 0x40;
    ExpectRefused(frame, FrameError::kBadMagic);

    ExpectRefused(Poked<uint16_t>(good, 4, 2), FrameError::kBadVersion);
    for (uint16_t kind : {0, 3, 0xFFFF}) {
        ExpectRefused(Poked<uint16_t>(good, kKindOffset, kind), FrameError::kBadKind);
    }
}

TEST(TransportFrameTest, LengthsMustAgreeWithTheBytes) {
    const std::vector<uint8_t> good = EncodeFrame(SampleHeader(4), "abcd");

    // The frame's length and the record's uiMsgLength disagree: either one lengthened.
    ExpectRefused(Poked<uint32_t>(good, kLengthOffset, 5), FrameError::kLengthMismatch);
    ExpectRefused(Poked<uint32_t>(good, kInfoLengthOffset, 3), FrameError::kLengthMismatch);

    // Both agree but the bytes do not: too few, or more than the body.
    ExpectRefused(Poked<uint32_t>(Poked<uint32_t>(good, kLengthOffset, 5), kInfoLengthOffset, 5),
                  FrameError::kTruncated);
    std::vector<uint8_t> frame = good;
    frame.push_back('x');
    ExpectRefused(frame, FrameError::kLengthMismatch);

    // Shortened anywhere: inside the header or inside the body.
    for (size_t size : {size_t{0}, size_t{1}, kFrameHeaderSize - 1, kFrameHeaderSize, good.size() - 1}) {
        ExpectRefused(std::vector<uint8_t>(good.begin(), good.begin() + static_cast<long>(size)),
                      FrameError::kTruncated);
    }
}

TEST(TransportFrameTest, BodyOverTheLimitIsRefusedFromTheHeaderAlone) {
    std::vector<uint8_t> header = EncodeFrame(SampleHeader(0), nullptr);
    Poke<uint32_t>(header, kLengthOffset, MSG_MAX_BODY_LENGTH + 1);
    Poke<uint32_t>(header, kInfoLengthOffset, MSG_MAX_BODY_LENGTH + 1);
    FrameHeader out = Untouched();
    // The reader must not allocate for such a body: the header decides.
    EXPECT_EQ(DecodeFrameHeader(header.data(), header.size(), out), FrameError::kTooLong);
    EXPECT_EQ(out.ulCorrelation, 0xDEADu);

    Poke<uint32_t>(header, kLengthOffset, MSG_MAX_BODY_LENGTH);
    Poke<uint32_t>(header, kInfoLengthOffset, MSG_MAX_BODY_LENGTH);
    EXPECT_EQ(DecodeFrameHeader(header.data(), header.size(), out), FrameError::kNone);
    EXPECT_EQ(out.info.uiMsgLength, MSG_MAX_BODY_LENGTH);
}

}  // namespace
