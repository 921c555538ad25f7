#include "platform/transport_frame.h"

#include <cstring>

namespace platform {
namespace transport {
namespace {

constexpr size_t kMagicOffset = 0;
constexpr size_t kVersionOffset = 4;
constexpr size_t kKindOffset = 6;
constexpr size_t kLengthOffset = 8;
constexpr size_t kCorrelationOffset = 12;
constexpr size_t kInfoOffset = 20;
static_assert(kInfoOffset + sizeof(tagMsgInfo) == kFrameHeaderSize, "frame header layout");

template <typename T>
T Load(const uint8_t* data, size_t offset) {
    T value;
    memcpy(&value, data + offset, sizeof(value));
    return value;
}

template <typename T>
void Store(uint8_t* data, size_t offset, T value) {
    memcpy(data + offset, &value, sizeof(value));
}

}  // namespace

const char* FrameErrorText(FrameError error) {
    switch (error) {
        case FrameError::kNone:
            return "no error";
        case FrameError::kTruncated:
            return "truncated frame";
        case FrameError::kBadMagic:
            return "bad magic number";
        case FrameError::kBadVersion:
            return "unsupported frame version";
        case FrameError::kBadKind:
            return "unknown frame kind";
        case FrameError::kLengthMismatch:
            return "body length does not match the message information";
        case FrameError::kTooLong:
            return "body over the frame size limit";
        case FrameError::kOverLimit:
            return "body over the message size limit";
        case FrameError::kNoRoom:
            return "too many bytes of incomplete frames held";
        case FrameError::kTooSlow:
            return "frame not completed in time";
    }
    return "unknown frame error";
}

void EncodeFrameHeader(const FrameHeader& header, uint8_t* out) {
    Store<uint32_t>(out, kMagicOffset, kFrameMagic);
    Store<uint16_t>(out, kVersionOffset, kFrameVersion);
    Store<uint16_t>(out, kKindOffset, static_cast<uint16_t>(header.kind));
    Store<uint32_t>(out, kLengthOffset, header.info.uiMsgLength);
    Store<uint64_t>(out, kCorrelationOffset, header.ulCorrelation);
    memcpy(out + kInfoOffset, &header.info, sizeof(header.info));
}

FrameError DecodeFrameHeader(const uint8_t* data, size_t size, FrameHeader& out) {
    if (data == nullptr || size < kFrameHeaderSize) {
        return FrameError::kTruncated;
    }
    if (Load<uint32_t>(data, kMagicOffset) != kFrameMagic) {
        return FrameError::kBadMagic;
    }
    if (Load<uint16_t>(data, kVersionOffset) != kFrameVersion) {
        return FrameError::kBadVersion;
    }
    uint16_t kind = Load<uint16_t>(data, kKindOffset);
    if (kind != static_cast<uint16_t>(FrameKind::kRequest) &&
        kind != static_cast<uint16_t>(FrameKind::kAnswer)) {
        return FrameError::kBadKind;
    }
    uint32_t length = Load<uint32_t>(data, kLengthOffset);
    tagMsgInfo info;
    memcpy(&info, data + kInfoOffset, sizeof(info));
    if (length != info.uiMsgLength) {
        return FrameError::kLengthMismatch;
    }
    if (length > MSG_MAX_BODY_LENGTH) {
        return FrameError::kTooLong;
    }
    out.kind = static_cast<FrameKind>(kind);
    out.ulCorrelation = Load<uint64_t>(data, kCorrelationOffset);
    out.info = info;
    return FrameError::kNone;
}

FrameError DecodeFrame(const uint8_t* data, size_t size, FrameHeader& out, const uint8_t*& body) {
    FrameHeader header;
    FrameError error = DecodeFrameHeader(data, size, header);
    if (error != FrameError::kNone) {
        return error;
    }
    size_t available = size - kFrameHeaderSize;
    if (available < header.info.uiMsgLength) {
        return FrameError::kTruncated;
    }
    if (available > header.info.uiMsgLength) {
        return FrameError::kLengthMismatch;
    }
    out = header;
    body = data + kFrameHeaderSize;
    return FrameError::kNone;
}

std::vector<uint8_t> EncodeFrame(const FrameHeader& header, const void* body) {
    std::vector<uint8_t> frame(kFrameHeaderSize + header.info.uiMsgLength);
    EncodeFrameHeader(header, frame.data());
    if (header.info.uiMsgLength > 0 && body != nullptr) {
        memcpy(frame.data() + kFrameHeaderSize, body, header.info.uiMsgLength);
    }
    return frame;
}

}  // namespace transport
}  // namespace platform
