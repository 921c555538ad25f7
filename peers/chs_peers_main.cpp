// chs-peers: the sibling modules of the daemon on one node (remote-service
// agent 550, alarm service 561, access authentication 567, synchronisation
// service 569, SSH port 575).
//
//   chs-peers <cluster.json> <node-id> <node-root>
//
// The node's daemon holds its presence; this process only attaches. It
// prints "ready" on standard output once every endpoint is registered.
#include <malloc.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>

#include "include/infocollector/https_client.h"
#include "infra/chs_log.h"
#include "infra/descriptors.h"
#include "msg/msg_api.h"
#include "peers/access_auth.h"
#include "peers/alarm_service.h"
#include "peers/peer_codes.h"
#include "peers/peer_context.h"
#include "peers/peer_dispatcher.h"
#include "peers/remote_agent.h"
#include "peers/ssh_port_service.h"
#include "peers/sync_service.h"
#include "platform/dplog.h"
#include "platform/om_cluster.h"

namespace {

constexpr unsigned int kWorkers = 4;

int Usage() {
    fprintf(stderr, "usage: chs-peers <cluster.json> <node-id> <node-root>\n");
    return 1;
}

bool ParseNodeId(const char* text, uint16_t& nodeId) {
    char* end = nullptr;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 0 || value > 15) {
        return false;
    }
    nodeId = static_cast<uint16_t>(value);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // What the launcher left open never reaches the programs this process starts.
    MarkInheritedDescriptorsCloseOnExec();
    // Every request runs on a short-lived worker; without a cap each new
    // thread may open another malloc arena that keeps what it freed (about
    // 1 MB each, up to eight per core), so the resident size crept up for
    // minutes before it levelled off.
    mallopt(M_ARENA_MAX, 2);
    uint16_t nodeId = 0;
    if (argc != 4 || !ParseNodeId(argv[2], nodeId) || argv[1][0] == '\0' || argv[3][0] == '\0') {
        return Usage();
    }
    std::string nodeRoot = argv[3];
    std::string error;
    if (!platform::AttachCluster(argv[1], nodeId, nodeRoot, false, error)) {
        fprintf(stderr, "chs-peers: %s\n", error.c_str());
        return 1;
    }
    std::string logDir = nodeRoot + "/var/log/chs";
    std::error_code ec;
    std::filesystem::create_directories(logDir, ec);
    platform::LogOpen(logDir + "/chs-peers.log");
    SetModuleID(chs_peers::PEERS_LOG_MODULE);

    // Once, before any worker thread may upload.
    if (!CURL_Init()) {
        fprintf(stderr, "chs-peers: libcurl does not initialise\n");
        return 1;
    }
    if (msg_api::StartClient() != 0) {
        fprintf(stderr, "chs-peers: the message transport does not start\n");
        return 1;
    }
    // Lives as long as the process: the workers and reader threads use it.
    auto* context = new chs_peers::PeerContext(platform::Cluster(), nodeId, nodeRoot);
    chs_peers::PeerDispatcher& dispatcher = chs_peers::PeerDispatcher::Instance();
    dispatcher.Start(kWorkers);
    bool registered = dispatcher.Add(std::make_unique<chs_peers::RemoteAgent>(*context)) &&
                      dispatcher.Add(std::make_unique<chs_peers::AlarmService>(*context)) &&
                      dispatcher.Add(std::make_unique<chs_peers::AccessAuth>(*context)) &&
                      dispatcher.Add(std::make_unique<chs_peers::SyncService>(*context)) &&
                      dispatcher.Add(std::make_unique<chs_peers::SshPortService>(*context));
    if (!registered) {
        fprintf(stderr,
                "chs-peers: an endpoint cannot be registered (is another chs-peers running for node %u?)\n",
                nodeId);
        return 1;
    }
    CHS_LOG(1, chs_peers::LOGID_PEERS, "chs-peers serves node %u.", nodeId);
    printf("ready\n");
    fflush(stdout);
    for (;;) {
        pause();
    }
}
