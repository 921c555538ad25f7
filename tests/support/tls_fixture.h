// Real TLS peers on loopback for the transfer tests: a private PKI made with
// scripts/remote_https/remote_https.sh (the openssl command line), openssl
// s_server for handshake cases, the nginx remote support service of that
// script for requests, and tinyproxy for CONNECT tunnels. Every server is
// stopped by its destructor.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace chs_test {
// A namespace of its own: other fixtures have helpers of the same names.
namespace tls {

constexpr const char* kOpensslPath = "/usr/bin/openssl";
constexpr const char* kNginxPath = "/usr/sbin/nginx";
constexpr const char* kTinyproxyPath = "/usr/bin/tinyproxy";

bool ProgramExists(const std::string& path);

// A loopback port nobody listened on a moment ago.
uint16_t FreeLoopbackPort();
// True once something accepts connections on 127.0.0.1:`port`.
bool WaitListening(uint16_t port, unsigned int timeoutMs = 10000);

// Two private CAs with these server certificates, in one temporary directory:
//   ca/right    CN=localhost, DNS:localhost, IP:127.0.0.1
//   ca/wrong    CN=wrong.example
//   ca/longer   CN=localhost.evil.example (begins with "localhost")
//   ca/revoked  CN=localhost, revoked in ca/crl.pem
//   ca/address  CN=127.0.0.1, IP:127.0.0.1
//   other/right CN=localhost, issued by a second CA (of another name; no CRL)
class TestPki {
  public:
    TestPki();
    bool ok() const { return m_ok; }
    const std::string& error() const { return m_error; }

    std::string Dir(const std::string& ca) const { return m_dir.Join(ca); }
    std::string CertPath(const std::string& ca, const std::string& name) const;
    std::string KeyPath(const std::string& ca, const std::string& name) const;
    std::string CaPem(const std::string& ca = "ca") const;
    std::string CrlPem(const std::string& ca = "ca") const;
    std::string CaWithCrlPem(const std::string& ca = "ca") const { return CaPem(ca) + CrlPem(ca); }

    // Runs remote_https.sh with `args`; false (and the reason in error()) on failure.
    bool Script(const std::vector<std::string>& args);

  private:
    bool RenameOtherCa();

    TempDir m_dir;
    bool m_ok = false;
    std::string m_error;
};

// openssl s_server -www (a status page for every GET) with one certificate.
class TlsServer {
  public:
    // Listens on `port`, or on a free one when 0.
    TlsServer(const std::string& certPath, const std::string& keyPath, uint16_t port = 0);
    bool ok() const { return m_ok; }
    uint16_t port() const { return m_port; }

  private:
    TempDir m_dir;
    std::unique_ptr<Process> m_process;
    uint16_t m_port = 0;
    bool m_ok = false;
};

// The remote support service of remote_https.sh: nginx with ca/<name> in front
// of the upload back end; uploads land in uploadDir().
class RemoteService {
  public:
    RemoteService(TestPki& pki, const std::string& certName);
    ~RemoteService();
    bool ok() const { return m_ok; }
    uint16_t port() const { return m_port; }
    std::string uploadDir() const { return m_uploads.path(); }

  private:
    TestPki& m_pki;
    TempDir m_uploads;
    uint16_t m_port = 0;
    bool m_ok = false;
};

// tinyproxy on a free loopback port, letting CONNECT through to `connectPort`
// only; with a user, basic authentication is required.
class TinyProxy {
  public:
    TinyProxy(uint16_t connectPort, const std::string& user = "", const std::string& password = "");
    bool ok() const { return m_ok; }
    uint16_t port() const { return m_port; }

  private:
    TempDir m_dir;
    std::unique_ptr<Process> m_process;
    uint16_t m_port = 0;
    bool m_ok = false;
};

}  // namespace tls
}  // namespace chs_test
