#include "tests/support/tls_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace chs_test {
namespace tls {
namespace {

const std::string kScript = std::string(CHS_SOURCE_DIR) + "/scripts/remote_https/remote_https.sh";
constexpr int kStartTries = 3;  // a free port may be taken before the server binds it

int LoopbackSocket(uint16_t port, bool bindIt) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int rc = bindIt ? bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address))
                    : connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    if (rc != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

bool ProgramExists(const std::string& path) { return access(path.c_str(), X_OK) == 0; }

uint16_t FreeLoopbackPort() {
    int fd = LoopbackSocket(0, true);
    if (fd < 0) {
        return 0;
    }
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    uint16_t port = 0;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

bool WaitListening(uint16_t port, unsigned int timeoutMs) {
    return WaitFor(
        [port] {
            int fd = LoopbackSocket(port, false);
            if (fd < 0) {
                return false;
            }
            close(fd);
            return true;
        },
        timeoutMs);
}

TestPki::TestPki() {
    m_ok = Script({"mkca", Dir("ca")}) && Script({"mkca", Dir("other")}) && RenameOtherCa() &&
           Script({"mkcert", Dir("ca"), "right", "localhost", "DNS:localhost", "IP:127.0.0.1"}) &&
           Script({"mkcert", Dir("ca"), "wrong", "wrong.example", "DNS:wrong.example"}) &&
           Script({"mkcert", Dir("ca"), "longer", "localhost.evil.example", "DNS:localhost.evil.example"}) &&
           Script({"mkcert", Dir("ca"), "revoked", "localhost", "DNS:localhost", "IP:127.0.0.1"}) &&
           Script({"revoke", Dir("ca"), "revoked"}) &&
           Script({"mkcert", Dir("ca"), "address", "127.0.0.1", "IP:127.0.0.1"}) &&
           Script({"mkcert", Dir("other"), "right", "localhost", "DNS:localhost", "IP:127.0.0.1"});
}

// The script names every CA alike; a CRL is matched to its CA by name, so the
// second CA gets a name of its own (same key, new self-signed certificate).
bool TestPki::RenameOtherCa() {
    RunResult result = RunProgram(
        {kOpensslPath, "req", "-x509", "-new", "-key", Dir("other") + "/ca.key", "-days", "30", "-sha256",
         "-subj", "/CN=chs other test CA", "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
         "keyUsage=critical,keyCertSign,cRLSign", "-out", Dir("other") + "/ca.pem"});
    if (result.exitCode != 0) {
        m_error = "openssl req failed: " + result.err;
        return false;
    }
    return true;
}

bool TestPki::Script(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"/bin/bash", kScript};
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult result = RunProgram(argv, {}, 60000);
    if (result.exitCode != 0) {
        m_error = "remote_https.sh " + args.front() + " failed: " + result.err;
        return false;
    }
    return true;
}

std::string TestPki::CertPath(const std::string& ca, const std::string& name) const {
    return Dir(ca) + "/" + name + ".pem";
}

std::string TestPki::KeyPath(const std::string& ca, const std::string& name) const {
    return Dir(ca) + "/" + name + ".key";
}

std::string TestPki::CaPem(const std::string& ca) const { return ReadText(Dir(ca) + "/ca.pem"); }

std::string TestPki::CrlPem(const std::string& ca) const { return ReadText(Dir(ca) + "/crl.pem"); }

TlsServer::TlsServer(const std::string& certPath, const std::string& keyPath, uint16_t port) {
    for (int attempt = 0; attempt < kStartTries && !m_ok; ++attempt) {
        m_port = port != 0 ? port : FreeLoopbackPort();
        m_process =
            std::make_unique<Process>(std::vector<std::string>{kOpensslPath, "s_server", "-accept",
                                                               "127.0.0.1:" + std::to_string(m_port), "-cert",
                                                               certPath, "-key", keyPath, "-www", "-quiet"},
                                      std::vector<std::string>{}, m_dir.Join("s_server.log"));
        m_ok = WaitFor([this] { return !m_process->Running() || WaitListening(m_port, 0); }, 10000) &&
               m_process->Running();
    }
}

RemoteService::RemoteService(TestPki& pki, const std::string& certName) : m_pki(pki) {
    for (int attempt = 0; attempt < kStartTries && !m_ok; ++attempt) {
        m_port = FreeLoopbackPort();
        m_ok = m_pki.Script({"start", m_pki.Dir("ca"), std::to_string(m_port), certName, m_uploads.path()}) &&
               WaitListening(m_port);
    }
}

RemoteService::~RemoteService() { m_pki.Script({"stop", m_pki.Dir("ca")}); }

TinyProxy::TinyProxy(uint16_t connectPort, const std::string& user, const std::string& password) {
    for (int attempt = 0; attempt < kStartTries && !m_ok; ++attempt) {
        m_port = FreeLoopbackPort();
        std::string config = "Port " + std::to_string(m_port) +
                             "\nListen 127.0.0.1\nTimeout 60\nMaxClients 16\nLogLevel Info\nConnectPort " +
                             std::to_string(connectPort) + "\n";
        if (!user.empty()) {
            config += "BasicAuth " + user + " " + password + "\n";
        }
        WriteText(m_dir.Join("tinyproxy.conf"), config);
        m_process = std::make_unique<Process>(
            std::vector<std::string>{kTinyproxyPath, "-d", "-c", m_dir.Join("tinyproxy.conf")},
            std::vector<std::string>{}, m_dir.Join("tinyproxy.log"));
        m_ok = WaitFor([this] { return !m_process->Running() || WaitListening(m_port, 0); }, 10000) &&
               m_process->Running();
    }
}

}  // namespace tls
}  // namespace chs_test
