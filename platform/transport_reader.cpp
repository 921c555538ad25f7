#include "platform/transport_reader.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

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

void FrameAssembler::ResetFrame() {
    ReleasePending(m_reserved);
    m_reserved = 0;
    m_headerGot = 0;
    std::vector<uint8_t>().swap(m_body);
    m_startedMs = 0;
}

void FrameAssembler::Reset() {
    ResetFrame();
    m_inBegin = 0;
    m_inEnd = 0;
    m_bDrained = false;
}

FrameAssembler::Step FrameAssembler::Consume(FrameHeader& header, void*& message, FrameError& error) {
    size_t available = m_inEnd - m_inBegin;
    if (m_headerGot < kFrameHeaderSize) {
        if (available == 0) {
            return Step::kWouldBlock;
        }
        if (m_headerGot == 0) {
            m_startedMs = NowMs();
        }
        size_t take = std::min(available, kFrameHeaderSize - m_headerGot);
        memcpy(m_head + m_headerGot, m_in.get() + m_inBegin, take);
        m_headerGot += take;
        m_inBegin += take;
        available -= take;
        if (m_headerGot < kFrameHeaderSize) {
            return Step::kWouldBlock;
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
    }
    const size_t length = m_header.info.uiMsgLength;
    // A body wholly in the buffer goes straight into its message.
    const bool whole = m_body.empty() && available >= length;
    if (!whole && available > 0) {
        size_t bytes = std::min(available, length - m_body.size());
        if (!ReservePending(bytes)) {
            Reset();
            error = FrameError::kNoRoom;
            return Step::kBadFrame;
        }
        m_reserved += bytes;
        size_t needed = m_body.size() + bytes;
        if (needed > m_body.capacity()) {
            m_body.reserve(std::min(length, std::max(needed, 2 * m_body.capacity())));
        }
        m_body.insert(m_body.end(), m_in.get() + m_inBegin, m_in.get() + m_inBegin + bytes);
        m_inBegin += bytes;
    }
    if (!whole && m_body.size() < length) {
        return Step::kWouldBlock;
    }
    void* body = NewMessage(static_cast<uint32_t>(length), 0, "transport receive", 0);
    if (body == nullptr) {
        Reset();
        return Step::kIoError;
    }
    if (whole) {
        memcpy(body, m_in.get() + m_inBegin, length);
        m_inBegin += length;
    } else if (length > 0) {
        memcpy(body, m_body.data(), length);
    }
    SetInfo(body, m_header.info);
    header = m_header;
    message = body;
    ResetFrame();  // the bytes read ahead stay for the next frame
    return Step::kFrame;
}

FrameAssembler::Step FrameAssembler::Read(int fd, FrameHeader& header, void*& message, FrameError& error,
                                          TlsSession* tls) {
    message = nullptr;
    error = FrameError::kNone;
    for (;;) {
        Step step = Consume(header, message, error);
        if (step != Step::kWouldBlock) {
            return step;
        }
        if (m_bDrained && tls == nullptr) {
            // The last read left room in the buffer: the socket had no more
            // then; poll tells when it has.
            m_bDrained = false;
            return Step::kWouldBlock;
        }
        if (!m_in) {
            m_in.reset(new (std::nothrow) uint8_t[kReadStep]);
            if (!m_in) {
                Reset();
                return Step::kIoError;
            }
        }
        m_inBegin = 0;
        m_inEnd = 0;
        ssize_t got = tls != nullptr ? tls->Read(m_in.get(), kReadStep) : recv(fd, m_in.get(), kReadStep, 0);
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
        m_inEnd = static_cast<size_t>(got);
        m_bDrained = m_inEnd < kReadStep;
    }
}

}  // namespace transport
}  // namespace platform
