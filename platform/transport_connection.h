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
// Ownership: a Connection is shared by the registry, its reader thread and the
// callers using it; its descriptor is closed when the last owner lets go, so a
// descriptor number is never reused under a sender. Shutdown() only stops the
// socket. Thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/transport_socket.h"

namespace platform {
namespace transport {

class Connection {
  public:
    enum class Role { kOutgoing, kIncoming };

    // Takes `fd`. `endpoint`: the destination (outgoing) or the local
    // endpoint that accepted it (incoming).
    Connection(int fd, Role role, const EndpointId& endpoint);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    uint64_t Id() const { return m_ulId; }
    Role GetRole() const { return m_role; }
    const EndpointId& Endpoint() const { return m_endpoint; }
    int Fd() const { return m_fd; }

    // Writes one frame whole; frames of concurrent senders never interleave.
    // A failed write shuts the connection down.
    bool Send(const FrameHeader& header, const void* body);
    void Shutdown();
    bool Dead() const { return m_bDead.load(); }

  private:
    const int m_fd;
    const Role m_role;
    const EndpointId m_endpoint;
    const uint64_t m_ulId;
    std::mutex m_writeMutex;
    std::atomic<bool> m_bDead{false};
};

// Called on an incoming connection's reader thread with each request; takes
// `message`.
typedef void (*RequestFn)(const std::shared_ptr<Connection>& connection, uint64_t correlation, void* message);
void SetRequestHandler(RequestFn handler);

// Registers `connection` and starts its reader. False when no thread could be
// started (the connection is shut down then).
bool StartConnection(const std::shared_ptr<Connection>& connection);
std::shared_ptr<Connection> FindConnection(uint64_t id);
void ShutdownIncoming(uint16_t pid);  // connections accepted by endpoint `pid`
void ShutdownAllConnections();
size_t ConnectionCount();

// Outgoing connections to `destination`. `fresh` tells whether the connection
// was just made. Null with `error` MSG_ERR_UNREACHABLE when nothing listens
// there, MSG_ERR_SEND when the connection cannot be served.
std::shared_ptr<Connection> AcquireSyncConnection(const EndpointId& destination, bool& fresh, int& error);
void ReleaseSyncConnection(const std::shared_ptr<Connection>& connection);
std::shared_ptr<Connection> AsyncConnection(const EndpointId& destination, bool& fresh, int& error);

}  // namespace transport
}  // namespace platform
