#include "platform/transport_reader.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/transport_limits.h"
#include "platform/transport_message.h"
#include "platform/transport_tls.h"

namespace platform {
namespace transport {
namespace {

constexpr size_t kReadStep = 64u << 10;

}  // namespace

FrameAssembler::FrameAssembler(uint32_t bodyLimit, size_t maxPending)
    : m_bodyLimit(bodyLimit), m_maxPending(maxPending) {}

FrameAssembler::~FrameAssembler() { Reset(); }

void FrameAssembler::Reset() {
    ReleasePending(m_reserved);
    m_reserved = 0;
    m_headerGot = 0;
    std::vector<uint8_t>().swap(m_body);
    m_startedMs = 0;
}

FrameAssembler::Step FrameAssembler::Read(int fd, FrameHeader& header, void*& message, FrameError& error,
                                          TlsSession* tls) {
    message = nullptr;
    error = FrameError::kNone;
    uint8_t scratch[kReadStep];
    for (;;) {
        bool inHeader = m_headerGot < kFrameHeaderSize;
        size_t want = inHeader ? kFrameHeaderSize - m_headerGot
                               : std::min(kReadStep, m_header.info.uiMsgLength - m_body.size());
        if (!inHeader && want == 0) {
            break;  // an empty body: complete with its header
        }
        void* into = inHeader ? m_head + m_headerGot : scratch;
        ssize_t got = tls != nullptr ? tls->Read(into, want) : recv(fd, into, want, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno == EAGAIN || errno == EWOULDBLOCK ? Step::kWouldBlock : Step::kIoError;
        }
        if (got == 0) {
            bool between = m_headerGot == 0;
            Reset();
            if (between) {
                return Step::kClosed;
            }
            error = FrameError::kTruncated;
            return Step::kBadFrame;
        }
        if (m_headerGot == 0) {
            m_startedMs = NowMs();
        }
        if (inHeader) {
            m_headerGot += static_cast<size_t>(got);
            if (m_headerGot < kFrameHeaderSize) {
                continue;
            }
            error = DecodeFrameHeader(m_head, kFrameHeaderSize, m_header);
            if (error == FrameError::kNone && (m_header.info.uiMsgLength > m_bodyLimit ||
                                               kFrameHeaderSize + m_header.info.uiMsgLength > m_maxPending)) {
                error = FrameError::kOverLimit;
            }
            if (error != FrameError::kNone) {
                Reset();
                return Step::kBadFrame;
            }
        } else {
            size_t bytes = static_cast<size_t>(got);
            if (!ReservePending(bytes)) {
                Reset();
                error = FrameError::kNoRoom;
                return Step::kBadFrame;
            }
            m_reserved += bytes;
            size_t needed = m_body.size() + bytes;
            if (needed > m_body.capacity()) {
                m_body.reserve(std::min<size_t>(m_header.info.uiMsgLength, std::max(needed, 2 * m_body.capacity())));
            }
            m_body.insert(m_body.end(), scratch, scratch + bytes);
        }
        if (m_headerGot == kFrameHeaderSize && m_body.size() == m_header.info.uiMsgLength) {
            break;
        }
    }
    void* body = NewMessage(m_header.info.uiMsgLength, 0, "transport receive", 0);
    if (body == nullptr) {
        Reset();
        return Step::kIoError;
    }
    if (!m_body.empty()) {
        memcpy(body, m_body.data(), m_body.size());
    }
    SetInfo(body, m_header.info);
    header = m_header;
    message = body;
    Reset();
    return Step::kFrame;
}

}  // namespace transport
}  // namespace platform
