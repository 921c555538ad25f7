// Round trips of the message transport between two nodes: this process is
// node 0 and sends synchronous requests to an echo endpoint of node 1, a
// child process. The baseline is a cluster whose nodes talk over Unix-domain
// sockets; the measured one talks over TCP with mutual TLS (loopback
// addresses 127.0.0.1 and 127.0.0.2). Bodies of 64 B, 4 KiB and 256 KiB go
// both ways; a second pair of cases opens a connection (socket, and for TCP
// the TLS handshake with both certificates checked) and closes it.
//
// Both clusters live in a temporary directory; their peers are forked before
// anything else runs, so that no thread is copied into them.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/msg_transport.h"
#include "platform/om_cluster.h"
#include "platform/transport_socket.h"
#include "platform/transport_tls.h"

namespace {

constexpr uint16_t kEchoPid = 600;
constexpr uint16_t kOwnPid = 700;
const char* const kModes[] = {"unix", "tcp"};

std::string g_base;       // the temporary directory
pid_t g_peers[2] = {-1, -1};
int g_attached = -1;      // the mode this process is attached to

std::string ClusterDir(int mode) { return g_base + "/" + kModes[mode]; }

bool WriteCluster(int mode) {
    std::string dir = ClusterDir(mode);
    for (const std::string& sub : {dir, dir + "/node0", dir + "/node1", dir + "/run"}) {
        mkdir(sub.c_str(), 0700);
    }
    // Ports away from those the transport tests take (21000 + pid).
    unsigned base = 40000 + static_cast<unsigned>(getpid() % 40) * 100;
    std::ofstream(dir + "/cluster.json") << R"({"serialNumber": "2102350BENCH", "transport": ")" << kModes[mode]
                                         << R"(", "tcpPortBase": )" << base << R"(, "nodes": [
        {"id": 0, "name": "CTE0.A", "internalIps": ["127.0.0.1"]},
        {"id": 1, "name": "CTE0.B", "internalIps": ["127.0.0.2"]}]})";
    std::string error;
    if (mode == 1 && !platform::transport::MakeClusterCertificates(dir + "/tls", "2102350BENCH", {0, 1}, error)) {
        fprintf(stderr, "%s\n", error.c_str());
        return false;
    }
    return true;
}

int Echo(void* message) {
    tagMsgInfo info{};
    MSG_GetMsgInfo(message, &info);
    void* answer = MSG_AllocMsg(info.uiMsgLength, 0, __func__, __LINE__);
    memcpy(answer, message, info.uiMsgLength);
    return MSG_PostAckMsg(message, answer, info.uiMsgLength);
}

[[noreturn]] void ServeAsNode1(int mode) {
    std::string error;
    std::string dir = ClusterDir(mode);
    if (!platform::AttachCluster(dir + "/cluster.json", 1, dir + "/node1", false, error) ||
        MSG_ClientInit("bench peer") != 0 || MSG_RegisterPID(kEchoPid, Echo) != 0) {
        fprintf(stderr, "peer of %s: %s\n", kModes[mode], error.c_str());
        _exit(1);
    }
    for (;;) {
        pause();
    }
}

int SendEcho(const std::string& body) {
    tagMsgInfo info;
    MSG_InitMsgInfo(&info);
    info.usReceiverBID = 1;
    info.usReceiverPID = kEchoPid;
    info.uiMsgLength = static_cast<uint32_t>(body.size());
    info.uiMsgTimeout = 10;
    void* request = MSG_AllocMsg(info.uiMsgLength, 0, __func__, __LINE__);
    memcpy(request, body.data(), body.size());
    void* answer = nullptr;
    int rc = MSG_SendSyncMsg(request, &info, &answer);
    if (rc == 0 && MSG_GetMsgLength(answer) != body.size()) {
        rc = -1;
    }
    MSG_FreeMsg(answer);
    return rc;
}

// Attaches this process as node 0 of the cluster of `mode` and waits for its peer.
bool Use(int mode) {
    if (g_attached == mode) {
        return true;
    }
    if (g_attached >= 0) {
        MSG_ClientExit();
        platform::DetachCluster();
        g_attached = -1;
    }
    std::string error;
    std::string dir = ClusterDir(mode);
    if (!platform::AttachCluster(dir + "/cluster.json", 0, dir + "/node0", false, error) ||
        MSG_ClientInit("bench") != 0 || MSG_RegisterPID(kOwnPid, Echo) != 0) {
        fprintf(stderr, "%s: %s\n", kModes[mode], error.c_str());
        return false;
    }
    g_attached = mode;
    for (int i = 0; i < 200; ++i) {
        if (SendEcho("ping") == 0) {
            return true;
        }
        usleep(50000);
    }
    fprintf(stderr, "the peer of %s does not answer\n", kModes[mode]);
    return false;
}

void BM_RoundTrip(benchmark::State& state) {
    int mode = static_cast<int>(state.range(0));
    if (!Use(mode)) {
        state.SkipWithError("cluster not ready");
        return;
    }
    std::string body(static_cast<size_t>(state.range(1)), 'b');
    for (auto _ : state) {
        if (SendEcho(body) != 0) {
            state.SkipWithError("request failed");
            return;
        }
    }
    state.SetLabel(kModes[mode]);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(1) * 2);
}
BENCHMARK(BM_RoundTrip)
    ->ArgNames({"tls", "bytes"})
    ->ArgsProduct({{0, 1}, {64, 4096, 256 << 10}})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

void BM_Connect(benchmark::State& state) {
    int mode = static_cast<int>(state.range(0));
    if (!Use(mode)) {
        state.SkipWithError("cluster not ready");
        return;
    }
    for (auto _ : state) {
        std::unique_ptr<platform::transport::TlsSession> tls;
        int fd = platform::transport::Connect(platform::transport::EndpointId{1, kEchoPid}, true, &tls);
        if (fd < 0) {
            state.SkipWithError("connect failed");
            return;
        }
        tls.reset();
        close(fd);
    }
    state.SetLabel(kModes[mode]);
}
BENCHMARK(BM_Connect)->ArgNames({"tls"})->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    char pattern[] = "/tmp/transport_bench.XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    g_base = pattern;
    for (int mode = 0; mode < 2; ++mode) {
        if (!WriteCluster(mode)) {
            return 1;
        }
        g_peers[mode] = fork();
        if (g_peers[mode] == 0) {
            ServeAsNode1(mode);
        }
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    MSG_ClientExit();
    for (pid_t peer : g_peers) {
        if (peer > 0) {
            kill(peer, SIGKILL);
            waitpid(peer, nullptr, 0);
        }
    }
    std::error_code ignored;
    std::filesystem::remove_all(g_base, ignored);
    return 0;
}
