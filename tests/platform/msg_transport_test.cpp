// The message transport between real processes of a temporary cluster: this
// process is node 0 (endpoint 700); nodes 1 and 2 are peer processes (this
// same binary started with CHS_TRANSPORT_PEER) serving endpoints 600 (echo),
// 601 (never answers) and 602 (relays the request synchronously from inside
// its entry). Node 3 is configured but never started. Time-outs run in units
// of 20 ms instead of seconds. Every case runs with nodes reaching each other
// over Unix-domain sockets and over TCP with mutual TLS.
#include "platform/msg_transport.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/cluster_config.h"
#include "platform/om_cluster.h"
#include "platform/om_file_copy.h"
#include "platform/transport_connection.h"
#include "platform/transport_frame.h"
#include "platform/transport_limits.h"
#include "platform/transport_message.h"
#include "platform/transport_pending.h"
#include "platform/transport_runtime.h"
#include "platform/transport_tls.h"
#include "tests/support/cluster_setup.h"
#include "tests/support/log_capture.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/transport_cluster.h"
#include "tests/support/transport_util.h"

namespace {

using namespace platform::transport;
using chs_test::AddressOf;
using chs_test::BodyOf;
using chs_test::CanConnect;
using chs_test::ConnectTo;
using chs_test::NewBody;
constexpr auto Request = chs_test::RequestInfo;

constexpr uint16_t kOwnPid = 700;
constexpr uint16_t kEchoPid = 600;
constexpr uint16_t kSilentPid = 601;
constexpr uint16_t kRelayPid = 602;
constexpr uint32_t kOpEcho = 0x11;
constexpr uint32_t kOpDeferred = 0x12;  // answered later, from another thread, through a copy
constexpr auto kUnit = std::chrono::milliseconds(20);
constexpr uint32_t kLong = 1000;  // time-out units no test should reach

int AnswerWith(void* request, const std::string& text) {
    return MSG_PostAckMsg(request, NewBody(text), static_cast<uint32_t>(text.size()));
}

std::string LocalPrefix() {
    uint16_t node = 0;
    OMLIB_getLocalNodeID(&node);
    return std::to_string(node) + ":";
}

// ---- the peer process -------------------------------------------------------

int OwnEntry(void* message);

int PeerSilent(void*) { return 0; }

// Body "<node> <pid>": asks that endpoint synchronously, answers with its answer.
int PeerRelay(void* message) {
    unsigned node = 0, pid = 0;
    sscanf(BodyOf(message).c_str(), "%u %u", &node, &pid);
    std::string text = "relayed";
    AnswerWith(message, chs_test::AskSync(Request(static_cast<uint16_t>(node), static_cast<uint16_t>(pid),
                                                  kOpEcho, text.size(), 50),
                                          text));
    return 0;
}

int RunPeer(const char* peerArgs) {
    char clusterFile[512] = {0}, root[512] = {0};
    unsigned node = 0;
    if (sscanf(peerArgs, "%511s %u %511s", clusterFile, &node, root) != 3) {
        return 2;
    }
    std::string error;
    if (!platform::AttachCluster(clusterFile, static_cast<uint16_t>(node), root, false, error)) {
        fprintf(stderr, "%s\n", error.c_str());
        return 3;
    }
    SetTimeoutUnit(kUnit);
    if (MSG_ClientInit("peer") != 0 || MSG_RegisterPID(kEchoPid, OwnEntry) != 0 ||
        platform::StartFileService() != 0 || MSG_RegisterPID(kSilentPid, PeerSilent) != 0 ||
        MSG_RegisterPID(kRelayPid, PeerRelay) != 0) {
        return 4;
    }
    for (;;) {
        pause();
    }
}

// ---- this process (and the peers' echo endpoint) ---------------------------

struct Delivered {
    tagMsgInfo info;
    bool bHasPrivate;
    tagPrivateData privateData;
    std::string body;
};

// The answers to this process's posts; they come on the transport's threads.
struct Collector {
    std::mutex mutex;
    std::vector<Delivered> answers;

    std::vector<Delivered> Take() {
        std::lock_guard<std::mutex> lock(mutex);
        return answers;
    }
    size_t Count() { return Take().size(); }
} g_collector;

int OwnEntry(void* message) {
    tagMsgInfo info{};
    MSG_GetMsgInfo(message, &info);
    if (info.usMsgType == MSG_TYPE_RESPONSE) {
        const tagPrivateData* data = MSG_GetPrivateData(message);
        std::lock_guard<std::mutex> lock(g_collector.mutex);
        g_collector.answers.push_back(
            {info, data != nullptr, data ? *data : tagPrivateData{}, BodyOf(message)});
    } else if (info.uiMsgOPCode == kOpDeferred) {
        void* copy = MSG_CopyMsg(message, 0, __func__, __LINE__);
        std::thread([copy] {
            std::this_thread::sleep_for(kUnit);
            AnswerWith(copy, "deferred " + BodyOf(copy));
            MSG_FreeMsg(copy);
        }).detach();
    } else {
        AnswerWith(message, LocalPrefix() + BodyOf(message));
    }
    return 0;
}

class MsgTransportTest : public ::testing::TestWithParam<chs_test::Transport> {
  protected:
    void SetUp() override {
        for (const char* node : {"node1", "node2", "node3"}) {
            chs_test::MakeDirs(dir.Join(node));
        }
        const std::string serial = "2102351234567890";
        chs_test::AttachHandMadeCluster(
            dir.path(),
            "{\"serialNumber\": \"" + serial + "\", " +
                chs_test::TransportNodesJson(GetParam(), 4, dir.path(), serial) + "}",
            0, false);
        SetTimeoutUnit(kUnit);
        ASSERT_EQ(MSG_ClientInit("test"), 0);
        ASSERT_EQ(MSG_RegisterPID(kOwnPid, OwnEntry), 0);
        {
            std::lock_guard<std::mutex> lock(g_collector.mutex);
            g_collector.answers.clear();
        }
        StartPeer(1);
        StartPeer(2);
    }

    void TearDown() override {
        peers.clear();
        MSG_ClientExit();
        EXPECT_TRUE(chs_test::WaitFor([] { return LiveMessageCount() == 0; }, 5000))
            << LiveMessageCount() << " message buffers leaked";
        platform::DetachCluster();
        SetTimeoutUnit(std::chrono::seconds(1));
        ResetRegistrations();
    }

    void StartPeer(uint16_t node) {
        std::string peerArgs = dir.Join("cluster.json") + " " + std::to_string(node) + " " +
                               dir.Join("node" + std::to_string(node));
        peers[node] =
            std::make_unique<chs_test::Process>(std::vector<std::string>{"/proc/self/exe"},
                                                std::vector<std::string>{"CHS_TRANSPORT_PEER=" + peerArgs},
                                                dir.Join("peer" + std::to_string(node) + ".out"));
        std::string last = SocketPath(node, kRelayPid);
        ASSERT_TRUE(chs_test::WaitFor([&] { return CanConnect(last); }, 10000))
            << "peer " << node << " did not start";
    }

    std::string SocketPath(uint16_t node, uint16_t pid) {
        return dir.Join("run/ep-" + std::to_string(node) + "-" + std::to_string(pid) + ".sock");
    }

    // Sends `text` synchronously; the answer's body, or "rc=<result>".
    std::string Ask(uint16_t node, uint16_t pid, const std::string& text, uint32_t timeout = kLong,
                    uint32_t opcode = kOpEcho) {
        return chs_test::AskSync(Request(node, pid, opcode, text.size(), timeout), text);
    }

    chs_test::TempDir dir;
    std::map<uint16_t, std::unique_ptr<chs_test::Process>> peers;
};

tagPrivateData PrivateWith(uint64_t callback) {
    tagPrivateData data{};
    memcpy(data.aucData + 8, &callback, sizeof(callback));
    data.aucData[47] = 0x5A;
    return data;
}

uint64_t CallbackOf(const tagPrivateData& data) {
    uint64_t callback = 0;
    memcpy(&callback, data.aucData + 8, sizeof(callback));
    return callback;
}

TEST_P(MsgTransportTest, SyncRequestsAreAnsweredFromTheAddressedNodeOrTimeOut) {
    tagMsgInfo info = Request(1, kEchoPid, kOpEcho, 5, kLong);
    info.usReserve = 0x77;
    void* answer = nullptr;
    ASSERT_EQ(MSG_SendSyncMsg(NewBody("hello"), &info, &answer), 0);
    ASSERT_NE(answer, nullptr);
    tagMsgInfo got{};
    ASSERT_EQ(MSG_GetMsgInfo(answer, &got), 0);
    EXPECT_EQ(BodyOf(answer), "1:hello");
    EXPECT_EQ(got.usMsgType, MSG_TYPE_RESPONSE);
    EXPECT_EQ(got.uiMsgState, MSG_STATE_SUCCESS);
    EXPECT_EQ(got.uiMsgOPCode, kOpEcho);
    EXPECT_EQ(got.uiSessionKey, info.uiSessionKey);
    EXPECT_EQ(got.usReserve, 0x77);
    EXPECT_EQ(got.usSenderBID, 1);
    EXPECT_EQ(got.usSenderPID, kEchoPid);
    EXPECT_EQ(got.usReceiverBID, 0);
    EXPECT_EQ(got.usReceiverPID, kOwnPid);
    MSG_FreeMsg(answer);

    EXPECT_EQ(Ask(2, kEchoPid, "x"), "2:x");
    EXPECT_EQ(Ask(MSG_LOCAL_NODE_BID, kOwnPid, "self"), "0:self") << "0xFFFF is this node";
    EXPECT_EQ(Ask(MSG_LOCAL_NODE_BID, kOwnPid, "later", kLong, kOpDeferred), "deferred later")
        << "a kept copy of a request answers after its entry returned";
    // A handler may send synchronously from its entry, also back to this
    // process while its own thread waits for the relay's answer.
    EXPECT_EQ(Ask(1, kRelayPid, "2 600"), "2:relayed");
    EXPECT_EQ(Ask(1, kRelayPid, "0 700"), "0:relayed");
    EXPECT_EQ(Ask(1, kRelayPid, "65535 600"), "1:relayed") << "the relay's local node";

    info = Request(1, kSilentPid, 0x21, 1, 2);
    ASSERT_EQ(MSG_SendSyncMsg(NewBody("s"), &info, &answer), MSG_ERR_TIMEOUT);
    ASSERT_NE(answer, nullptr);
    MSG_GetMsgInfo(answer, &got);
    EXPECT_EQ(got.uiMsgState, MSG_STATE_TIMEOUT);
    EXPECT_EQ(got.usMsgType, MSG_TYPE_RESPONSE);
    EXPECT_EQ(got.uiMsgOPCode, 0x21u);
    MSG_FreeMsg(answer);

    struct stat socketFile {};
    ASSERT_EQ(stat(SocketPath(0, kOwnPid).c_str(), &socketFile), 0);
    EXPECT_EQ(socketFile.st_mode & 0777, 0660u) << "the daemon's user and group only";

    // A caller without an endpoint of its own gets its answers all the same.
    ASSERT_EQ(MSG_UnRegisterPID(kOwnPid), 0);
    EXPECT_FALSE(CanConnect(SocketPath(0, kOwnPid)));
    EXPECT_EQ(Ask(1, kEchoPid, "no endpoint"), "1:no endpoint");
    EXPECT_EQ(Ask(MSG_LOCAL_NODE_BID, kOwnPid, "gone"), "rc=" + std::to_string(MSG_ERR_UNREACHABLE));
}

// Each post ends exactly once, answered or timed out, with the private data
// it was posted with.
TEST_P(MsgTransportTest, AsyncPostsEndOnceWithTheirPrivateData) {
    tagPrivateData data = PrivateWith(0x1122334455667788ull);
    tagMsgInfo ping = Request(2, kEchoPid, 0x31, 4, kLong);
    ASSERT_EQ(MSG_PostAsyncMsg(NewBody("ping"), &ping, &data), 0);
    tagMsgInfo bare = Request(1, kEchoPid, 0x32, 4, kLong);
    ASSERT_EQ(MSG_PostAsyncMsg(NewBody("bare"), &bare, nullptr), 0);
    tagPrivateData silentData = PrivateWith(42);
    tagMsgInfo silent = Request(1, kSilentPid, 0x33, 1, 2);
    ASSERT_EQ(MSG_PostAsyncMsg(NewBody("a"), &silent, &silentData), 0);
    // Posted with 0: the configured default (3 units here) applies.
    tagMSG_CLIENT_CFG_S config{};
    config.uiDefaultTimeout = 3;
    uint32_t maxLength = 0x20000;
    ASSERT_EQ(Msg_RegisterCfgFunc(&config, &maxLength), 0);
    tagMsgInfo byDefault = Request(2, kSilentPid, 0x34, 1, 0);
    ASSERT_EQ(MSG_PostAsyncMsg(NewBody("d"), &byDefault, nullptr), 0);

    ASSERT_TRUE(chs_test::WaitFor([] { return g_collector.Count() >= 4; }, 5000));
    std::this_thread::sleep_for(kUnit * 10);  // room for a wrong second ending
    std::vector<Delivered> answers = g_collector.Take();
    ASSERT_EQ(answers.size(), 4u);
    std::map<uint32_t, Delivered> byOpcode;
    for (const Delivered& answer : answers) {
        byOpcode[answer.info.uiMsgOPCode] = answer;
    }
    ASSERT_EQ(byOpcode.size(), 4u);
    const Delivered& answered = byOpcode[0x31];
    EXPECT_EQ(answered.body, "2:ping");
    EXPECT_EQ(answered.info.uiMsgState, MSG_STATE_SUCCESS);
    EXPECT_EQ(answered.info.uiSessionKey, ping.uiSessionKey);
    ASSERT_TRUE(answered.bHasPrivate);
    EXPECT_EQ(memcmp(&answered.privateData, &data, sizeof(data)), 0);
    EXPECT_EQ(byOpcode[0x32].body, "1:bare");
    EXPECT_FALSE(byOpcode[0x32].bHasPrivate);
    EXPECT_EQ(byOpcode[0x33].info.uiMsgState, MSG_STATE_TIMEOUT);
    ASSERT_TRUE(byOpcode[0x33].bHasPrivate);
    EXPECT_EQ(CallbackOf(byOpcode[0x33].privateData), 42u);
    EXPECT_EQ(byOpcode[0x34].info.uiMsgState, MSG_STATE_TIMEOUT);
    EXPECT_FALSE(byOpcode[0x34].bHasPrivate);
}

TEST_P(MsgTransportTest, DeadPeerEndsWaitsAtOnceAndCanBeReplaced) {
    int syncResult = -1;
    void* syncAnswer = nullptr;
    tagMsgInfo slow = Request(1, kSilentPid, 0x31, 1, kLong);
    ASSERT_EQ(MSG_PostAsyncMsg(NewBody("p"), &slow, nullptr), 0);
    std::thread waiter([&] { syncResult = MSG_SendSyncMsg(NewBody("w"), &slow, &syncAnswer); });
    ASSERT_TRUE(chs_test::WaitFor([] { return PendingTable::Instance().Count() == 2; }, 5000));
    peers[1]->Stop(SIGKILL);
    waiter.join();
    EXPECT_EQ(syncResult, MSG_ERR_SEND) << "not the time-out of " << kLong << " units";
    EXPECT_EQ(syncAnswer, nullptr);
    ASSERT_TRUE(chs_test::WaitFor([] { return g_collector.Count() == 1; }, 5000));
    EXPECT_EQ(g_collector.Take()[0].info.uiMsgState, MSG_STATE_TIMEOUT);

    // A restarted node replaces the socket files the dead one left.
    StartPeer(1);
    EXPECT_EQ(Ask(1, kEchoPid, "again"), "1:again");
}

TEST_P(MsgTransportTest, BadFrameClosesOnlyItsConnection) {
    chs_test::LogCapture log;
    auto sendRaw = [&](const std::string& path, const std::vector<uint8_t>& bytes) {
        int fd = ConnectTo(path);
        EXPECT_EQ(send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
        char byte;
        // The endpoint closes: end of stream, or a reset when bytes it never read remain.
        ssize_t got = recv(fd, &byte, 1, 0);
        close(fd);
        return got == 0 || (got < 0 && errno == ECONNRESET);
    };
    std::vector<uint8_t> garbage(80, 0xA5);
    EXPECT_TRUE(sendRaw(SocketPath(0, kOwnPid), garbage));
    FrameHeader answerKind{FrameKind::kAnswer, 1, Request(0, kOwnPid, kOpEcho, 0, 1)};
    EXPECT_TRUE(sendRaw(SocketPath(0, kOwnPid), EncodeFrame(answerKind, nullptr)));
    EXPECT_TRUE(sendRaw(SocketPath(1, kEchoPid), garbage));
    EXPECT_TRUE(chs_test::WaitFor([&] { return log.Contains("bad magic number"); }, 2000));
    EXPECT_TRUE(log.Contains("unexpected frame kind"));

    EXPECT_EQ(Ask(MSG_LOCAL_NODE_BID, kOwnPid, "still"), "0:still");
    EXPECT_EQ(Ask(1, kEchoPid, "still"), "1:still");
}

// A frame the hand-written endpoint sends back: its kind, its text and its
// correlation id, that of the request plus `offset`; only its first `sent`
// bytes when the frame is to stay incomplete.
struct Reply {
    FrameKind kind;
    uint64_t offset;
    std::string text;
    size_t sent = SIZE_MAX;
};

// A hand-written endpoint 600 of node 3 that answers one request with frames
// of its choosing: on the socket file `path`, or on its TCP port presenting
// node 3's certificate `tlsFiles`.
class FakeEndpoint {
  public:
    FakeEndpoint(const std::string& path, const std::string& tlsFiles, std::vector<Reply> replies) {
        if (tlsFiles.empty()) {
            m_listen = socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un address = AddressOf(path);
            EXPECT_EQ(bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        } else {
            m_listen = socket(AF_INET, SOCK_STREAM, 0);
            int one = 1;
            setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
            sockaddr_in address = chs_test::RawTlsPeer::TcpAddressOf(3, kEchoPid);
            EXPECT_EQ(bind(m_listen, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
        }
        EXPECT_EQ(listen(m_listen, 4), 0);
        m_thread = std::thread([this, replies, tlsFiles] {
            // Kept open until destruction: the transport alone decides to close.
            m_fd = accept(m_listen, nullptr, nullptr);
            if (!tlsFiles.empty()) {
                m_tls = std::make_unique<chs_test::RawTlsPeer>(m_fd, tlsFiles, true);
            }
            auto read = [this](size_t length) {
                if (m_tls) {
                    return m_tls->Read(length);
                }
                std::string bytes(length, '\0');
                return recv(m_fd, &bytes[0], length, MSG_WAITALL) == static_cast<ssize_t>(length) ? bytes
                                                                                                : std::string();
            };
            std::string head = read(kFrameHeaderSize);
            FrameHeader request;
            if (head.empty() || DecodeFrameHeader(reinterpret_cast<const uint8_t*>(head.data()), head.size(),
                                                  request) != FrameError::kNone) {
                return;
            }
            read(request.info.uiMsgLength);
            for (const Reply& reply : replies) {
                uint32_t length = static_cast<uint32_t>(reply.text.size());
                FrameHeader answer{reply.kind, request.ulCorrelation + reply.offset,
                                   AnswerInfo(request.info, 0, length)};
                std::vector<uint8_t> frame = EncodeFrame(answer, reply.text.data());
                frame.resize(std::min(frame.size(), reply.sent));
                if (m_tls) {
                    m_tls->Send(frame);
                } else {
                    send(m_fd, frame.data(), frame.size(), MSG_NOSIGNAL);
                }
            }
        });
    }
    ~FakeEndpoint() {
        shutdown(m_listen, SHUT_RDWR);  // a connection that never came fails the case, not the run
        m_thread.join();
        if (m_tls) {
            m_tls.reset();  // closes the socket
        } else {
            close(m_fd);
        }
        close(m_listen);
    }

  private:
    int m_listen = -1;
    int m_fd = -1;
    std::unique_ptr<chs_test::RawTlsPeer> m_tls;
    std::thread m_thread;
};

TEST_P(MsgTransportTest, AnswersEndOnlyTheirOwnRequests) {
    const std::string tlsFiles = GetParam() == chs_test::Transport::kTcp ? dir.Join("tls/node3") : "";
    const struct {
        std::vector<Reply> replies;
        std::string expected;
        const char* why;
    } cases[] = {
        {{{FrameKind::kAnswer, 1000, "forged"}, {FrameKind::kAnswer, 0, "genuine"}},
         "genuine",
         "an answer with an unknown correlation id is dropped"},
        {{{FrameKind::kRequest, 0, "wrong way"}},
         "rc=" + std::to_string(MSG_ERR_SEND),
         "a request coming back on an outgoing connection closes it, failing the wait at once"},
        {{{FrameKind::kAnswer, 0, "cut short", kFrameHeaderSize + 3}},
         "rc=" + std::to_string(MSG_ERR_SEND),
         "an answer that stops half-way closes its connection at the frame deadline, not the time-out"},
    };
    const Limits saved = CurrentLimits();
    Limits limits = saved;
    limits.frameDeadline = std::chrono::milliseconds(300);
    SetLimits(limits);
    for (const auto& c : cases) {
        unlink(SocketPath(3, kEchoPid).c_str());
        {
            FakeEndpoint fake(SocketPath(3, kEchoPid), tlsFiles, c.replies);
            EXPECT_EQ(Ask(3, kEchoPid, "q"), c.expected) << c.why;
        }
        // The next case reaches its own fake, not a pooled connection to this one.
        EXPECT_TRUE(chs_test::WaitFor([] { return ConnectionCount() == 0; }, 5000));
    }
    SetLimits(saved);
}

// The second half is posted in a batch that this thread never flushes: what
// it leaves waiting is written by the connections' threads.
TEST_P(MsgTransportTest, TenThousandPostsEndOnceEach) {
    constexpr uint64_t kCount = 10000;
    for (uint64_t i = 0; i < kCount; ++i) {
        MSG_SetSendBatching(i >= kCount / 2);
        std::string text = std::to_string(i);
        tagMsgInfo info = Request(i % 2 == 0 ? 1 : 2, kEchoPid, kOpEcho, text.size(), kLong);
        tagPrivateData data = PrivateWith(i);
        ASSERT_EQ(MSG_PostAsyncMsg(NewBody(text), &info, &data), 0) << i;
    }
    bool all = chs_test::WaitFor([&] { return g_collector.Count() >= kCount; }, 60000);
    MSG_SetSendBatching(false);
    ASSERT_TRUE(all) << g_collector.Count();
    std::vector<Delivered> answers = g_collector.Take();
    ASSERT_EQ(answers.size(), kCount);
    std::vector<int> seen(kCount, 0);
    uint64_t last[2] = {0, 1};
    for (const Delivered& answer : answers) {
        uint64_t i = CallbackOf(answer.privateData);
        ASSERT_LT(i, kCount);
        ++seen[i];
        EXPECT_EQ(answer.info.uiMsgState, MSG_STATE_SUCCESS);
        EXPECT_EQ(answer.body, (i % 2 == 0 ? "1:" : "2:") + std::to_string(i));
        EXPECT_GE(i, last[i % 2]) << "posts to one endpoint are answered in order";
        last[i % 2] = i;
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), static_cast<long>(kCount)) << "lost or duplicated";
}

// A body of the largest size crosses whole, in both directions.
TEST_P(MsgTransportTest, BodiesOfTheLargestSizeArriveWhole) {
    std::string big(MSG_MAX_BODY_LENGTH - 2, 'b');
    for (size_t i = 0; i < big.size(); i += 4099) {
        big[i] = static_cast<char>('a' + i % 26);
    }
    std::string answer = Ask(1, kEchoPid, big);
    EXPECT_EQ(answer.size(), MSG_MAX_BODY_LENGTH);
    EXPECT_TRUE(answer == "1:" + big) << "the body was changed on its way";
}

// The node-to-node file service: whole files of the coffer tree, in chunks,
// and nothing outside it.
TEST_P(MsgTransportTest, FileServiceCopiesItsCofferTreeOnly) {
    chs_test::MakeDirs(dir.Join("node1/VXA/coffer_data/logs"));
    chs_test::WriteText(dir.Join("node1/secret"), "not for other nodes");
    std::string content(3 * OM_FILE_CHUNK_BYTES + 17, 'c');
    for (size_t i = 0; i < content.size(); i += 1021) {
        content[i] = static_cast<char>('0' + i % 10);
    }
    chs_test::WriteText(dir.Join("node1/VXA/coffer_data/logs/a.log"), content);
    EXPECT_EQ(OM_GetFileFromOtherNode(1, "/VXA/coffer_data/logs/a.log", dir.Join("copy").c_str(), 10), 0);
    EXPECT_TRUE(chs_test::ReadText(dir.Join("copy")) == content);
    for (const char* outside : {"/secret", "/VXA/coffer_data/../../secret", "/VXA/coffer_data"}) {
        int result = OM_GetFileFromOtherNode(1, outside, dir.Join("stolen").c_str(), 10);
        EXPECT_TRUE(result == OM_FILE_ERR_REFUSED || result == OM_FILE_ERR_NOT_REGULAR) << outside << ": " << result;
        EXPECT_NE(access(dir.Join("stolen").c_str(), F_OK), 0) << outside;
    }
}

// Refused at once, and the buffer released (TearDown counts the live ones).
TEST_P(MsgTransportTest, BadArgumentsAndUnreachableDestinationsFailAtOnce) {
    for (auto [node, pid] : {std::pair<uint16_t, uint16_t>{3, kEchoPid}, {1, 650}, {9, kEchoPid}}) {
        tagMsgInfo info = Request(node, pid, kOpEcho, 1, 1);
        tagPrivateData data = PrivateWith(7);
        EXPECT_EQ(MSG_PostAsyncMsg(NewBody("u"), &info, &data), MSG_ERR_UNREACHABLE);
        void* answer = reinterpret_cast<void*>(1);
        EXPECT_EQ(MSG_SendSyncMsg(NewBody("u"), &info, &answer), MSG_ERR_UNREACHABLE);
        EXPECT_EQ(answer, nullptr);
    }
    std::this_thread::sleep_for(kUnit * 5);  // past the time-out the posts asked for
    EXPECT_EQ(g_collector.Count(), 0u) << "a post that failed at once delivers nothing";

    tagMsgInfo info = Request(1, kEchoPid, kOpEcho, 8, 1);  // longer than the 2-byte buffer
    EXPECT_EQ(MSG_PostAsyncMsg(NewBody("ab"), &info, nullptr), MSG_ERR_PARAM);
    EXPECT_EQ(MSG_PostAsyncMsg(NewBody("ab"), nullptr, nullptr), MSG_ERR_PARAM);
    void* answer = nullptr;
    EXPECT_EQ(MSG_SendSyncMsg(NewBody("ab"), &info, &answer), MSG_ERR_PARAM);
    void* notReceived = NewBody("req");
    EXPECT_EQ(MSG_PostAckMsg(notReceived, NewBody("ab"), 2), MSG_ERR_PARAM)
        << "only a received request answers";
    EXPECT_EQ(MSG_PostAckMsg(notReceived, notReceived, 3), MSG_ERR_PARAM);
    EXPECT_EQ(LiveMessageCount(), 1u);
    MSG_FreeMsg(notReceived);
    EXPECT_EQ(MSG_AllocMsg(MSG_MAX_BODY_LENGTH + 1, 0, __func__, __LINE__), nullptr);

    EXPECT_EQ(MSG_RegisterPID(kOwnPid, OwnEntry), MSG_ERR_STATE) << "registered already";
    EXPECT_EQ(MSG_RegisterPID(0x10000, OwnEntry), MSG_ERR_PARAM);

    chs_test::LogCapture log;
    void* kept = MSG_AllocMsg(4, 0, "LeakySite", 42);
    EXPECT_EQ(ReportLiveMessages(), 1u);
    EXPECT_TRUE(log.Contains("LeakySite:42"));
    MSG_FreeMsg(kept);
}

INSTANTIATE_TEST_SUITE_P(Transports, MsgTransportTest,
                         ::testing::Values(chs_test::Transport::kUnix, chs_test::Transport::kTcp),
                         chs_test::TransportName);

// The transport settings of cluster.json: a TCP cluster needs ports that fit
// and an IPv4 address first for every node.
TEST(TransportClusterFileTest, TcpSettingsAreCheckedBeforeUse) {
    const std::string node0 = R"({"id": 0, "name": "A", "internalIps": ["10.0.0.1"]})";
    const struct {
        std::string members;
        bool valid;
        bool tcp;
        unsigned base;
    } cases[] = {
        {R"("nodes": [{"id": 0, "name": "A"}])", true, false, platform::kDefaultTcpPortBase},
        {R"("transport": "unix", "nodes": [{"id": 0, "name": "A"}])", true, false, platform::kDefaultTcpPortBase},
        {R"("transport": "tcp", "nodes": [)" + node0 + "]", true, true, platform::kDefaultTcpPortBase},
        {R"("transport": "tcp", "tcpPortBase": 60416, "nodes": [)" + node0 + "]", true, true, 60416},
        {R"("transport": "tcp", "tcpPortBase": 60417, "nodes": [)" + node0 + "]", false, false, 0},
        {R"("transport": "tcp", "tcpPortBase": 1023, "nodes": [)" + node0 + "]", false, false, 0},
        {R"("transport": "tcp", "tcpPortBase": "20000", "nodes": [)" + node0 + "]", false, false, 0},
        {R"("transport": "udp", "nodes": [)" + node0 + "]", false, false, 0},
        {R"("transport": "tcp", "nodes": [{"id": 0, "name": "A"}])", false, false, 0},
        {R"("transport": "tcp", "nodes": [{"id": 0, "name": "A", "internalIps": ["host0"]}])", false, false, 0},
    };
    chs_test::TempDir dir;
    for (const auto& c : cases) {
        chs_test::WriteText(dir.Join("cluster.json"), "{" + c.members + "}");
        platform::ClusterConfig config;
        std::string error;
        ASSERT_EQ(platform::ClusterConfig::Load(dir.Join("cluster.json"), config, error), c.valid) << c.members;
        if (c.valid) {
            EXPECT_EQ(config.bTcpTransport, c.tcp) << c.members;
            EXPECT_EQ(config.usTcpPortBase, c.base) << c.members;
        } else {
            EXPECT_FALSE(error.empty());
        }
    }
}

// chsctl mkcluster --transport tcp: the settings, the CA's certificate and
// each node's certificate and owner-only key, which the node's process loads.
TEST(TransportClusterFileTest, MkclusterLaysOutTheTlsFilesOfEveryNode) {
    chs_test::TempDir dir;
    std::string cluster = chs_test::MakeCluster(dir, 2, {"--transport", "tcp", "--tcp-port-base", "30000"});
    platform::ClusterConfig config;
    std::string error;
    ASSERT_TRUE(platform::ClusterConfig::Load(cluster + "/cluster.json", config, error)) << error;
    EXPECT_TRUE(config.bTcpTransport);
    EXPECT_EQ(config.usTcpPortBase, 30000);
    EXPECT_EQ(chs_test::Entries(cluster + "/tls"),
              (std::set<std::string>{"ca.pem", "node0.key", "node0.pem", "node1.key", "node1.pem"}));
    EXPECT_EQ(chs_test::ModeOf(cluster + "/tls"), 0700u);
    for (const char* file : {"ca.pem", "node0.key", "node0.pem", "node1.key", "node1.pem"}) {
        EXPECT_EQ(chs_test::ModeOf(cluster + "/tls/" + file), 0600u) << file;
    }
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    chmod((cluster + "/tls/node0.key").c_str(), 0640);
    chs_test::AttachAs(cluster, 0, false);
    EXPECT_EQ(platform::transport::TlsSession::New(pair[0], false, error), nullptr) << "a key others may read";
    EXPECT_NE(error.find("chmod 600"), std::string::npos) << error;
    platform::DetachCluster();
    chs_test::AttachAs(cluster, 1, false);
    EXPECT_NE(platform::transport::TlsSession::New(pair[0], false, error), nullptr) << error;
    platform::DetachCluster();
    close(pair[0]);
    close(pair[1]);
}

TEST(MsgTransportLifecycleTest, NothingWorksBeforeTheClientStarts) {
    EXPECT_EQ(MSG_ClientInit(""), MSG_ERR_STATE) << "no cluster attached";
    EXPECT_EQ(MSG_RegisterPID(kOwnPid, OwnEntry), MSG_ERR_STATE);
    tagMsgInfo info = Request(1, kEchoPid, kOpEcho, 1, 1);
    EXPECT_EQ(MSG_PostAsyncMsg(NewBody("x"), &info, nullptr), MSG_ERR_STATE);
    EXPECT_EQ(LiveMessageCount(), 0u);
    EXPECT_NE(MSG_RegInfoCheck(), 0) << "no adapters registered";
}

}  // namespace

int main(int argc, char** argv) {
    return chs_test::RunTestsOrPeer(argc, argv, "CHS_TRANSPORT_PEER", RunPeer);
}
