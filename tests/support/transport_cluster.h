// Hand-made clusters for the transport tests, over either transport: the
// nodes' part of cluster.json and, for TCP, the cluster's TLS files, plus a
// raw TLS client that plays a peer no transport would be.
//
// With TCP the nodes get addresses 127.A.B.<id+1>, A and B taken from the
// test process's pid, so that test binaries running side by side do not meet
// on a port.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/transport_tls.h"

namespace chs_test {

enum class Transport { kUnix, kTcp };

inline std::string TransportName(const ::testing::TestParamInfo<Transport>& info) {
    return info.param == Transport::kUnix ? "Unix" : "TcpTls";
}

constexpr uint16_t kTestPortBase = 21000;

inline std::string NodeAddress(uint16_t node) {
    unsigned pid = static_cast<unsigned>(getpid());
    return "127." + std::to_string(1 + pid % 250) + "." + std::to_string((pid / 250) % 250) + "." +
           std::to_string(node + 1);
}

// `"transport": ..., "nodes": [...]` for nodes 0..count-1 named CTE0.A, CTE0.B, ...;
// for TCP also lays out the TLS files in `clusterDir`/tls for the serial `serial`.
inline std::string TransportNodesJson(Transport transport, int count, const std::string& clusterDir,
                                      const std::string& serial) {
    bool tcp = transport == Transport::kTcp;
    std::string json = tcp ? "\"transport\": \"tcp\", \"tcpPortBase\": " + std::to_string(kTestPortBase) + ", "
                           : std::string();
    json += "\"nodes\": [";
    std::vector<uint16_t> ids;
    for (int id = 0; id < count; ++id) {
        json += std::string(id > 0 ? ", " : "") + "{\"id\": " + std::to_string(id) + ", \"name\": \"CTE0." +
                static_cast<char>('A' + id) + "\", \"internalIps\": [\"" + NodeAddress(static_cast<uint16_t>(id)) +
                "\"]}";
        ids.push_back(static_cast<uint16_t>(id));
    }
    if (tcp) {
        std::string error;
        EXPECT_TRUE(platform::transport::MakeClusterCertificates(clusterDir + "/tls", serial, ids, error)) << error;
    }
    return json + "]";
}

// A TLS peer no transport would be: a client of an endpoint's TCP port, or
// the server side of a connection accepted by the test. It presents the
// certificate and key `files` (<base>.pem and <base>.key; none when empty)
// and does not check the other side's certificate.
class RawTlsPeer {
  public:
    // Connects to the TCP port of endpoint `pid` of `node`.
    RawTlsPeer(uint16_t node, uint16_t pid, const std::string& files) : RawTlsPeer(-1, files) {
        m_fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = TcpAddressOf(node, pid);
        if (connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
            Start(false);
        }
    }
    // Takes the accepted socket `fd` and runs the server's side of the handshake.
    RawTlsPeer(int fd, const std::string& files, bool accept) : RawTlsPeer(fd, files) {
        if (accept) {
            Start(true);
        }
    }
    ~RawTlsPeer() {
        SSL_free(m_ssl);
        close(m_fd);
        SSL_CTX_free(m_ctx);
    }
    RawTlsPeer(const RawTlsPeer&) = delete;
    RawTlsPeer& operator=(const RawTlsPeer&) = delete;

    static sockaddr_in TcpAddressOf(uint16_t node, uint16_t pid) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(kTestPortBase + pid));
        inet_pton(AF_INET, NodeAddress(node).c_str(), &address.sin_addr);
        return address;
    }
    bool Send(const std::vector<uint8_t>& bytes) {
        return m_bHandshake && WithoutSigpipe([&] {
                   return SSL_write(m_ssl, bytes.data(), static_cast<int>(bytes.size()));
               }) == static_cast<int>(bytes.size());
    }
    // Reads `length` bytes; empty when the other side closed or failed first.
    std::string Read(size_t length) {
        std::string bytes(length, '\0');
        size_t got = 0;
        while (m_bHandshake && got < length) {
            int n = WithoutSigpipe([&] { return SSL_read(m_ssl, &bytes[got], static_cast<int>(length - got)); });
            if (n <= 0) {
                ERR_clear_error();
                return std::string();
            }
            got += static_cast<size_t>(n);
        }
        return got == length ? bytes : std::string();
    }

  private:
    // Runs `io` with SIGPIPE held back for this thread: a node that closed
    // first makes the write fail instead of ending the test process.
    template <typename Io>
    static int WithoutSigpipe(Io io) {
        sigset_t pipe, old;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, &old);
        int result = io();
        timespec none{0, 0};
        while (sigtimedwait(&pipe, nullptr, &none) > 0) {
        }
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        return result;
    }

    RawTlsPeer(int fd, const std::string& files) : m_fd(fd) {
        m_ctx = SSL_CTX_new(TLS_method());
        if (!files.empty()) {
            SSL_CTX_use_certificate_file(m_ctx, (files + ".pem").c_str(), SSL_FILETYPE_PEM);
            SSL_CTX_use_PrivateKey_file(m_ctx, (files + ".key").c_str(), SSL_FILETYPE_PEM);
        }
    }
    void Start(bool accept) {
        timeval tv{5, 0};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        m_ssl = SSL_new(m_ctx);
        SSL_set_fd(m_ssl, m_fd);
        // With TLS 1.3 a client is done before the server checked its certificate.
        m_bHandshake = (accept ? SSL_accept(m_ssl) : SSL_connect(m_ssl)) == 1;
        ERR_clear_error();
    }

    SSL_CTX* m_ctx = nullptr;
    SSL* m_ssl = nullptr;
    int m_fd = -1;
    bool m_bHandshake = false;
};

}  // namespace chs_test
