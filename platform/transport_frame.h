// The frame of the message transport: how one request or answer travels on a
// stream connection. All integers in host order (little-endian on every
// platform the cluster runs on), packed:
//
//   offset size
//        0    4  magic number kFrameMagic
//        4    2  version kFrameVersion
//        6    2  kind: 1 request, 2 answer
//        8    4  body length: must equal the record's uiMsgLength
//       12    8  correlation id: pairs an answer with its request on a connection
//       20   36  tagMsgInfo
//       56    n  body, n = body length <= MSG_MAX_BODY_LENGTH
//
// The frame states its body length twice (its own field and uiMsgLength) so a
// frame whose record disagrees with the bytes it carries is refused instead of
// desynchronising the stream. Nothing of a frame is used until the whole
// header has been checked.
//
// Pure functions; thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/msg_transport.h"

namespace platform {
namespace transport {

constexpr uint32_t kFrameMagic = 0x544D5343;  // "CSMT" in memory order
constexpr uint16_t kFrameVersion = 1;
constexpr size_t kFrameHeaderSize = 56;

enum class FrameKind : uint16_t { kRequest = 1, kAnswer = 2 };

enum class FrameError {
    kNone = 0,
    kTruncated,  // fewer bytes than the header or the body needs
    kBadMagic,
    kBadVersion,
    kBadKind,
    kLengthMismatch,  // body length field and uiMsgLength disagree, or bytes follow the body
    kTooLong,         // body over MSG_MAX_BODY_LENGTH
    kOverLimit,       // body over the connection's message-size limit
    kNoRoom,          // the process holds as many partly received bytes as it may
    kTooSlow,         // the frame did not complete before its deadline
};

// A short English reason for logs ("bad magic number", ...).
const char* FrameErrorText(FrameError error);

struct FrameHeader {
    FrameKind kind = FrameKind::kRequest;
    uint64_t ulCorrelation = 0;
    tagMsgInfo info{};  // info.uiMsgLength is the body length
};

// Writes the kFrameHeaderSize header bytes for `header` into `out`; the body
// length comes from header.info.uiMsgLength.
void EncodeFrameHeader(const FrameHeader& header, uint8_t* out);

// Checks and decodes the first kFrameHeaderSize bytes of `data`. On any error
// `out` is left untouched.
FrameError DecodeFrameHeader(const uint8_t* data, size_t size, FrameHeader& out);

// A whole frame held in memory: the header must check and exactly
// uiMsgLength body bytes must follow. `body` points into `data`.
FrameError DecodeFrame(const uint8_t* data, size_t size, FrameHeader& out, const uint8_t*& body);

// Header and body in one buffer (tests, tools).
std::vector<uint8_t> EncodeFrame(const FrameHeader& header, const void* body);

}  // namespace transport
}  // namespace platform
