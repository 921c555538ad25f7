#include "tests/support/https_services.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/temp_dir.h"

namespace chs_test {
namespace {

const char* const kScript = CHS_SOURCE_DIR "/scripts/remote_https/remote_https.sh";
constexpr int kPortTries = 3;

bool Accepts(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool connected = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    if (fd >= 0) {
        close(fd);
    }
    return connected;
}

}  // namespace

std::string ProgramPath(const std::string& name) {
    for (const char* dir : {"/usr/sbin/", "/usr/bin/", "/sbin/", "/bin/"}) {
        std::string path = dir + name;
        if (access(path.c_str(), X_OK) == 0) {
            return path;
        }
    }
    return "";
}

uint16_t FreeLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    uint16_t port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    if (fd >= 0) {
        close(fd);
    }
    return port;
}

RemoteHttpsService::RemoteHttpsService(const std::string& dir, const std::string& uploads) : m_strDir(dir) {
    RunResult made = Script({"mkca", dir});
    if (made.exitCode == 0) {
        made = Script({"mkcert", dir, "server", "localhost", "DNS:localhost", "IP:127.0.0.1"});
    }
    if (made.exitCode != 0) {
        m_strError = "remote_https.sh: " + made.err;
        return;
    }
    // Another program may take the port between the probe and nginx's bind.
    for (int i = 0; i < kPortTries; ++i) {
        uint16_t port = FreeLoopbackPort();
        RunResult started = Script({"start", dir, std::to_string(port), "server", uploads});
        if (started.exitCode == 0) {
            m_port = port;
            return;
        }
        m_strError = "remote_https.sh start: " + started.err;
        Script({"stop", dir});
    }
}

RemoteHttpsService::~RemoteHttpsService() {
    if (std::filesystem::exists(m_strDir)) {
        Script({"stop", m_strDir});
    }
}

std::string RemoteHttpsService::Url(const std::string& path) const {
    return "https://localhost:" + std::to_string(m_port) + path;
}

bool RemoteHttpsService::RevokeServer() { return Script({"revoke", m_strDir, "server"}).exitCode == 0; }

RunResult RemoteHttpsService::Script(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{"/bin/bash", kScript};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, {}, 60000);
}

TinyProxy::TinyProxy(const std::string& dir, const std::string& user, const std::string& password,
                     uint16_t connectPort)
    : m_strDir(dir) {
    std::string program = ProgramPath("tinyproxy");
    MakeDirs(dir);
    for (int i = 0; i < kPortTries && !program.empty(); ++i) {
        uint16_t port = FreeLoopbackPort();
        WriteText(ConfigFile(), "Listen 127.0.0.1\nPort " + std::to_string(port) +
                                    "\nTimeout 600\nMaxClients 50\nLogLevel Info\nLogFile \"" + LogFile() +
                                    "\"\nBasicAuth " + user + " " + password + "\nConnectPort " +
                                    std::to_string(connectPort) + "\n");
        m_process = std::make_unique<Process>(std::vector<std::string>{program, "-d", "-c", ConfigFile()},
                                              std::vector<std::string>{}, dir + "/tinyproxy.out");
        if (WaitFor([&] { return Accepts(port) || !m_process->Running(); }, 10000) && m_process->Running()) {
            m_port = port;
            return;
        }
        m_strError =
            "tinyproxy does not start: " + ReadText(dir + "/tinyproxy.out.err") + ReadText(LogFile());
        m_process.reset();
    }
    if (program.empty()) {
        m_strError = "no tinyproxy";
    }
}

}  // namespace chs_test
