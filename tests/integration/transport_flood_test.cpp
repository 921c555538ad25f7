// A flood on one real node (daemon and sibling modules) over loopback: eight
// clients send 10,000 switch queries each: three synchronously, three posted
// asynchronously, two on raw connections that never read their answers.
// Every synchronous and posted request ends once (answered, or dropped by the
// dispatcher's queue limit and ended by its time-out), the daemon's memory
// stays bounded and it answers normally afterwards.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <dirent.h>
#include <exception>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "msg/chs_wire.h"
#include "msg/inner_msg.h"
#include "msg/msg_api.h"
#include "platform/om_cluster.h"
#include "platform/transport_frame.h"
#include "tests/support/cluster_setup.h"
#include "tests/support/sim_cluster.h"
#include "tests/support/transport_util.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define CHS_FLOOD_UNDER_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define CHS_FLOOD_UNDER_ASAN 1
#endif

namespace {

// The daemon's memory may grow this much under the flood. AddressSanitizer
// keeps freed blocks in its quarantine (256 MB by default), so a sanitized
// daemon's resident size grows with what it freed, not with what it holds.
#ifdef CHS_FLOOD_UNDER_ASAN
constexpr long kMaxGrowthKiB = 512 * 1024;
#else
constexpr long kMaxGrowthKiB = 64 * 1024;
#endif

using namespace platform::transport;

constexpr int kPerClient = 10000;
constexpr uint16_t kOwnPid = 700;
constexpr uint32_t kTimeoutSec = 3;

std::atomic<int> g_answered{0};
std::atomic<int> g_timedOut{0};

int OwnEntry(void* message) {
    tagMsgInfo info{};
    MSG_GetMsgInfo(message, &info);
    if (info.usMsgType == MSG_TYPE_RESPONSE) {
        ++(info.uiMsgState == MSG_STATE_SUCCESS ? g_answered : g_timedOut);
    }
    return 0;
}

// The daemon's resident memory in KiB (0 when it cannot be read).
long DaemonRssKb(const std::string& cluster) {
    DIR* proc = opendir("/proc");
    long rss = 0;
    while (dirent* entry = proc != nullptr ? readdir(proc) : nullptr) {
        std::string base = std::string("/proc/") + entry->d_name;
        // A process may end while it is read: the file buffer then throws
        // (ESRCH), whatever the stream's exception mask says.
        try {
            std::ifstream cmdline(base + "/cmdline");
            std::string args((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
            if (args.find("infocollector") == std::string::npos || args.find(cluster) == std::string::npos) {
                continue;
            }
            std::ifstream status(base + "/status");
            for (std::string line; std::getline(status, line);) {
                if (line.rfind("VmRSS:", 0) == 0) {
                    rss = std::stol(line.substr(6));
                }
            }
        } catch (const std::exception&) {
            continue;
        }
    }
    if (proc != nullptr) {
        closedir(proc);
    }
    return rss;
}

TEST(TransportFloodTest, EightClientsOfTenThousandRequestsEach) {
    chs_test::TempDir dir;
    chs_test::SimCluster sim(dir, 1, {}, "{}");
    ASSERT_TRUE(sim.StartNode(0)) << sim.DaemonLog(0);
    chs_test::AttachAs(sim.Dir(), 0, false);
    ASSERT_EQ(msg_api::StartClient(), 0);
    ASSERT_EQ(msg_api::RegisterPID(kOwnPid, OwnEntry), 0);

    InnerMsg query;
    MsgRecord* record = new MsgRecord(chs_wire::RECORD_QUERY_SWITCH);
    record->appendInner(CTLVCell::NewEnum(chs_wire::SWITCH_TAG_QUALIFIER, chs_wire::SWITCH_QUALIFIER));
    query.GetBody().append(record);
    tagMsgInfo& info = query.GetMsgInfo();
    info.usSenderPID = kOwnPid;
    info.usReceiverBID = 0;
    info.usReceiverPID = chs_wire::PID_COLLECTOR;
    info.uiMsgOPCode = MSG_OPCODE_GENERAL;
    info.uiMsgTimeout = kTimeoutSec;
    unsigned char* encoded = nullptr;
    unsigned int length = query.Encode(encoded);
    ASSERT_NE(length, MSG_CODEC_FAILURE);
    std::string body(reinterpret_cast<char*>(encoded), length);
    msg_api::FreeMsg(encoded);
    auto newBody = [&] { return chs_test::NewBody(body); };
    long rssBefore = DaemonRssKb(sim.Dir());
    std::atomic<long> rssPeak{rssBefore};
    std::atomic<bool> flooding{true};
    std::thread sampler([&] {
        while (flooding) {
            long now = DaemonRssKb(sim.Dir());
            rssPeak = std::max(rssPeak.load(), now);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });

    std::atomic<int> syncAnswered{0}, syncFailed{0}, posted{0}, postFailed{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < 3; ++c) {
        clients.emplace_back([&] {
            for (int i = 0; i < kPerClient; ++i) {
                void* answer = nullptr;
                int rc = msg_api::SendSyncMsg(newBody(), &info, &answer);
                ++(rc == 0 ? syncAnswered : syncFailed);
                msg_api::FreeMsg(answer);
            }
        });
        clients.emplace_back([&] {
            for (int i = 0; i < kPerClient; ++i) {
                ++(msg_api::PostAsyncMsg(newBody(), &info, nullptr) == 0 ? posted : postFailed);
            }
        });
    }
    std::string socketPath = sim.Dir() + "/run/ep-0-551.sock";
    for (int c = 0; c < 2; ++c) {
        clients.emplace_back([&] {
            int fd = chs_test::ConnectTo(socketPath);
            if (fd < 0) {
                return;
            }
            timeval stall{2, 0};  // the daemon stops reading, then closes this connection
            setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &stall, sizeof(stall));
            for (uint64_t i = 1; i <= kPerClient; ++i) {
                std::vector<uint8_t> frame = EncodeFrame(FrameHeader{FrameKind::kRequest, i, info}, body.data());
                if (send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size())) {
                    break;
                }
            }
            close(fd);
        });
    }
    for (std::thread& client : clients) {
        client.join();
    }
    EXPECT_TRUE(chs_test::WaitFor([&] { return g_answered + g_timedOut == posted.load(); }, 30000))
        << g_answered << " answered + " << g_timedOut << " timed out of " << posted << " posted";
    flooding = false;
    sampler.join();
    EXPECT_EQ(syncAnswered + syncFailed, 3 * kPerClient);
    EXPECT_EQ(posted + postFailed, 3 * kPerClient);
    EXPECT_EQ(postFailed.load(), 0);
    EXPECT_GT(syncAnswered.load(), 0);
    EXPECT_GT(g_answered.load(), 0);
    EXPECT_LT(rssPeak.load() - rssBefore, kMaxGrowthKiB) << "KiB of daemon memory grown under the flood";
    printf("flood: sync %d answered, %d failed; async %d answered, %d ended by time-out; daemon RSS %ld -> peak %ld KiB\n",
           syncAnswered.load(), syncFailed.load(), g_answered.load(), g_timedOut.load(), rssBefore, rssPeak.load());

    void* answer = nullptr;
    EXPECT_EQ(msg_api::SendSyncMsg(newBody(), &info, &answer), 0) << "the node serves normally afterwards";
    msg_api::FreeMsg(answer);
    msg_api::ClientExit();
    platform::DetachCluster();
}

}  // namespace
