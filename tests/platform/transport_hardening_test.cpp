// What a hostile or careless peer can make the transport do. This process is
// node 0 (endpoint 700 answers "<sender node>/<sender pid>", 701 never
// answers); node 1 is this binary started again as a peer whose endpoint 600
// forwards a request to node 0 with a record claiming to be node 0, pid 700.
// Raw sockets play the peers that no transport would be. The sender cases
// run over both transports; those of TLS itself over TCP only.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/msg_transport.h"
#include "platform/om_cluster.h"
#include "platform/transport_frame.h"
#include "platform/transport_limits.h"
#include "platform/transport_message.h"
#include "platform/transport_runtime.h"
#include "tests/support/cluster_setup.h"
#include "tests/support/log_capture.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/transport_cluster.h"
#include "tests/support/transport_util.h"

namespace {

using namespace platform::transport;
using chs_test::BodyOf;
using chs_test::ConnectTo;
using chs_test::NewBody;

constexpr uint16_t kOwnPid = 700;
constexpr uint16_t kSilentPid = 701;
constexpr uint16_t kForgerPid = 600;
constexpr uint32_t kLong = 100000;

tagMsgInfo Request(uint16_t node, uint16_t pid, size_t length) {
    return chs_test::RequestInfo(node, pid, 0x11, length, kLong);
}

std::string Ask(uint16_t node, uint16_t pid, const std::string& text, tagMsgInfo info = {}) {
    if (info.uiMsgOPCode == 0) {
        info = Request(node, pid, text.size());
    }
    return chs_test::AskSync(info, text);
}

std::atomic<int> g_running{0};
std::atomic<int> g_mostRunning{0};

int OwnEntry(void* message) {
    int now = ++g_running;
    for (int seen = g_mostRunning.load(); now > seen && !g_mostRunning.compare_exchange_weak(seen, now);) {
    }
    tagMsgInfo info{};
    MSG_GetMsgInfo(message, &info);
    if (BodyOf(message) == "slow") {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::string text = std::to_string(info.usSenderBID) + "/" + std::to_string(info.usSenderPID);
    MSG_PostAckMsg(message, NewBody(text), static_cast<uint32_t>(text.size()));
    --g_running;
    return 0;
}

int Silent(void*) { return 0; }

// The peer's forger: asks node 0 with a record that claims node 0, pid 700.
int Forger(void* message) {
    tagMsgInfo forged = Request(0, kOwnPid, 4);
    forged.usSenderBID = 0;
    forged.usSenderNodeID = 0;
    forged.usSenderPID = kOwnPid;
    std::string seen = Ask(0, kOwnPid, "fake", forged);
    MSG_PostAckMsg(message, NewBody(seen), static_cast<uint32_t>(seen.size()));
    return 0;
}

int RunPeer(const char* args) {
    char clusterFile[512] = {0}, root[512] = {0};
    if (sscanf(args, "%511s %511s", clusterFile, root) != 2) {
        return 2;
    }
    std::string error;
    if (!platform::AttachCluster(clusterFile, 1, root, false, error) || MSG_ClientInit("peer") != 0 ||
        MSG_RegisterPID(kForgerPid, Forger) != 0) {
        return 3;
    }
    for (;;) {
        pause();
    }
}

void SendAll(int fd, const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

std::vector<uint8_t> RequestFrame(uint16_t pid, const std::string& body, uint64_t correlation = 1) {
    tagMsgInfo info = Request(0, pid, body.size());
    info.usSenderBID = 0;  // a claim the transport must not believe
    info.usSenderPID = kOwnPid;
    return EncodeFrame(FrameHeader{FrameKind::kRequest, correlation, info}, body.data());
}

// Whether the endpoint closed `fd` within `ms` (reading and dropping answers).
bool ClosedByPeer(int fd, unsigned int ms) {
    timeval tv{0, 20000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    return chs_test::WaitFor(
        [fd] {
            char buffer[4096];
            ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
            return got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
        },
        ms);
}

constexpr char kSerial[] = "2102351234567890";

class TransportHardeningTest : public ::testing::Test {
  protected:
    virtual chs_test::Transport Mode() const { return chs_test::Transport::kUnix; }

    void SetUp() override {
        chs_test::MakeDirs(dir.Join("node1"));
        chs_test::AttachHandMadeCluster(dir.path(),
                                        std::string("{\"serialNumber\": \"") + kSerial + "\", " +
                                            chs_test::TransportNodesJson(Mode(), 3, dir.path(), kSerial) + "}",
                                        0, false);
        ASSERT_EQ(MSG_ClientInit("test"), 0);
        ASSERT_EQ(MSG_RegisterPID(kOwnPid, OwnEntry), 0);
        ASSERT_EQ(MSG_RegisterPID(kSilentPid, Silent), 0);
    }

    void TearDown() override {
        peer.reset();
        MSG_ClientExit();
        platform::DetachCluster();
        ResetLimits();
        ResetRegistrations();
        EXPECT_TRUE(chs_test::WaitFor([] { return PendingTotal() == 0; }, 5000));
    }

    void StartPeer() {
        std::string args = dir.Join("cluster.json") + " " + dir.Join("node1");
        peer = std::make_unique<chs_test::Process>(std::vector<std::string>{"/proc/self/exe"},
                                                   std::vector<std::string>{"CHS_HARDENING_PEER=" + args},
                                                   dir.Join("peer.out"));
        ASSERT_TRUE(chs_test::WaitFor([&] { return access(Socket(1, kForgerPid).c_str(), F_OK) == 0; }, 10000));
    }

    std::string Socket(uint16_t node, uint16_t pid) {
        return dir.Join("run/ep-" + std::to_string(node) + "-" + std::to_string(pid) + ".sock");
    }

    chs_test::TempDir dir;
    std::unique_ptr<chs_test::Process> peer;
};

class TransportSenderTest : public TransportHardeningTest,
                            public ::testing::WithParamInterface<chs_test::Transport> {
  protected:
    chs_test::Transport Mode() const override { return GetParam(); }
};

TEST_P(TransportSenderTest, TheSenderIsWhoTheConnectionBelongsTo) {
    chs_test::LogCapture log;
    StartPeer();
    if (GetParam() == chs_test::Transport::kUnix) {
        EXPECT_EQ(Ask(1, kForgerPid, "go"), "1/600") << "a node claiming node 0 in its record is still node 1";
    } else {
        EXPECT_EQ(Ask(1, kForgerPid, "go"), "rc=" + std::to_string(MSG_ERR_SEND))
            << "node 1's certificate speaking as node 0 loses its connection";
        EXPECT_TRUE(log.Contains("certificate of node 1 speaks as node 0"));
    }
    EXPECT_EQ(Ask(0, kOwnPid, "me"), "0/700") << "a process holding the endpoint it claims keeps its claim";
    const std::string tool = std::to_string(MSG_TOOL_NODE_BID) + "/0";
    // A raw socket claiming node 0 in its record, unbound or bound to the
    // name of an endpoint its process does not hold, is a tool.
    for (const std::string& bindPath : {std::string(), dir.Join("run/c-1-600-1-1")}) {
        int fd = ConnectTo(Socket(0, kOwnPid), bindPath);
        SendAll(fd, RequestFrame(kOwnPid, "x"));
        uint8_t head[kFrameHeaderSize];
        FrameHeader header;
        ASSERT_EQ(recv(fd, head, sizeof(head), MSG_WAITALL), static_cast<ssize_t>(sizeof(head)));
        ASSERT_EQ(DecodeFrameHeader(head, sizeof(head), header), FrameError::kNone);
        std::string body(header.info.uiMsgLength, '\0');
        recv(fd, &body[0], body.size(), MSG_WAITALL);
        EXPECT_EQ(body, tool) << bindPath;
        close(fd);
    }
}

INSTANTIATE_TEST_SUITE_P(Transports, TransportSenderTest,
                         ::testing::Values(chs_test::Transport::kUnix, chs_test::Transport::kTcp),
                         chs_test::TransportName);

class TlsHardeningTest : public TransportHardeningTest {
  protected:
    chs_test::Transport Mode() const override { return chs_test::Transport::kTcp; }
};

// A request to this node's endpoint 700 with a record naming `node`, pid 600, as its sender.
std::vector<uint8_t> RequestAs(uint16_t node) {
    tagMsgInfo info = Request(0, kOwnPid, 1);
    info.usSenderBID = node;
    info.usSenderNodeID = node;
    info.usSenderPID = kForgerPid;
    return EncodeFrame(FrameHeader{FrameKind::kRequest, 1, info}, "?");
}

// What a TLS client of endpoint 700 is answered: the answer's body, or
// "closed" when the node ended the connection instead.
std::string AnswerOverTls(chs_test::RawTlsPeer& client, uint16_t claim) {
    if (!client.Send(RequestAs(claim))) {
        return "closed";
    }
    std::string head = client.Read(kFrameHeaderSize);
    FrameHeader header;
    if (head.empty() ||
        DecodeFrameHeader(reinterpret_cast<const uint8_t*>(head.data()), head.size(), header) != FrameError::kNone) {
        return "closed";
    }
    return client.Read(header.info.uiMsgLength);
}

// Only a certificate of this cluster's CA gets in, and it speaks for its own
// node alone; every refusal is logged and the node goes on serving.
TEST_F(TlsHardeningTest, OnlyTheClusterCaCertifiesANodeAndOnlyForItself) {
    std::string error;
    ASSERT_TRUE(platform::transport::MakeClusterCertificates(dir.Join("other"), kSerial, {1}, error)) << error;
    const struct {
        const char* files;  // certificate and key, below the cluster directory
        uint16_t claim;
        const char* answer;
        const char* logged;
    } cases[] = {
        {"tls/node1", 1, "1/600", nullptr},
        {"", 1, "closed", "TLS connection to endpoint 700 refused"},
        {"other/node1", 1, "closed", "TLS connection to endpoint 700 refused"},
        {"tls/node1", 2, "closed", "certificate of node 1 speaks as node 2"},
        {"tls/node1", 1, "1/600", nullptr},
    };
    for (const auto& c : cases) {
        chs_test::LogCapture log;
        chs_test::RawTlsPeer client(0, kOwnPid, *c.files ? dir.Join(c.files) : std::string());
        EXPECT_EQ(AnswerOverTls(client, c.claim), c.answer) << c.files << " as node " << c.claim;
        if (c.logged != nullptr) {
            EXPECT_TRUE(chs_test::WaitFor([&] { return log.Contains(c.logged); }, 3000)) << c.logged;
        }
        EXPECT_EQ(Ask(0, kOwnPid, "served"), "0/700");
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // past the one-line-a-second log bound
    }
}

// A TCP connection that never starts its handshake is closed at the frame
// deadline; connections past the cap are refused as over Unix sockets.
TEST_F(TlsHardeningTest, StalledHandshakesAndExtraConnectionsAreClosed) {
    chs_test::LogCapture log;
    Limits limits;
    limits.frameDeadline = std::chrono::milliseconds(300);
    limits.maxConnectionsPerEndpoint = 2;
    SetLimits(limits);
    std::vector<int> fds;
    for (int i = 0; i < 4; ++i) {
        fds.push_back(socket(AF_INET, SOCK_STREAM, 0));
        sockaddr_in address = chs_test::RawTlsPeer::TcpAddressOf(0, kSilentPid);
        ASSERT_EQ(connect(fds.back(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    }
    for (int fd : fds) {
        EXPECT_TRUE(ClosedByPeer(fd, 3000));
        close(fd);
    }
    EXPECT_TRUE(log.Contains("refuses a connection"));
    EXPECT_TRUE(log.Contains("handshake not completed in time"));
    chs_test::RawTlsPeer client(0, kOwnPid, dir.Join("tls/node2"));
    EXPECT_EQ(AnswerOverTls(client, 2), "2/600");
}

// Headers announcing 8 MiB hold no memory; a frame that does not complete in
// time, or would pass the process's pending bytes, closes its connection.
TEST_F(TransportHardeningTest, FramesHoldOnlyWhatArrivedAndOnlyForAWhile) {
    chs_test::LogCapture log;
    Limits limits;
    limits.frameDeadline = std::chrono::milliseconds(300);
    limits.maxPendingBytesTotal = 100000;
    SetLimits(limits);
    std::vector<uint8_t> partial = RequestFrame(kOwnPid, std::string(90000, 'p'));
    partial.resize(kFrameHeaderSize + 60000);
    int first = ConnectTo(Socket(0, kOwnPid));
    int second = ConnectTo(Socket(0, kOwnPid));
    SendAll(first, partial);
    ASSERT_TRUE(chs_test::WaitFor([] { return PendingTotal() == 60000; }, 3000));
    SendAll(second, partial);
    EXPECT_TRUE(ClosedByPeer(second, 3000)) << "over the process's pending bytes";
    EXPECT_TRUE(log.Contains("too many bytes of incomplete frames held"));
    close(first);
    close(second);
    std::vector<int> fds;
    for (int i = 0; i < 20; ++i) {
        std::vector<uint8_t> frame = RequestFrame(kOwnPid, std::string(MSG_MAX_BODY_LENGTH, 'h'));
        frame.resize(kFrameHeaderSize);
        fds.push_back(ConnectTo(Socket(0, kOwnPid)));
        SendAll(fds.back(), frame);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(LiveMessageCount(), 0u);
    EXPECT_EQ(PendingTotal(), 0u);
    for (int fd : fds) {
        EXPECT_TRUE(ClosedByPeer(fd, 3000)) << "past the frame deadline";
        close(fd);
    }
    EXPECT_TRUE(log.Contains("frame not completed in time"));

    EXPECT_EQ(Ask(0, kOwnPid, "after"), "0/700");
}

TEST_F(TransportHardeningTest, ConnectionsAreCappedAndIdleOnesClosed) {
    chs_test::LogCapture log;
    Limits limits;
    limits.maxConnectionsPerEndpoint = 4;
    SetLimits(limits);
    std::vector<int> fds;
    for (int i = 0; i < 10; ++i) {
        fds.push_back(ConnectTo(Socket(0, kSilentPid)));
    }
    int refused = 0;
    for (int fd : fds) {
        refused += ClosedByPeer(fd, 100) ? 1 : 0;
    }
    EXPECT_EQ(refused, 6);
    EXPECT_EQ(log.Count("refuses a connection"), 1u) << "at most one line a second";
    for (int fd : fds) {
        close(fd);
    }
    // A connection with a request in flight outlives the idle limit; an idle one does not.
    limits.idleLimit = std::chrono::milliseconds(300);
    SetLimits(limits);
    ASSERT_TRUE(chs_test::WaitFor([] { return Ask(0, kOwnPid, "room") == "0/700"; }, 3000));
    int busy = ConnectTo(Socket(0, kSilentPid));
    int idle = ConnectTo(Socket(0, kSilentPid));
    SendAll(busy, RequestFrame(kSilentPid, "pending"));
    EXPECT_TRUE(ClosedByPeer(idle, 3000));
    EXPECT_FALSE(ClosedByPeer(busy, 1000));
    close(busy);
    close(idle);
}

// A client that never reads its answers does not hold up the thread that
// answers: its queue fills and the connection is closed.
TEST_F(TransportHardeningTest, AnswersToAClientThatDoesNotReadAreQueuedThenDropped) {
    chs_test::LogCapture log;
    Limits limits;
    limits.maxQueuedFrames = 4;
    limits.maxQueuedBytes = 64 << 10;
    limits.sendStall = std::chrono::milliseconds(500);
    SetLimits(limits);
    int fd = ConnectTo(Socket(0, kOwnPid));
    int buffer = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
    std::vector<uint8_t> many;
    for (uint64_t i = 1; i <= 2000; ++i) {
        std::vector<uint8_t> frame = RequestFrame(kOwnPid, std::string(100, 'r'), i);
        many.insert(many.end(), frame.begin(), frame.end());
    }
    std::thread writer([&] { send(fd, many.data(), many.size(), MSG_NOSIGNAL); });
    EXPECT_TRUE(chs_test::WaitFor([&] { return log.Contains("the peer does not read"); }, 10000));
    shutdown(fd, SHUT_RDWR);
    writer.join();
    close(fd);
    EXPECT_EQ(Ask(0, kOwnPid, "served"), "0/700");
}

TEST_F(TransportHardeningTest, RegisteredSizeLimitAndThreadCountAreEnforced) {
    tagMSG_CLIENT_CFG_S config{};
    config.uiThreadNum = 1;
    uint32_t maxLength = 1024;
    ASSERT_EQ(Msg_RegisterCfgFunc(&config, &maxLength), 0);
    int fd = ConnectTo(Socket(0, kOwnPid));
    SendAll(fd, RequestFrame(kOwnPid, std::string(2000, 'b')));
    EXPECT_TRUE(ClosedByPeer(fd, 3000));
    close(fd);
    EXPECT_GE(BodyLimit(EndpointId{0, MSG_PLATFORM_PID_BASE}, true), (1u << 20) + 16) << "file chunk requests fit";
    EXPECT_EQ(BodyLimit(EndpointId{1, kOwnPid}, false), MSG_MAX_BODY_LENGTH) << "answers to own requests";

    g_mostRunning = 0;
    std::vector<std::thread> askers;
    for (int i = 0; i < 4; ++i) {
        askers.emplace_back([] { EXPECT_EQ(Ask(0, kOwnPid, "slow"), "0/700"); });
    }
    for (std::thread& asker : askers) {
        asker.join();
    }
    EXPECT_EQ(g_mostRunning.load(), 1) << "one entry thread registered";
}

// The transport frame codec: a frame survives the round trip, and every kind
// of damage is refused with its own error without anything of the damaged
// frame being handed out.
constexpr size_t kKindOffset = 6;
constexpr size_t kLengthOffset = 8;
constexpr size_t kInfoLengthOffset = 20 + 8;  // uiMsgLength inside the record

FrameHeader SampleHeader(uint32_t bodyLength) {
    FrameHeader header;
    header.kind = FrameKind::kAnswer;
    header.ulCorrelation = 0x0102030405060708ull;
    // Every field its own value, so that a field lost or swapped shows.
    header.info =
        tagMsgInfo{1, 551, 2, 561, bodyLength, MSG_TYPE_RESPONSE, 0xBEEF, 0x1234, 7, 30, 0xCAFEF00D, 3, 4};
    return header;
}

template <typename T>
void Poke(std::vector<uint8_t>& frame, size_t offset, T value) {
    memcpy(frame.data() + offset, &value, sizeof(value));
}
template <typename T>
std::vector<uint8_t> Poked(std::vector<uint8_t> frame, size_t offset, T value) {
    Poke(frame, offset, value);
    return frame;
}

// A sentinel that must survive every refused decode.
FrameHeader Untouched() {
    FrameHeader header;
    header.ulCorrelation = 0xDEAD;
    return header;
}

void ExpectRefused(const std::vector<uint8_t>& frame, FrameError expected) {
    FrameHeader out = Untouched();
    const uint8_t* body = nullptr;
    EXPECT_EQ(DecodeFrame(frame.data(), frame.size(), out, body), expected) << FrameErrorText(expected);
    EXPECT_EQ(out.ulCorrelation, 0xDEADu) << "nothing of a refused frame is handed out";
    EXPECT_EQ(body, nullptr);
}

TEST(TransportFrameTest, RoundTripKeepsEveryField) {
    const std::string body = "body bytes \x01\x02";
    FrameHeader header = SampleHeader(static_cast<uint32_t>(body.size()));
    std::vector<uint8_t> frame = EncodeFrame(header, body.data());
    ASSERT_EQ(frame.size(), kFrameHeaderSize + body.size());

    FrameHeader out;
    const uint8_t* decodedBody = nullptr;
    ASSERT_EQ(DecodeFrame(frame.data(), frame.size(), out, decodedBody), FrameError::kNone);
    EXPECT_EQ(out.kind, FrameKind::kAnswer);
    EXPECT_EQ(out.ulCorrelation, header.ulCorrelation);
    EXPECT_EQ(memcmp(&out.info, &header.info, sizeof(tagMsgInfo)), 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(decodedBody), body.size()), body);

    // An empty body is a frame of its own, as are requests.
    FrameHeader empty = SampleHeader(0);
    empty.kind = FrameKind::kRequest;
    frame = EncodeFrame(empty, nullptr);
    ASSERT_EQ(DecodeFrame(frame.data(), frame.size(), out, decodedBody), FrameError::kNone);
    EXPECT_EQ(out.kind, FrameKind::kRequest);
    EXPECT_EQ(out.info.uiMsgLength, 0u);
}

TEST(TransportFrameTest, DamagedHeaderIsRefused) {
    const std::vector<uint8_t> good = EncodeFrame(SampleHeader(4), "abcd");

    std::vector<uint8_t> frame = good;
    frame[0] ^= 0x40;
    ExpectRefused(frame, FrameError::kBadMagic);

    ExpectRefused(Poked<uint16_t>(good, 4, 2), FrameError::kBadVersion);
    for (uint16_t kind : {0, 3, 0xFFFF}) {
        ExpectRefused(Poked<uint16_t>(good, kKindOffset, kind), FrameError::kBadKind);
    }
}

TEST(TransportFrameTest, LengthsMustAgreeWithTheBytes) {
    const std::vector<uint8_t> good = EncodeFrame(SampleHeader(4), "abcd");

    // The frame's length and the record's uiMsgLength disagree: either one lengthened.
    ExpectRefused(Poked<uint32_t>(good, kLengthOffset, 5), FrameError::kLengthMismatch);
    ExpectRefused(Poked<uint32_t>(good, kInfoLengthOffset, 3), FrameError::kLengthMismatch);

    // Both agree but the bytes do not: too few, or more than the body.
    ExpectRefused(Poked<uint32_t>(Poked<uint32_t>(good, kLengthOffset, 5), kInfoLengthOffset, 5),
                  FrameError::kTruncated);
    std::vector<uint8_t> frame = good;
    frame.push_back('x');
    ExpectRefused(frame, FrameError::kLengthMismatch);

    // Shortened anywhere: inside the header or inside the body.
    for (size_t size : {size_t{0}, size_t{1}, kFrameHeaderSize - 1, kFrameHeaderSize, good.size() - 1}) {
        ExpectRefused(std::vector<uint8_t>(good.begin(), good.begin() + static_cast<long>(size)),
                      FrameError::kTruncated);
    }
}

TEST(TransportFrameTest, BodyOverTheLimitIsRefusedFromTheHeaderAlone) {
    std::vector<uint8_t> header = EncodeFrame(SampleHeader(0), nullptr);
    Poke<uint32_t>(header, kLengthOffset, MSG_MAX_BODY_LENGTH + 1);
    Poke<uint32_t>(header, kInfoLengthOffset, MSG_MAX_BODY_LENGTH + 1);
    FrameHeader out = Untouched();
    // The reader must not allocate for such a body: the header decides.
    EXPECT_EQ(DecodeFrameHeader(header.data(), header.size(), out), FrameError::kTooLong);
    EXPECT_EQ(out.ulCorrelation, 0xDEADu);

    Poke<uint32_t>(header, kLengthOffset, MSG_MAX_BODY_LENGTH);
    Poke<uint32_t>(header, kInfoLengthOffset, MSG_MAX_BODY_LENGTH);
    EXPECT_EQ(DecodeFrameHeader(header.data(), header.size(), out), FrameError::kNone);
    EXPECT_EQ(out.info.uiMsgLength, MSG_MAX_BODY_LENGTH);
}

}  // namespace

int main(int argc, char** argv) {
    return chs_test::RunTestsOrPeer(argc, argv, "CHS_HARDENING_PEER", RunPeer);
}
