// Assembles frames from a stream socket as their bytes arrive. Each read
// takes what the socket holds, up to a read-ahead buffer (so that a small
// frame costs one read, and a read that leaves the buffer part empty shows
// the socket drained without another call); frames are cut from there. The
// body of a frame that is not all in the buffer grows with what was received
// (at most twice that), never to the length a header announces; its bytes
// count against the process-wide bound of pending bytes (transport_limits.h)
// until the frame is complete or the assembler is destroyed.
//
// One assembler per connection, used by one thread.
#pragma once

#include <cstdint>
#include <memory>
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
    // Bytes read ahead and not cut into a frame yet: the next Read takes them
    // without waiting for the socket.
    bool Buffered() const { return m_inBegin < m_inEnd; }
    int64_t StartedMs() const { return m_startedMs; }

  private:
    void ResetFrame();  // the frame being assembled; the bytes read ahead stay
    void Reset();       // the frame and the bytes read ahead
    // Takes buffered bytes into the frame being assembled; kFrame when it is
    // complete, kWouldBlock when the buffer ran out first.
    Step Consume(FrameHeader& header, void*& message, FrameError& error);

    const uint32_t m_bodyLimit;
    const size_t m_maxPending;
    uint8_t m_head[kFrameHeaderSize] = {};
    size_t m_headerGot = 0;
    FrameHeader m_header;
    std::vector<uint8_t> m_body;
    std::unique_ptr<uint8_t[]> m_in;  // the read-ahead buffer, from the first read on
    size_t m_inBegin = 0;
    size_t m_inEnd = 0;
    bool m_bDrained = false;  // the last read left room: the socket held no more
    size_t m_reserved = 0;
    int64_t m_startedMs = 0;
};

}  // namespace transport
}  // namespace platform
