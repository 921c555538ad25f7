// Mutual TLS between the nodes of a cluster whose transport is "tcp"
// (cluster.json). Processes of one node keep talking over Unix-domain
// sockets, and so does the management tool; a connection to an endpoint of
// another node is TCP with TLS 1.2 or later, both sides presenting a
// certificate of the cluster CA.
//
// Files in <cluster>/tls/ (a 0700 directory; every file 0600):
//   ca.pem        the cluster CA's certificate; its key is not kept
//   node<N>.pem   node N's certificate: CN "chs-node-<N>", OU the cluster's serial number
//   node<N>.key   node N's private key (P-256); only node N's processes read it
// A process loads its own node's files when it first needs them, and refuses
// a key that others than its owner may read.
//
// Who is at the other end of a TLS connection is the node its certificate
// names, verified against the cluster CA: never what a frame says. The
// connecting side also checks that the accepting side's certificate names the
// node it meant to reach.
//
// Thread-safe: a session serialises its own calls.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

typedef struct ssl_st SSL;

namespace platform {
namespace transport {

// Whether a connection from this process to an endpoint of `node` is TCP+TLS.
bool TlsToNode(uint16_t node);

class TlsSession {
  public:
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // A session over the connected socket `fd` (which the caller keeps),
    // accepting or connecting; null with `error` when this node's keys cannot
    // be loaded.
    static std::unique_ptr<TlsSession> New(int fd, bool accepting, std::string& error);

    // Runs the handshake on the non-blocking socket until `deadlineMs`
    // (NowMs) and verifies the peer's certificate; false with `error`.
    bool Handshake(int64_t deadlineMs, std::string& error);
    // The node the verified certificate names (after Handshake).
    uint16_t PeerNode() const { return m_usPeerNode; }

    // Like recv/send on a non-blocking socket: bytes, 0 at the end of the
    // stream (read), or -1 with errno (EAGAIN: nothing now).
    ssize_t Read(void* buffer, size_t length);
    ssize_t Write(const void* buffer, size_t length);
    // Bytes wait inside the session, decrypted or read ahead (poll does not see them).
    bool Pending();

  private:
    explicit TlsSession(SSL* ssl) : m_ssl(ssl) {}
    ssize_t Failed(int result);

    std::mutex m_mutex;
    SSL* const m_ssl;
    uint16_t m_usPeerNode = 0;
};

// Makes the CA and the certificate and key of each of `nodes` in `dir`
// (created 0700) for the cluster with serial number `serial`. Files that
// exist are replaced. false with a one-line reason in `error`.
bool MakeClusterCertificates(const std::string& dir, const std::string& serial,
                             const std::vector<uint16_t>& nodes, std::string& error);

// The common name of node `node`'s certificate.
std::string NodeCommonName(uint16_t node);

}  // namespace transport
}  // namespace platform
