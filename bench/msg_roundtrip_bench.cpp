// Requests through the whole message path against plain Unix-socket echoes
// of the same bytes, side by side in one run.
//
// Ours: this process and a child process are endpoints of node 0 of a
// one-node cluster. The child runs the daemon's dispatcher with an echo
// handler: each request is read by the transport, decoded, queued, handled
// on a task thread, and its answer encoded and written back.
//   - BM_Chs_SyncRoundTrip: InnerMsg::SendSyncMsg, one request at a time.
//   - BM_Chs_AsyncWindow/W: InnerMsg::PostAsyncMsg with W requests in
//     flight; each answer's callback posts the next one.
// Baselines, against a second child that echoes bytes on a Unix socket:
//   - BM_Base_PingPong: write a frame of the same size, read it back.
//   - BM_Base_PingPongHandOff: the same, with the two thread hand-offs the
//     message path has: the echo's reader hands each frame to a worker thread
//     that writes it back, and this side's reader thread hands each answer to
//     the waiting caller.
//   - BM_Base_PipelinedEcho/W: W frames in flight on one socket.
//
// The children are forked before anything else runs, so that no thread is
// copied into them.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "msg/inner_msg.h"
#include "msg/msg_process.h"
#include "platform/om_cluster.h"
#include "platform/transport_frame.h"

namespace {

constexpr uint16_t kEchoPid = 610;
constexpr uint16_t kOwnPid = 710;
constexpr uint32_t kEchoOpcode = 0x7E01;

std::string g_dir;
std::vector<pid_t> g_children;

// A request of this system's usual shape: one record, a handful of cells.
void FillRequest(InnerMsg& message) {
    tagMsgInfo& info = message.GetMsgInfo();
    MSG_InitMsgInfo(&info);
    info.usReceiverPID = kEchoPid;
    info.usSenderPID = kOwnPid;
    info.uiMsgOPCode = kEchoOpcode;
    info.uiMsgTimeout = 10;
    auto* record = new MsgRecord(kEchoOpcode);
    record->appendInner(CTLVCell::NewUInt32(0, 7));
    record->appendInner(CTLVCell::NewUInt16(1, 1));
    record->appendInner(CTLVCell::NewString(2, "CTE0.A"));
    record->appendInner(CTLVCell::NewString(3, "/VXA/coffer_data/omm/chs/diagnose"));
    record->appendInner(CTLVCell::NewUInt64(4, 1765000000000ULL));
    message.GetBody().append(record);
}

size_t WireBytes() {
    InnerMsg message;
    FillRequest(message);
    return platform::transport::kFrameHeaderSize + message.GetBody().length();
}

void EchoHandler(InnerMsg& request) { request.PostAckMsg(request.GetBody()); }

[[noreturn]] void ServeDispatcher() {
    std::string error;
    if (!platform::AttachCluster(g_dir + "/cluster.json", 0, g_dir + "/node0", false, error)) {
        fprintf(stderr, "echo: %s\n", error.c_str());
        _exit(1);
    }
    MsgProcessClass::Instance()->MsgReg(kEchoPid, [](MsgProcessClass& process) {
        process.AddHandler(0, kEchoOpcode, new MsgHandleWrapper(EchoHandler, MSG_PRI_1));
    });
    for (;;) {
        pause();
    }
}

// Plain echo servers: a thread per connection. The first byte a client
// sends picks the mode: 'p' echoes on the reading thread, 'h' hands each
// frame of `frame` bytes to a worker thread that writes it back.
bool ReadAll(int fd, void* data, size_t size) {
    auto* bytes = static_cast<uint8_t*>(data);
    while (size > 0) {
        ssize_t got = read(fd, bytes, size);
        if (got <= 0) {
            return false;
        }
        bytes += got;
        size -= static_cast<size_t>(got);
    }
    return true;
}

bool WriteAll(int fd, const void* data, size_t size) {
    auto* bytes = static_cast<const uint8_t*>(data);
    while (size > 0) {
        ssize_t put = write(fd, bytes, size);
        if (put <= 0) {
            return false;
        }
        bytes += put;
        size -= static_cast<size_t>(put);
    }
    return true;
}

// One frame handed from one thread to another: a mutex, a condition and a slot.
struct HandOff {
    std::mutex mutex;
    std::condition_variable cond;
    std::vector<uint8_t> frame;
    bool full = false;
    bool closed = false;

    void Put(const std::vector<uint8_t>& bytes) {
        std::lock_guard<std::mutex> lock(mutex);
        frame = bytes;
        full = true;
        cond.notify_one();
    }
    bool Take(std::vector<uint8_t>& bytes) {
        std::unique_lock<std::mutex> lock(mutex);
        cond.wait(lock, [this] { return full || closed; });
        if (!full) {
            return false;
        }
        bytes.swap(frame);
        full = false;
        return true;
    }
    void Close() {
        std::lock_guard<std::mutex> lock(mutex);
        closed = true;
        cond.notify_all();
    }
};

void ServeConnection(int fd, size_t frame) {
    char mode = 0;
    if (!ReadAll(fd, &mode, 1)) {
        close(fd);
        return;
    }
    if (mode == 'h') {
        HandOff handOff;
        std::thread worker([&] {
            std::vector<uint8_t> bytes;
            while (handOff.Take(bytes) && WriteAll(fd, bytes.data(), bytes.size())) {
            }
        });
        std::vector<uint8_t> bytes(frame);
        while (ReadAll(fd, bytes.data(), frame)) {
            handOff.Put(bytes);
        }
        handOff.Close();
        worker.join();
    } else {
        std::vector<uint8_t> buffer(64 << 10);
        for (;;) {
            ssize_t got = read(fd, buffer.data(), buffer.size());
            if (got <= 0 || !WriteAll(fd, buffer.data(), static_cast<size_t>(got))) {
                break;
            }
        }
    }
    close(fd);
}

sockaddr_un EchoAddress() {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof(address.sun_path), "%s/echo.sock", g_dir.c_str());
    return address;
}

[[noreturn]] void ServePlain(size_t frame) {
    int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = EchoAddress();
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(listener, 16) != 0) {
        perror("echo socket");
        _exit(1);
    }
    for (;;) {
        int fd = accept(listener, nullptr, nullptr);
        if (fd >= 0) {
            std::thread(ServeConnection, fd, frame).detach();
        }
    }
}

int ConnectPlain(char mode) {
    sockaddr_un address = EchoAddress();
    for (int attempt = 0; attempt < 200; ++attempt) {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
            WriteAll(fd, &mode, 1);
            return fd;
        }
        close(fd);
        usleep(20000);
    }
    return -1;
}

bool AttachClient() {
    static bool attached = false;
    if (attached) {
        return true;
    }
    std::string error;
    if (!platform::AttachCluster(g_dir + "/cluster.json", 0, g_dir + "/node0", false, error)) {
        fprintf(stderr, "client: %s\n", error.c_str());
        return false;
    }
    MsgProcessClass::Instance()->MsgReg(kOwnPid, nullptr);
    for (int attempt = 0; attempt < 200; ++attempt) {
        InnerMsg request;
        InnerMsg answer;
        FillRequest(request);
        if (request.SendSyncMsg(answer) && answer.GetResult() == 0) {
            attached = true;
            return true;
        }
        usleep(20000);
    }
    fprintf(stderr, "the dispatcher echo does not answer\n");
    return false;
}

void BM_Chs_SyncRoundTrip(benchmark::State& state) {
    if (!AttachClient()) {
        state.SkipWithError("echo endpoint not ready");
        return;
    }
    for (auto _ : state) {
        InnerMsg request;
        InnerMsg answer;
        FillRequest(request);
        if (!request.SendSyncMsg(answer) || answer.GetResult() != 0 || answer.GetBody().size() != 1) {
            state.SkipWithError("request failed");
            return;
        }
    }
    state.SetLabel(std::to_string(WireBytes()) + " B frames");
}
BENCHMARK(BM_Chs_SyncRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The asynchronous window: answers and refusals counted by the callbacks,
// which post the next request until `toPost` have gone.
struct Window {
    std::mutex mutex;
    std::condition_variable cond;
    int64_t toPost = 0;
    int64_t inFlight = 0;
    int64_t answered = 0;
    int64_t refused = 0;
};
Window g_window;

bool PostOne();

void OnAsyncEnd(bool answered) {
    bool more = false;
    {
        std::lock_guard<std::mutex> lock(g_window.mutex);
        --g_window.inFlight;
        ++(answered ? g_window.answered : g_window.refused);
        if (g_window.toPost > 0) {
            --g_window.toPost;
            ++g_window.inFlight;
            more = true;
        } else if (g_window.inFlight == 0) {
            g_window.cond.notify_all();
        }
    }
    if (more && !PostOne()) {
        OnAsyncEnd(false);
    }
}

bool PostOne() {
    InnerMsg request;
    FillRequest(request);
    return request.PostAsyncMsg(new MsgAsyncFun(
        [](InnerMsg& answer) { OnAsyncEnd(answer.GetResult() == 0); }, [](InnerMsg&) { OnAsyncEnd(false); }));
}

void BM_Chs_AsyncWindow(benchmark::State& state) {
    if (!AttachClient()) {
        state.SkipWithError("echo endpoint not ready");
        return;
    }
    const int64_t window = state.range(0);
    const int64_t batch = 20000;
    int64_t answered = 0;
    int64_t refused = 0;
    for (auto _ : state) {
        {
            std::lock_guard<std::mutex> lock(g_window.mutex);
            g_window.toPost = batch - window;
            g_window.inFlight = window;
            g_window.answered = 0;
            g_window.refused = 0;
        }
        for (int64_t i = 0; i < window; ++i) {
            if (!PostOne()) {
                OnAsyncEnd(false);
            }
        }
        std::unique_lock<std::mutex> lock(g_window.mutex);
        g_window.cond.wait(lock, [] { return g_window.inFlight == 0; });
        answered += g_window.answered;
        refused += g_window.refused;
    }
    state.counters["answered/s"] = benchmark::Counter(static_cast<double>(answered), benchmark::Counter::kIsRate);
    state.counters["refused"] = static_cast<double>(refused);
}
BENCHMARK(BM_Chs_AsyncWindow)->Arg(96)->Arg(256)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Base_PingPong(benchmark::State& state) {
    int fd = ConnectPlain('p');
    std::vector<uint8_t> frame(WireBytes(), 'b');
    for (auto _ : state) {
        if (!WriteAll(fd, frame.data(), frame.size()) || !ReadAll(fd, frame.data(), frame.size())) {
            state.SkipWithError("echo failed");
            break;
        }
    }
    close(fd);
}
BENCHMARK(BM_Base_PingPong)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_Base_PingPongHandOff(benchmark::State& state) {
    int fd = ConnectPlain('h');
    const size_t size = WireBytes();
    HandOff answers;
    std::thread reader([&] {
        std::vector<uint8_t> bytes(size);
        while (ReadAll(fd, bytes.data(), size)) {
            answers.Put(bytes);
        }
        answers.Close();
    });
    std::vector<uint8_t> frame(size, 'b');
    for (auto _ : state) {
        if (!WriteAll(fd, frame.data(), frame.size()) || !answers.Take(frame)) {
            state.SkipWithError("echo failed");
            break;
        }
    }
    shutdown(fd, SHUT_RDWR);
    reader.join();
    close(fd);
}
BENCHMARK(BM_Base_PingPongHandOff)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_Base_PipelinedEcho(benchmark::State& state) {
    int fd = ConnectPlain('p');
    const size_t size = WireBytes();
    const int64_t window = state.range(0);
    const int64_t batch = 20000;
    std::vector<uint8_t> frame(size, 'b');
    int64_t echoed = 0;
    for (auto _ : state) {
        for (int64_t i = 0; i < window; ++i) {
            WriteAll(fd, frame.data(), size);
        }
        for (int64_t done = 0; done < batch; ++done) {
            if (!ReadAll(fd, frame.data(), size)) {
                state.SkipWithError("echo failed");
                close(fd);
                return;
            }
            if (done + window < batch) {
                WriteAll(fd, frame.data(), size);
            }
        }
        echoed += batch;
    }
    close(fd);
    state.counters["answered/s"] = benchmark::Counter(static_cast<double>(echoed), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_Base_PipelinedEcho)->Arg(96)->Arg(256)->Unit(benchmark::kMillisecond)->UseRealTime();

bool WriteCluster() {
    char pattern[] = "/tmp/chs-msg-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        return false;
    }
    g_dir = pattern;
    mkdir((g_dir + "/node0").c_str(), 0700);
    mkdir((g_dir + "/run").c_str(), 0700);
    std::ofstream(g_dir + "/cluster.json") << R"({"serialNumber": "2102350BENCH", "transport": "unix",
        "nodes": [{"id": 0, "name": "CTE0.A", "internalIps": ["127.0.0.1"]}]})";
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (!WriteCluster()) {
        perror("temporary directory");
        return 1;
    }
    size_t frame = WireBytes();
    for (int child = 0; child < 2; ++child) {
        pid_t pid = fork();
        if (pid == 0) {
            if (child == 0) {
                ServeDispatcher();
            }
            ServePlain(frame);
        }
        g_children.push_back(pid);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    for (pid_t pid : g_children) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    std::error_code ignored;
    std::filesystem::remove_all(g_dir, ignored);
    // The transport's threads still run: leave without destroying what they use.
    _exit(0);
}
