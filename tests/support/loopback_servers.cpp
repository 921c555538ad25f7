#include "tests/support/loopback_servers.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace chs_test {
namespace {

const char* const kScript = CHS_SOURCE_DIR "/scripts/remote_https/remote_https.sh";
constexpr int kStartTries = 3;

// A socket bound to, or connected to, 127.0.0.1:`port`; -1 on failure.
int LoopbackSocket(uint16_t port, bool bindIt) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    auto* at = reinterpret_cast<sockaddr*>(&address);
    if (fd >= 0 && (bindIt ? bind(fd, at, sizeof(address)) : connect(fd, at, sizeof(address))) != 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

}  // namespace

std::string ProgramPath(const std::string& name) {
    for (const char* dir : {"/usr/sbin/", "/usr/bin/", "/sbin/", "/bin/"}) {
        if (access((dir + name).c_str(), X_OK) == 0) {
            return dir + name;
        }
    }
    return "";
}

uint16_t FreeLoopbackPort() {
    int fd = LoopbackSocket(0, true);
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    uint16_t port = 0;
    if (fd >= 0 && getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    if (fd >= 0) {
        close(fd);
    }
    return port;
}

bool WaitListening(uint16_t port, unsigned int timeoutMs) {
    return WaitFor(
        [port] {
            int fd = LoopbackSocket(port, false);
            if (fd >= 0) {
                close(fd);
            }
            return fd >= 0;
        },
        timeoutMs);
}

uint16_t StartListening(std::unique_ptr<Process>& process,
                        const std::function<std::vector<std::string>(uint16_t)>& commandFor,
                        const std::string& outputFile, uint16_t port) {
    for (int attempt = 0; attempt < kStartTries; ++attempt) {
        uint16_t at = port != 0 ? port : FreeLoopbackPort();
        process = std::make_unique<Process>(commandFor(at), std::vector<std::string>{}, outputFile);
        if (WaitFor([&] { return !process->Running() || WaitListening(at, 0); }, 10000) &&
            process->Running()) {
            return at;
        }
        process.reset();
    }
    return 0;
}

TestPki::TestPki() : m_root(m_temp.path()) {
    m_ok = MakeRight() && Script({"mkca", Dir("other")}) && RenameOtherCa() &&
           Script({"mkcert", Dir("ca"), "wrong", "wrong.example", "DNS:wrong.example"}) &&
           Script({"mkcert", Dir("ca"), "longer", "localhost.evil.example", "DNS:localhost.evil.example"}) &&
           Script({"mkcert", Dir("ca"), "revoked", "localhost", "DNS:localhost", "IP:127.0.0.1"}) &&
           Script({"revoke", Dir("ca"), "revoked"}) &&
           Script({"mkcert", Dir("ca"), "address", "127.0.0.1", "IP:127.0.0.1"}) &&
           Script({"mkcert", Dir("other"), "right", "localhost", "DNS:localhost", "IP:127.0.0.1"});
}

TestPki::TestPki(const std::string& dir) : m_root(dir) { m_ok = MakeRight(); }

bool TestPki::MakeRight() {
    return Script({"mkca", Dir("ca")}) &&
           Script({"mkcert", Dir("ca"), "right", "localhost", "DNS:localhost", "IP:127.0.0.1"});
}

// The script names every CA alike; a CRL is matched to its CA by name, so the
// second CA gets a name of its own (same key, new self-signed certificate).
bool TestPki::RenameOtherCa() {
    RunResult result = RunProgram(
        {ProgramPath("openssl"), "req", "-x509", "-new", "-key", Dir("other") + "/ca.key", "-days", "30",
         "-sha256", "-subj", "/CN=chs other test CA", "-addext", "basicConstraints=critical,CA:TRUE",
         "-addext", "keyUsage=critical,keyCertSign,cRLSign", "-out", CaFile("other")});
    m_error = result.exitCode == 0 ? "" : "openssl req failed: " + result.err;
    return result.exitCode == 0;
}

bool TestPki::Script(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"/bin/bash", kScript};
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult result = RunProgram(argv, {}, 60000);
    m_error = result.exitCode == 0 ? "" : "remote_https.sh " + args.front() + " failed: " + result.err;
    return result.exitCode == 0;
}

TlsServer::TlsServer(const TestPki& pki, const std::string& ca, const std::string& name, uint16_t port) {
    std::string path = pki.Dir(ca) + "/" + name;
    auto command = [&](uint16_t at) -> std::vector<std::string> {
        std::string address = "127.0.0.1:" + std::to_string(at);
        return {ProgramPath("openssl"), "s_server", "-accept",     address, "-cert",
                path + ".pem",          "-key",     path + ".key", "-www",  "-quiet"};
    };
    m_port = StartListening(m_process, command, m_dir.Join("s_server.log"), port);
}

RemoteService::RemoteService(TestPki& pki, const std::string& certName, const std::string& uploads)
    : m_pki(pki) {
    for (int attempt = 0; attempt < kStartTries && m_port == 0; ++attempt) {
        uint16_t port = FreeLoopbackPort();
        if (m_pki.Script({"start", m_pki.Dir(), std::to_string(port), certName, uploads}) &&
            WaitListening(port)) {
            m_port = port;
        }
    }
}

RemoteService::~RemoteService() { m_pki.Script({"stop", m_pki.Dir()}); }

std::string RemoteService::Url(const std::string& path) const {
    return "https://localhost:" + std::to_string(m_port) + path;
}

TinyProxy::TinyProxy(uint16_t connectPort, const std::string& user, const std::string& password,
                     const std::string& dir)
    : m_dir(dir.empty() ? m_temp.path() : dir) {
    MakeDirs(m_dir);
    std::string program = ProgramPath("tinyproxy");
    auto command = [&](uint16_t at) {
        std::string config = "Listen 127.0.0.1\nPort " + std::to_string(at) +
                             "\nTimeout 600\nMaxClients 50\nLogLevel Info\nLogFile \"" + LogFile() +
                             "\"\nConnectPort " + std::to_string(connectPort) + "\n";
        WriteText(m_dir + "/tinyproxy.conf",
                  config + (user.empty() ? "" : "BasicAuth " + user + " " + password + "\n"));
        return std::vector<std::string>{program, "-d", "-c", m_dir + "/tinyproxy.conf"};
    };
    m_port = program.empty() ? 0 : StartListening(m_process, command, m_dir + "/tinyproxy.out");
}

std::string TinyProxy::error() const {
    return m_port != 0
               ? ""
               : "tinyproxy does not start: " + ReadText(m_dir + "/tinyproxy.out.err") + ReadText(LogFile());
}

}  // namespace chs_test
