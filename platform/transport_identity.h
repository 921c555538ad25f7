// Who is at the other end of a connection. The sender of a request is taken
// from here, never from the record the frame carries: a process can only
// speak as a node whose endpoint it holds.
//
// On one machine (Unix-domain sockets in <cluster>/run/):
//   - An outgoing connection reaches the process that listens on the
//     destination's socket file, so its answers come from that endpoint.
//   - A process that holds an endpoint binds each of its outgoing sockets,
//     before connecting, to a fresh name <run>/c-<node>-<pid>-<ospid>-<n>
//     naming that endpoint (the first it registered), and removes the name
//     once connected. The accepting side reads the name (getpeername) and the
//     peer's process (SO_PEERCRED), then opens a non-blocking probe connection
//     to the named endpoint's socket file: the claim holds only when the
//     process listening there is the peer's process. Anyone can write a name;
//     only the holder of the registration passes the probe.
//   - Everything else (an unbound socket, a claim that fails) is a tool, such
//     as chsctl: its requests carry the node MSG_TOOL_NODE_BID and pid 0.
// Between nodes over TCP the same two questions are answered by mutual TLS
// (transport_tls.h): the node is the one named by the peer's certificate
// under the cluster CA (one certificate per node). Every process of a node
// holds its certificate, so the node vouches for the pids its requests name;
// a request that names another node as its sender closes the connection.
//
// Thread-safe.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "platform/transport_socket.h"

namespace platform {
namespace transport {

struct PeerIdentity {
    bool bNode = false;  // false: a tool
    EndpointId endpoint;  // the verified endpoint of a node
    bool bWholeNode = false;  // TLS: every pid of endpoint.usNode is held
};

// The identity of a TLS connection whose certificate names `node`.
PeerIdentity NodeIdentity(uint16_t node);

// The endpoint this process speaks as on its outgoing connections; cleared
// when `pid` is MSG_LOCAL_NODE_BID.
void SetOwnEndpoint(uint16_t node, uint16_t pid);

// Binds the unconnected socket `fd` to this process's claim; `path` is the
// name to remove after connect (empty when nothing was bound: a tool).
void BindClaim(int fd, std::string& path);

// The identity of the accepted connection `fd`.
PeerIdentity Authenticate(int fd);

// Overwrites the sender fields of a received request with `identity`. The
// pid the frame names is kept only when the identity's process holds it
// (`pidHeld`); otherwise it becomes the verified one.
void StampRequest(tagMsgInfo& info, const PeerIdentity& identity, bool pidHeld);
// Overwrites the sender fields of an answer read from an outgoing
// connection to `destination`.
void StampAnswer(tagMsgInfo& info, const EndpointId& destination);

// Whether the process of the accepted connection `fd` listens on `endpoint`.
bool PeerHolds(int fd, const EndpointId& endpoint);

}  // namespace transport
}  // namespace platform
