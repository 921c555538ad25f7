// Bounds on what a peer can make this process spend through the transport,
// and the process-wide tunables that set them. Defaults suit a daemon; tests
// lower them instead of opening thousands of connections.
//
//   maxConnectionsPerEndpoint  256     accepted connections one endpoint keeps open; a connection past
//                                      it is closed at once (logged at most once a second per endpoint)
//   idleLimit                  600 s   an accepted connection with no partial frame, nothing queued and
//                                      no request in flight for this long is closed; outgoing pooled
//                                      connections close after half of it, before their peer does
//   frameDeadline              30 s    from the first byte of a frame to its last; also bounds a TLS
//                                      handshake (to at most 10 s), either side
//   maxPendingBytesPerConnection       bytes of one partly received frame (header and body)
//                              8 MiB + header
//   maxPendingBytesTotal       64 MiB  bytes of partly received frames of the whole process
//   maxQueuedFrames            256     frames waiting to be written on one connection
//   maxQueuedBytes             16 MiB  bytes waiting to be written on one connection
//   sendStall                  30 s    queued bytes of which the peer takes nothing for this long
//                                      close the connection
//
// An accepted connection whose queue is half full is not read from until it
// drains: a client that pipelines requests is slowed down, not cut off. One
// that does not read at all is closed when the answers already in flight fill
// its queue, or at the stall limit.
//
// The body of a request that a peer sends to this process's endpoints is
// bounded by the message-size limit the process registered
// (Msg_RegisterCfgFunc); endpoints of the platform's services (from
// MSG_PLATFORM_PID_BASE on) take at least kPlatformServiceBodyLimit. Answers
// come only on connections this process opened, to requests it chose to
// send; they are bounded by MSG_MAX_BODY_LENGTH and the pending bytes, so
// that the file service's chunks and long listings still arrive.
//
// The registered thread count bounds how many entry functions run at once
// (EntrySlot); 0 or no registration leaves them unbounded.
//
// A receive buffer grows with the bytes that arrived, never to the length a
// header announces; the bytes it holds count against both pending bounds, and
// a connection that would pass either is closed.
//
// Thread-safe.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "platform/transport_frame.h"
#include "platform/transport_socket.h"

namespace platform {
namespace transport {

struct Limits {
    size_t maxConnectionsPerEndpoint = 256;
    std::chrono::milliseconds idleLimit{600000};
    std::chrono::milliseconds frameDeadline{30000};
    size_t maxPendingBytesPerConnection = kFrameHeaderSize + MSG_MAX_BODY_LENGTH;
    size_t maxPendingBytesTotal = 64u << 20;
    size_t maxQueuedFrames = 256;
    size_t maxQueuedBytes = 16u << 20;
    std::chrono::milliseconds sendStall{30000};
};

constexpr uint32_t kPlatformServiceBodyLimit = (1u << 20) + (64u << 10);

Limits CurrentLimits();
void SetLimits(const Limits& limits);  // tests
void ResetLimits();                    // back to the defaults

// The largest body a connection may carry: `endpoint` is the local endpoint
// of an accepted connection (`incoming`) or the destination of an outgoing one.
uint32_t BodyLimit(const EndpointId& endpoint, bool incoming);

// Bytes of partly received frames, process-wide. Reserve fails (and reserves
// nothing) when `bytes` more would pass maxPendingBytesTotal.
bool ReservePending(size_t bytes);
void ReleasePending(size_t bytes);
size_t PendingTotal();

// Holds one of the registered number of entry threads while it lives.
class EntrySlot {
  public:
    EntrySlot();
    ~EntrySlot();
    EntrySlot(const EntrySlot&) = delete;
    EntrySlot& operator=(const EntrySlot&) = delete;
};

// True at most once per `period` for one `last` stamp (milliseconds of the
// monotonic clock): logs of a flood stay a trickle.
bool RateAllows(std::atomic<int64_t>& last, std::chrono::milliseconds period);
int64_t NowMs();

}  // namespace transport
}  // namespace platform
