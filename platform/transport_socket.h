// Sockets of the transport: where an endpoint listens, connecting to it, and
// reading whole frames from a blocking stream socket.
//
// EndpointAddress is the only place that knows how an endpoint (node, process
// id) is reached: the Unix-domain socket <cluster>/run/ep-<node>-<pid>.sock
// for every endpoint of this machine's cluster, except that with the "tcp"
// transport an endpoint of another node is TCP (TcpAddress) with mutual TLS
// (transport_tls.h). Every endpoint listens on its Unix socket; with "tcp" it
// listens on its TCP port as well (ListenTcp), when its pid has one.
//
// Every function works on descriptors its caller owns; none closes a
// descriptor it did not open. Thread-safe as far as the descriptors are.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <string>

#include "platform/transport_frame.h"

namespace platform {
namespace transport {

struct EndpointId {
    uint16_t usNode = 0;  // never MSG_LOCAL_NODE_BID: resolve it first
    uint16_t usPid = 0;
};

class TlsSession;

bool EndpointAddress(const EndpointId& endpoint, sockaddr_storage& address, socklen_t& length,
                     std::string& error);
// The TCP address of `endpoint`: the first internal address of its node, port
// tcpPortBase + pid for pids below 1024, tcpPortBase + 1024 + (pid - 0xF000)
// for the platform's services (cluster_config.h); false for other pids.
bool TcpAddress(const EndpointId& endpoint, sockaddr_in& address, std::string& error);

struct ListenSocket {
    int fd = -1;
    ino_t ino = 0;  // of the socket file, to remove only our own file later
};
// Binds and listens at the endpoint's address. A socket file left by a dead
// process is replaced; one a live process still serves is not (fd -1).
ListenSocket Listen(const EndpointId& endpoint, std::string& error);
// Binds and listens at the endpoint's TCP address (its ino is 0).
ListenSocket ListenTcp(const EndpointId& endpoint, std::string& error);
// Removes the endpoint's socket file if it is still the one `socket` bound.
void RemoveSocketFile(const EndpointId& endpoint, const ListenSocket& socket);

// A connected stream socket, or -1 with errno set. With `claim` the socket
// first takes this process's endpoint name (transport_identity.h). An
// endpoint of another node over TCP needs `tls`, which receives the session
// once its handshake passed and the peer proved to be the endpoint's node
// (anything else fails with ECONNREFUSED, logged at most once a second).
int Connect(const EndpointId& endpoint, bool claim = true, std::unique_ptr<TlsSession>* tls = nullptr);

// Reads one whole frame from a blocking socket, its buffer growing as the
// bytes arrive (tests, tools; connections use FrameAssembler).
enum class ReadStatus {
    kFrame,     // `message` is a new transport message with the frame's info; the caller owns it
    kClosed,    // the peer closed between frames
    kBadFrame,  // `error` says why; nothing of the frame was kept
    kIoError,   // the socket failed, or no memory for the body
};
ReadStatus ReadFrame(int fd, FrameHeader& header, void*& message, FrameError& error);

}  // namespace transport
}  // namespace platform
