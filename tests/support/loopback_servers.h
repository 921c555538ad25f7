// Real servers on loopback for the transfer and delivery tests: a private PKI
// made with scripts/remote_https/remote_https.sh (the openssl command line),
// openssl s_server for handshake cases, the nginx remote support service of
// that script, and tinyproxy for CONNECT tunnels. Every server is stopped by
// its destructor; tests skip when ProgramPath finds no server program.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace chs_test {

// The program's path in /usr/sbin, /usr/bin, /sbin or /bin; "" when absent.
std::string ProgramPath(const std::string& name);

// A loopback port nobody listened on a moment ago.
uint16_t FreeLoopbackPort();
// True once something accepts connections on 127.0.0.1:`port`.
bool WaitListening(uint16_t port, unsigned int timeoutMs = 10000);

// Starts in the background (output in `outputFile`) the server that
// `commandFor` prepares for a port, and waits until it listens. On `port`, or
// on a free one, tried three times: another program may take a free port
// before the server binds it. The port, 0 when the server does not listen.
uint16_t StartListening(std::unique_ptr<Process>& process,
                        const std::function<std::vector<std::string>(uint16_t)>& commandFor,
                        const std::string& outputFile, uint16_t port = 0);

// Two private CAs with these server certificates, in a temporary directory:
//   ca/right    CN=localhost, DNS:localhost, IP:127.0.0.1
//   ca/wrong    CN=wrong.example
//   ca/longer   CN=localhost.evil.example (begins with "localhost")
//   ca/revoked  CN=localhost, revoked in ca/crl.pem
//   ca/address  CN=127.0.0.1, IP:127.0.0.1
//   other/right CN=localhost, issued by a second CA (of another name; no CRL)
class TestPki {
  public:
    TestPki();
    // Only ca/ with ca/right, below `dir`: enough for a remote service.
    explicit TestPki(const std::string& dir);
    bool ok() const { return m_ok; }
    const std::string& error() const { return m_error; }

    std::string Dir(const std::string& ca = "ca") const { return m_root + "/" + ca; }
    std::string CaFile(const std::string& ca = "ca") const { return Dir(ca) + "/ca.pem"; }
    std::string CrlFile(const std::string& ca = "ca") const { return Dir(ca) + "/crl.pem"; }
    std::string CaPem(const std::string& ca = "ca") const { return ReadText(CaFile(ca)); }
    std::string CaWithCrlPem(const std::string& ca = "ca") const { return CaPem(ca) + ReadText(CrlFile(ca)); }

    // Runs remote_https.sh with `args`; false (and the reason in error()) on failure.
    bool Script(const std::vector<std::string>& args);

  private:
    bool MakeRight();
    bool RenameOtherCa();

    TempDir m_temp;
    std::string m_root;
    bool m_ok = false;
    std::string m_error;
};

// openssl s_server -www (a status page for every GET) presenting <ca>/<name>
// of `pki`, on `port` or on a free one when 0.
class TlsServer {
  public:
    TlsServer(const TestPki& pki, const std::string& ca, const std::string& name, uint16_t port = 0);
    bool ok() const { return m_port != 0; }
    uint16_t port() const { return m_port; }

  private:
    TempDir m_dir;
    std::unique_ptr<Process> m_process;
    uint16_t m_port = 0;
};

// The remote support service of remote_https.sh on a free loopback port:
// nginx presenting ca/<certName> in front of the upload back end, which
// stores into `uploads`. Its configuration and logs stay below pki.Dir().
class RemoteService {
  public:
    RemoteService(TestPki& pki, const std::string& certName, const std::string& uploads);
    ~RemoteService();
    RemoteService(const RemoteService&) = delete;
    RemoteService& operator=(const RemoteService&) = delete;
    bool ok() const { return m_port != 0; }
    uint16_t port() const { return m_port; }
    // https://localhost:<port><path>
    std::string Url(const std::string& path) const;

  private:
    TestPki& m_pki;
    uint16_t m_port = 0;
};

// tinyproxy on a free loopback port, letting CONNECT through to `connectPort`
// only; with a user, that user alone with `password` (basic authentication).
// Its configuration and log in `dir`, or in a temporary directory when "".
class TinyProxy {
  public:
    TinyProxy(uint16_t connectPort, const std::string& user = "", const std::string& password = "",
              const std::string& dir = "");
    bool ok() const { return m_port != 0; }
    // Why it does not run.
    std::string error() const;
    uint16_t port() const { return m_port; }
    std::string LogFile() const { return m_dir + "/tinyproxy.log"; }

  private:
    TempDir m_temp;
    std::string m_dir;
    std::unique_ptr<Process> m_process;
    uint16_t m_port = 0;
};

}  // namespace chs_test
