#include "tests/support/etcd_server.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "tests/support/process.h"

namespace chs_test {
namespace {

constexpr const char* kEtcd = "/usr/bin/etcd";

// A loopback port that nobody listens on right now.
int FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    int port = 0;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    if (fd >= 0) {
        close(fd);
    }
    return port;
}

size_t Discard(char*, size_t size, size_t count, void*) { return size * count; }

}  // namespace

EtcdServer::EtcdServer() : m_clientPort(FreePort()), m_peerPort(FreePort()) {
    m_endpoint = "http://127.0.0.1:" + std::to_string(m_clientPort);
    EXPECT_EQ(access(kEtcd, X_OK), 0) << kEtcd << " is missing: ./chs setup installs etcd-server";
    EXPECT_TRUE(Start()) << "etcd did not answer; its output is in " << m_dir.Join("etcd.log");
}

EtcdServer::~EtcdServer() { Stop(); }

bool EtcdServer::Start() {
    if (m_pid > 0) {
        return Answers();
    }
    std::string peer = "http://127.0.0.1:" + std::to_string(m_peerPort);
    std::vector<std::string> args = {kEtcd,
                                     "--name=chs-test",
                                     "--data-dir=" + m_dir.Join("data"),
                                     "--listen-client-urls=" + m_endpoint,
                                     "--advertise-client-urls=" + m_endpoint,
                                     "--listen-peer-urls=" + peer,
                                     "--initial-advertise-peer-urls=" + peer,
                                     "--initial-cluster=chs-test=" + peer,
                                     "--log-level=warn"};
    std::string log = m_dir.Join("etcd.log");
    pid_t parent = getpid();
    m_pid = fork();
    if (m_pid == 0) {
        // Dies with the test process, however that ends.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(127);
        }
        int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (out >= 0) {
            dup2(out, STDOUT_FILENO);
            dup2(out, STDERR_FILENO);
        }
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(&arg[0]);
        }
        argv.push_back(nullptr);
        execv(kEtcd, argv.data());
        _exit(127);
    }
    if (m_pid < 0) {
        return false;
    }
    bool exited = false;  // e.g. a port taken meanwhile: no use waiting
    bool up = WaitFor(
        [this, &exited] {
            exited = waitpid(m_pid, nullptr, WNOHANG) == m_pid;
            return exited || Answers();
        },
        20000);
    if (exited) {
        m_pid = -1;
    }
    return up && !exited;
}

void EtcdServer::Stop() {
    if (m_pid > 0) {
        kill(m_pid, SIGCONT);
        kill(m_pid, SIGTERM);
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
    }
}

// Each returns once the signal has taken effect: a stop is not immediate
// for a process of many threads.
void EtcdServer::Pause() {
    int status = 0;
    if (m_pid > 0 && kill(m_pid, SIGSTOP) == 0) {
        waitpid(m_pid, &status, WUNTRACED);
    }
}

void EtcdServer::Resume() {
    int status = 0;
    if (m_pid > 0 && kill(m_pid, SIGCONT) == 0) {
        waitpid(m_pid, &status, WCONTINUED);
    }
}

bool EtcdServer::Answers() const {
    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
        return false;
    }
    std::string url = m_endpoint + "/v3/maintenance/status";
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, "{}");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 1000L);
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Discard);
    long status = 0;
    bool ok = curl_easy_perform(curl) == CURLE_OK &&
              curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status == 200;
    curl_easy_cleanup(curl);
    return ok;
}

}  // namespace chs_test
