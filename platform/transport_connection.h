// Connections of the transport and the reader thread of each.
//
// An outgoing connection carries this process's requests to one endpoint and
// brings their answers back; an incoming one was accepted by one of this
// process's endpoints and carries requests in and answers out. A frame of the
// wrong kind for the direction, or any bad frame, closes the connection.
//
// Outgoing connections are pooled per destination endpoint:
//   - one shared connection carries every asynchronous post, in order;
//   - a synchronous send takes a connection of its own for the time of its
//     request (an idle one or a new one), so that a handler that itself sends
//     synchronously never waits behind the request it is handling. After a
//     time-out the connection is closed, not reused: the peer may still be busy
//     with the old request on it.
//
// Each connection has one thread that waits (poll) on its socket: it reads
// frames as their bytes arrive (transport_reader.h), writes what senders
// queued, and closes the connection when a frame misses its deadline, the
// write queue stalls, or the connection stays idle (transport_limits.h).
// While a synchronous sender waits on a connection of its own without TLS, it
// reads its answer itself (ReadOwnAnswer), with the same checks and deadlines,
// instead of being woken by that thread: one thread hand-off less per
// request. The connection's thread leaves the socket's input alone meanwhile
// and takes it back once the sender returns the connection.
// A connection to another node over TCP carries its bytes through its TLS
// session (transport_tls.h); an accepted one runs the handshake on its own
// thread first, within the frame deadline (at most 10 s), so that a peer that
// stalls the handshake holds nothing but its own connection.
// Answering never waits for the peer: Send writes what the socket takes at
// once and queues the rest; a full queue of answers closes the connection
// (the peer does not read them). A request poster of this process waits for
// room in its outgoing queue instead, up to the stall limit.
//
// The sender of every request read from an accepted connection is stamped
// from the connection's identity, and that of every answer from the
// destination of the outgoing connection (transport_identity.h).
//
// Ownership: a Connection is shared by the registry, its thread and the
// callers using it; its descriptor is closed when the last owner lets go, so a
// descriptor number is never reused under a sender. Shutdown() only stops the
// socket. Thread-safe.
#pragma once

#include <sys/uio.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/transport_pending.h"
#include "platform/transport_reader.h"
#include "platform/transport_socket.h"
#include "platform/transport_tls.h"

namespace platform {
namespace transport {

// A batch: at most this many frames or bytes wait for their sender, and
// for at most this long.
constexpr size_t kBatchFrames = 32;
constexpr size_t kBatchBytes = 64u << 10;
constexpr int64_t kBatchHoldMs = 2;

class Connection {
  public:
    enum class Role { kOutgoing, kIncoming };

    // Takes `fd`. `endpoint`: the destination (outgoing) or the local
    // endpoint that accepted it (incoming). `tls`: the session the bytes go
    // through (an incoming one before its handshake).
    Connection(int fd, Role role, const EndpointId& endpoint, std::unique_ptr<TlsSession> tls = nullptr);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    uint64_t Id() const { return m_ulId; }
    Role GetRole() const { return m_role; }
    const EndpointId& Endpoint() const { return m_endpoint; }
    int Fd() const { return m_fd; }
    TlsSession* Tls() const { return m_tls.get(); }

    // Hands one frame to the socket, or to the write queue for what the
    // socket does not take at once; frames of concurrent senders never
    // interleave. False (and the connection shut down) when the socket failed
    // or the queue is full.
    // `batch`: the sender has more frames to send right after this one. The
    // first frame of a batch is written at once; those that follow within
    // kBatchHoldMs wait in the queue, to be written together in one call,
    // until the sender calls FlushBatch, the batch grows past kBatchFrames
    // or kBatchBytes, or at the latest kBatchHoldMs after the first (the
    // connection's thread writes them then).
    bool Send(const FrameHeader& header, const void* body, bool batch = false);
    // Writes the frames a batching sender left in the queue.
    void FlushBatch();
    void Shutdown();
    bool Dead() const { return m_bDead.load(); }

    // Requests read from an accepted connection and not answered yet; each
    // counts until answered or until its own time-out has passed.
    void RequestArrived(std::chrono::milliseconds timeout);
    void Answered();
    size_t QueuedFrames();

    // An outgoing connection without TLS whose input the synchronous sender
    // holding it reads itself, from before it sends until it returns the
    // connection; false (nothing changed) for any other connection.
    bool TakeInput();
    void ReturnInput();

  private:
    friend void IoLoop(const std::shared_ptr<Connection>& connection);
    friend void ReadOwnAnswer(const std::shared_ptr<Connection>& connection,
                              const PendingTable::SyncWait& wait,
                              std::chrono::steady_clock::time_point deadline);
    bool Flush();  // with m_writeMutex held; false when the socket failed
    // A write failed (errno says why): logs it and shuts the connection; false.
    bool FailSend();
    // Wakes the connection's thread (its eventfd), when it has one.
    void WakeThread();
    // Writes what the socket takes now of `parts` (send semantics, never SIGPIPE).
    ssize_t WriteSome(const iovec* parts, int count);
    bool InFlight();

    const int m_fd;
    const std::unique_ptr<TlsSession> m_tls;
    const int m_wake;  // eventfd: a sender queued bytes
    const Role m_role;
    const EndpointId m_endpoint;
    const uint64_t m_ulId;
    std::mutex m_writeMutex;
    std::condition_variable m_room;  // a queued frame was written, or the connection died
    std::deque<std::vector<uint8_t>> m_queue;
    // Whether m_queue holds a frame; written under m_writeMutex, read without
    // it by the connection's thread, as are the atomics below.
    std::atomic<bool> m_bQueued{false};
    // The queue's size, also read without the mutex by the connection's thread.
    std::atomic<size_t> m_queuedFrames{0};
    std::atomic<size_t> m_queuedBytes{0};
    size_t m_headWritten = 0;  // bytes of the first queued frame already written
    std::atomic<int64_t> m_lastWriteMs{0};
    // A batch is open until then (NowMs): its queued frames are left to
    // their sender until that time; 0: the connection's thread writes what
    // is queued as soon as it can.
    std::atomic<int64_t> m_batchUntilMs{0};
    std::atomic<bool> m_bDead{false};
    std::atomic<int64_t> m_lastActivityMs{0};
    std::mutex m_flightMutex;
    size_t m_inFlight = 0;
    int64_t m_inFlightUntilMs = 0;
    // The frames read from the socket, by the connection's thread or, while
    // m_bSenderReads is set, by the sender that took the input; both under
    // m_readMutex. m_bSenderReads changes under it too.
    std::mutex m_readMutex;
    FrameAssembler m_assembler;
    std::atomic<bool> m_bSenderReads{false};
    // Whether the connection's thread waits for input: a sender taking the
    // input wakes it then, so that it stops waiting for the sender's answer.
    std::atomic<bool> m_bLoopPollsInput{false};
};

void IoLoop(const std::shared_ptr<Connection>& connection);

// The sender that took the input of `connection` (TakeInput) waits there for
// the answer of its request `wait` until `deadline`, and hands every frame
// that arrives to the pending table as the connection's thread would, which
// ends the wait. Returns when the wait has ended, at the deadline, or when
// the connection died (its requests fail then).
void ReadOwnAnswer(const std::shared_ptr<Connection>& connection, const PendingTable::SyncWait& wait,
                   std::chrono::steady_clock::time_point deadline);

// Called on an incoming connection's reader thread with each request; takes
// `message`.
typedef void (*RequestFn)(const std::shared_ptr<Connection>& connection, uint64_t correlation, void* message);
void SetRequestHandler(RequestFn handler);
RequestFn CurrentRequestHandler();
// Removes `connection` from the registry and its pool (its thread, at its end).
void ForgetConnection(const std::shared_ptr<Connection>& connection);

// Registers `connection` and starts its reader. False when no thread could be
// started (the connection is shut down then).
bool StartConnection(const std::shared_ptr<Connection>& connection);
std::shared_ptr<Connection> FindConnection(uint64_t id);
void ShutdownIncoming(uint16_t pid);  // connections accepted by endpoint `pid`
void ShutdownAllConnections();
size_t ConnectionCount();
size_t IncomingCount(uint16_t pid);  // connections accepted by endpoint `pid`

// Outgoing connections to `destination`. `fresh` tells whether the connection
// was just made. Null with `error` MSG_ERR_UNREACHABLE when nothing listens
// there, MSG_ERR_SEND when the connection cannot be served.
std::shared_ptr<Connection> AcquireSyncConnection(const EndpointId& destination, bool& fresh, int& error);
void ReleaseSyncConnection(const std::shared_ptr<Connection>& connection);
std::shared_ptr<Connection> AsyncConnection(const EndpointId& destination, bool& fresh, int& error);

}  // namespace transport
}  // namespace platform
