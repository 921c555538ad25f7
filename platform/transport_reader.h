// Assembles frames from a stream socket as their bytes arrive. The body
// buffer grows with what was received (at most twice that), never to the
// length a header announces; its bytes count against the process-wide bound
// of pending bytes (transport_limits.h) until the frame is complete or the
// assembler is destroyed.
//
// One assembler per connection, used by one thread.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/transport_frame.h"

namespace platform {
namespace transport {

class TlsSession;

class FrameAssembler {
  public:
    enum class Step {
        kFrame,       // `message` is a new transport message with the frame's info; the caller owns it
        kWouldBlock,  // a non-blocking socket has nothing more now
        kClosed,      // the peer closed between frames
        kBadFrame,    // `error` says why; nothing of the frame is kept
        kIoError,     // the socket failed, or no memory for the message
    };

    // `bodyLimit`: the largest body accepted; `maxPending`: header and body bytes of one frame.
    FrameAssembler(uint32_t bodyLimit, size_t maxPending);
    ~FrameAssembler();
    FrameAssembler(const FrameAssembler&) = delete;
    FrameAssembler& operator=(const FrameAssembler&) = delete;

    // Reads until a frame is complete, the socket has nothing more, or it
    // fails; through `tls` when the connection has a session.
    Step Read(int fd, FrameHeader& header, void*& message, FrameError& error, TlsSession* tls = nullptr);
    // Whether part of a frame has arrived, and since when (NowMs).
    bool Partial() const { return m_headerGot > 0; }
    int64_t StartedMs() const { return m_startedMs; }

  private:
    void Reset();

    const uint32_t m_bodyLimit;
    const size_t m_maxPending;
    uint8_t m_head[kFrameHeaderSize] = {};
    size_t m_headerGot = 0;
    FrameHeader m_header;
    std::vector<uint8_t> m_body;
    size_t m_reserved = 0;
    int64_t m_startedMs = 0;
};

}  // namespace transport
}  // namespace platform
