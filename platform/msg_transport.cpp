// The client calls of the transport: start and exit, endpoints and their
// listeners, and sending requests and answers. Framing, sockets, connections
// and waiting requests live in the transport_*.cpp files.
#include "platform/msg_transport.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <vector>

#include "platform/om_cluster.h"
#include "platform/transport_connection.h"
#include "platform/transport_identity.h"
#include "platform/transport_limits.h"
#include "platform/transport_message.h"
#include "platform/transport_pending.h"
#include "platform/transport_runtime.h"
#include "platform/transport_tls.h"

namespace platform {
namespace transport {
namespace {

constexpr uint32_t kMaxPid = 0xFFFF;
constexpr uint32_t kAcceptRetryUnits = 10;  // 100 ms pause when out of descriptors
constexpr size_t kMaxBatchConnections = 16;  // a thread's batch spans at most so many connections

// Shared by the registry and the listener thread; the listening socket is
// closed with the last of them, so StopEndpoint never meets a reused number.
struct Endpoint {
    EndpointId id;
    MSG_ENTRY_FN entry = nullptr;
    ListenSocket socket;
    ListenSocket tcp;  // with the tcp transport: where other nodes reach it
    std::atomic<bool> bStopped{false};
    std::atomic<int64_t> lastRefusalLog{0};

    ~Endpoint() {
        for (int fd : {socket.fd, tcp.fd}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }
};

struct Client {
    std::mutex mutex;
    bool bInitialised = false;
    std::map<uint16_t, std::shared_ptr<Endpoint>> endpoints;
    bool bHasFirstPid = false;
    uint16_t usFirstPid = 0;
    // Keys of a restarted process start elsewhere than those its peers may
    // still remember.
    std::atomic<uint32_t> uiSessionKey{std::random_device{}()};
};

Client& TheClient() {
    static Client* client = new Client();  // outlives detached transport threads at exit
    return *client;
}

// The calling thread's batch (MSG_SetSendBatching): the connections on which
// it left frames for the next ones to join.
struct Batch {
    bool bOn = false;
    std::vector<std::shared_ptr<Connection>> connections;
};
thread_local Batch t_batch;

// Sends one frame, in the calling thread's batch when it has one.
bool SendFrame(const std::shared_ptr<Connection>& connection, const FrameHeader& header, const void* body) {
    if (!t_batch.bOn) {
        return connection->Send(header, body);
    }
    if (!connection->Send(header, body, true)) {
        return false;
    }
    auto& held = t_batch.connections;
    if (std::find(held.begin(), held.end(), connection) == held.end()) {
        if (held.size() >= kMaxBatchConnections) {
            MSG_FlushSends();  // a thread that never stops batching holds no closed connection for long
        }
        held.push_back(connection);
    }
    return true;
}

MSG_ENTRY_FN EntryOf(uint16_t pid) {
    Client& client = TheClient();
    std::lock_guard<std::mutex> lock(client.mutex);
    auto it = client.endpoints.find(pid);
    return it == client.endpoints.end() ? nullptr : it->second->entry;
}

bool Initialised() {
    Client& client = TheClient();
    std::lock_guard<std::mutex> lock(client.mutex);
    return client.bInitialised;
}

void HandleRequest(const std::shared_ptr<Connection>& connection, uint64_t correlation, void* message) {
    tagMsgInfo info;
    Info(message, info);
    SetRoute(message, MessageRoute{connection->Id(), correlation, connection->Id()});
    // The socket a request came by names its endpoint; a request that names
    // another one, or reaches an endpoint being removed, finds no entry.
    MSG_ENTRY_FN entry =
        info.usReceiverPID == connection->Endpoint().usPid ? EntryOf(info.usReceiverPID) : nullptr;
    if (entry == nullptr) {
        TRANSPORT_LOG(kLogWarning, "Request 0x%x for endpoint %u, which is not registered here, dropped.",
                      info.uiMsgOPCode, info.usReceiverPID);
    } else {
        EntrySlot slot;
        entry(message);
    }
    FreeMessage(message);
}

void DeliverToSender(uint16_t senderPid, void* message) {
    if (MSG_ENTRY_FN entry = EntryOf(senderPid)) {
        EntrySlot slot;
        entry(message);
    } else {
        tagMsgInfo info;
        Info(message, info);
        TRANSPORT_LOG(kLogWarning,
                      "Answer 0x%x (state %u) for endpoint %u, which is not registered here, dropped.",
                      info.uiMsgOPCode, info.uiMsgState, senderPid);
    }
    FreeMessage(message);
}

// Accepts on `listenFd`, one of the endpoint's sockets; those of the TCP one
// get a TLS session each.
void ListenLoop(const std::shared_ptr<Endpoint>& endpoint, int listenFd) {
    const bool overTls = listenFd == endpoint->tcp.fd;
    while (!endpoint->bStopped.load()) {
        int fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (endpoint->bStopped.load()) {
                break;
            }
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                TRANSPORT_LOG(kLogError, "Endpoint %u cannot accept a connection: %s.", endpoint->id.usPid,
                              strerror(errno));
                Sleep10ms(kAcceptRetryUnits);
                continue;
            }
            TRANSPORT_LOG(kLogError, "Endpoint %u stops listening: %s.", endpoint->id.usPid, strerror(errno));
            break;
        }
        size_t cap = CurrentLimits().maxConnectionsPerEndpoint;
        size_t open = IncomingCount(endpoint->id.usPid);
        if (open >= cap) {
            close(fd);
            if (RateAllows(endpoint->lastRefusalLog, std::chrono::seconds(1))) {
                TRANSPORT_LOG(kLogWarning, "Endpoint %u refuses a connection: %zu are open, the limit is %zu.",
                              endpoint->id.usPid, open, cap);
            }
            continue;
        }
        std::unique_ptr<TlsSession> tls;
        if (overTls) {
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
            std::string error;
            tls = TlsSession::New(fd, true, error);
            if (!tls) {
                close(fd);
                if (RateAllows(endpoint->lastRefusalLog, std::chrono::seconds(1))) {
                    TRANSPORT_LOG(kLogError, "Endpoint %u refuses a TLS connection: %s.", endpoint->id.usPid,
                                  error.c_str());
                }
                continue;
            }
        }
        StartConnection(std::make_shared<Connection>(fd, Connection::Role::kIncoming, endpoint->id, std::move(tls)));
    }
}

// With the tcp transport an endpoint whose pid has a port listens there too.
bool ListenOverTcp(const std::shared_ptr<Endpoint>& endpoint) {
    sockaddr_in address{};
    std::string error;
    if (!platform::Cluster().bTcpTransport) {
        return true;
    }
    if (!TcpAddress(endpoint->id, address, error)) {
        TRANSPORT_LOG(kLogInfo, "Endpoint %u is reachable from its own node only: %s.", endpoint->id.usPid,
                      error.c_str());
        return true;
    }
    endpoint->tcp = ListenTcp(endpoint->id, error);
    if (endpoint->tcp.fd < 0) {
        TRANSPORT_LOG(kLogError, "Endpoint %u cannot be registered: %s.", endpoint->id.usPid, error.c_str());
        return false;
    }
    return true;
}

void StopEndpoint(const std::shared_ptr<Endpoint>& endpoint) {
    endpoint->bStopped.store(true);
    RemoveSocketFile(endpoint->id, endpoint->socket);
    for (int fd : {endpoint->socket.fd, endpoint->tcp.fd}) {
        if (fd >= 0) {
            shutdown(fd, SHUT_RDWR);  // wakes the listener, which closes the socket
        }
    }
    ShutdownIncoming(endpoint->id.usPid);
}

// Checks the arguments of a request; on failure the buffer is released.
int CheckRequest(void* buffer, const tagMsgInfo* info, EndpointId& destination) {
    int result = 0;
    if (info == nullptr || info->uiMsgLength > Capacity(buffer)) {
        result = MSG_ERR_PARAM;
    } else if (!Initialised()) {
        result = MSG_ERR_STATE;
    } else {
        destination.usNode = ResolveNode(info->usReceiverBID);
        destination.usPid = info->usReceiverPID;
        if (destination.usNode == MSG_LOCAL_NODE_BID) {
            result = MSG_ERR_STATE;
        }
    }
    if (result != 0) {
        FreeMessage(buffer);
    }
    return result;
}

int PostAsync(const EndpointId& destination, void* buffer, const tagMsgInfo& info,
              const tagPrivateData* data) {
    PendingTable& pending = PendingTable::Instance();
    for (int attempt = 0; attempt < 2; ++attempt) {
        bool fresh = false;
        int error = 0;
        std::shared_ptr<Connection> connection = AsyncConnection(destination, fresh, error);
        if (!connection) {
            return error;
        }
        uint64_t correlation = pending.NextCorrelation();
        if (!pending.AddAsync(correlation, connection->Id(), info, data, RequestTimeout(info.uiMsgTimeout))) {
            return MSG_ERR_SEND;
        }
        if (SendFrame(connection, FrameHeader{FrameKind::kRequest, correlation, info}, buffer)) {
            return 0;
        }
        if (!pending.Withdraw(correlation)) {
            return 0;  // the dead connection already ended the post with a state-2 answer
        }
        if (fresh) {
            return MSG_ERR_SEND;
        }
        // The shared connection had died unnoticed: one more try on a new one.
    }
    return MSG_ERR_SEND;
}

int SendSync(const EndpointId& destination, void* buffer, const tagMsgInfo& info, void** answer) {
    PendingTable& pending = PendingTable::Instance();
    auto deadline = PendingTable::Clock::now() + RequestTimeout(info.uiMsgTimeout);
    for (int attempt = 0; attempt < 2; ++attempt) {
        bool fresh = false;
        int error = 0;
        std::shared_ptr<Connection> connection = AcquireSyncConnection(destination, fresh, error);
        if (!connection) {
            return error;
        }
        // The answer is read here rather than handed over by the
        // connection's thread, where the connection allows it.
        const bool ownInput = connection->TakeInput();
        uint64_t correlation = pending.NextCorrelation();
        std::shared_ptr<PendingTable::SyncWait> wait = pending.AddSync(correlation, connection->Id());
        if (!connection->Send(FrameHeader{FrameKind::kRequest, correlation, info}, buffer)) {
            pending.Withdraw(correlation);
            if (ownInput) {
                connection->ReturnInput();
            }
            if (fresh) {
                return MSG_ERR_SEND;
            }
            continue;  // an idle connection had died unnoticed
        }
        if (ownInput) {
            ReadOwnAnswer(connection, *wait, deadline);
        }
        int result = pending.WaitSync(correlation, *wait, deadline, info, answer);
        if (ownInput) {
            connection->ReturnInput();
        }
        if (result == 0) {
            ReleaseSyncConnection(connection);
        } else {
            connection->Shutdown();
        }
        return result;
    }
    return MSG_ERR_SEND;
}

}  // namespace
}  // namespace transport
}  // namespace platform

using namespace platform::transport;

int MSG_InitMsgInfo(tagMsgInfo* info) {
    if (info == nullptr) {
        return MSG_ERR_PARAM;
    }
    Client& client = TheClient();
    uint32_t key = client.uiSessionKey.fetch_add(1);
    if (key == 0) {
        key = client.uiSessionKey.fetch_add(1);
    }
    uint16_t local = LocalNode();
    *info = tagMsgInfo{};
    info->usSenderBID = local;
    {
        std::lock_guard<std::mutex> lock(client.mutex);
        info->usSenderPID = client.bHasFirstPid ? client.usFirstPid : 0;
    }
    info->usReceiverBID = MSG_LOCAL_NODE_BID;
    info->usMsgType = MSG_TYPE_REQUEST;
    info->uiSessionKey = key;
    info->usSenderNodeID = local;
    info->usReceiverNodeID = MSG_LOCAL_NODE_BID;
    return 0;
}

int MSG_PostAsyncMsg(void* buffer, const tagMsgInfo* info, const tagPrivateData* privateData) {
    if (!IsMessage(buffer)) {
        return MSG_ERR_PARAM;
    }
    EndpointId destination;
    int result = CheckRequest(buffer, info, destination);
    if (result != 0) {
        return result;
    }
    result = PostAsync(destination, buffer, *info, privateData);
    FreeMessage(buffer);
    return result;
}

int MSG_SendSyncMsg(void* buffer, const tagMsgInfo* info, void** answer) {
    if (answer != nullptr) {
        *answer = nullptr;
    }
    // What the thread batched goes first: its peers should not wait for it
    // while this thread waits.
    MSG_FlushSends();
    if (!IsMessage(buffer)) {
        return MSG_ERR_PARAM;
    }
    if (answer == nullptr) {
        FreeMessage(buffer);
        return MSG_ERR_PARAM;
    }
    EndpointId destination;
    int result = CheckRequest(buffer, info, destination);
    if (result != 0) {
        return result;
    }
    result = SendSync(destination, buffer, *info, answer);
    FreeMessage(buffer);
    return result;
}

namespace platform {
namespace transport {
namespace {

// Answers `request` on the connection it came by with `state` and `length`
// bytes of `body` (null for none).
int Answer(void* request, uint32_t state, const void* body, uint32_t length) {
    tagMsgInfo requestInfo;
    MessageRoute route;
    if (!Info(request, requestInfo) || !Route(request, route) || route.ulConnection == 0) {
        return MSG_ERR_PARAM;
    }
    std::shared_ptr<Connection> connection = FindConnection(route.ulConnection);
    if (!connection) {
        TRANSPORT_LOG(kLogInfo, "Answer 0x%x to endpoint %u of node %u not sent: its requester has gone.",
                      requestInfo.uiMsgOPCode, requestInfo.usSenderPID, requestInfo.usSenderBID);
        return MSG_ERR_SEND;
    }
    FrameHeader header{FrameKind::kAnswer, route.ulCorrelation, AnswerInfo(requestInfo, state, length)};
    int result = SendFrame(connection, header, body) ? 0 : MSG_ERR_SEND;
    connection->Answered();
    return result;
}

}  // namespace
}  // namespace transport
}  // namespace platform

int MSG_PostAckMsg(void* request, void* buffer, uint32_t length) {
    // The request itself is the transport's (or its holder's), never the answer buffer.
    if (!IsMessage(buffer) || buffer == request) {
        return MSG_ERR_PARAM;
    }
    int result = length > Capacity(buffer) ? MSG_ERR_PARAM : Answer(request, MSG_STATE_SUCCESS, buffer, length);
    FreeMessage(buffer);
    return result;
}

int MSG_RefuseMsg(void* request) {
    tagMsgInfo info;
    if (!Info(request, info)) {
        return MSG_ERR_PARAM;
    }
    return info.usMsgType == MSG_TYPE_REQUEST ? Answer(request, MSG_STATE_TIMEOUT, nullptr, 0) : 0;
}

void MSG_SetSendBatching(bool on) {
    if (!on) {
        MSG_FlushSends();
    }
    t_batch.bOn = on;
}

void MSG_FlushSends(void) {
    std::vector<std::shared_ptr<Connection>> held;
    held.swap(t_batch.connections);
    for (const std::shared_ptr<Connection>& connection : held) {
        connection->FlushBatch();
    }
}

int MSG_RegisterPID(uint32_t pid, MSG_ENTRY_FN entry) {
    if (pid > kMaxPid || entry == nullptr) {
        return MSG_ERR_PARAM;
    }
    Client& client = TheClient();
    std::unique_lock<std::mutex> lock(client.mutex);
    uint16_t local = LocalNode();
    if (!client.bInitialised || local == MSG_LOCAL_NODE_BID ||
        client.endpoints.count(static_cast<uint16_t>(pid)) > 0) {
        return MSG_ERR_STATE;
    }
    auto endpoint = std::make_shared<Endpoint>();
    endpoint->id = EndpointId{local, static_cast<uint16_t>(pid)};
    endpoint->entry = entry;
    std::string error;
    // The TCP port first: once the socket file answers, the endpoint is reachable both ways.
    if (!ListenOverTcp(endpoint)) {
        return MSG_ERR_STATE;
    }
    endpoint->socket = Listen(endpoint->id, error);
    if (endpoint->socket.fd < 0) {
        TRANSPORT_LOG(kLogError, "Endpoint %u cannot be registered: %s.", pid, error.c_str());
        return MSG_ERR_STATE;
    }
    if (!StartThread([endpoint] { ListenLoop(endpoint, endpoint->socket.fd); }) ||
        (endpoint->tcp.fd >= 0 && !StartThread([endpoint] { ListenLoop(endpoint, endpoint->tcp.fd); }))) {
        StopEndpoint(endpoint);
        return MSG_ERR_STATE;
    }
    client.endpoints[endpoint->id.usPid] = endpoint;
    if (!client.bHasFirstPid && endpoint->id.usPid < MSG_PLATFORM_PID_BASE) {
        client.bHasFirstPid = true;
        client.usFirstPid = endpoint->id.usPid;
        SetOwnEndpoint(local, endpoint->id.usPid);
    }
    lock.unlock();
    TRANSPORT_LOG(kLogInfo, "Endpoint %u of node %u registered.", pid, local);
    return 0;
}

int MSG_UnRegisterPID(uint32_t pid) {
    Client& client = TheClient();
    std::shared_ptr<Endpoint> endpoint;
    {
        std::lock_guard<std::mutex> lock(client.mutex);
        auto it = pid > kMaxPid ? client.endpoints.end() : client.endpoints.find(static_cast<uint16_t>(pid));
        if (it == client.endpoints.end()) {
            return MSG_ERR_PARAM;
        }
        endpoint = it->second;
        client.endpoints.erase(it);
    }
    StopEndpoint(endpoint);
    return 0;
}

int MSG_ClientInit(const char* name) {
    const std::string& dir = platform::Cluster().strDir;
    if (dir.empty()) {
        TRANSPORT_LOG(kLogError, "Message client %s cannot start: no cluster attached.", name ? name : "");
        return MSG_ERR_STATE;
    }
    std::string run = dir + "/run";
    if (mkdir(run.c_str(), 0755) != 0 && errno != EEXIST) {
        TRANSPORT_LOG(kLogError, "Message client cannot create %s: %s.", run.c_str(), strerror(errno));
        return MSG_ERR_STATE;
    }
    PendingTable::Instance().SetDelivery(DeliverToSender);
    SetRequestHandler(HandleRequest);
    Client& client = TheClient();
    std::lock_guard<std::mutex> lock(client.mutex);
    client.bInitialised = true;
    return 0;
}

int MSG_ClientExit(void) {
    Client& client = TheClient();
    std::map<uint16_t, std::shared_ptr<Endpoint>> endpoints;
    {
        std::lock_guard<std::mutex> lock(client.mutex);
        client.bInitialised = false;
        client.bHasFirstPid = false;
        SetOwnEndpoint(MSG_LOCAL_NODE_BID, 0);
        endpoints.swap(client.endpoints);
    }
    for (auto& [pid, endpoint] : endpoints) {
        StopEndpoint(endpoint);
    }
    ShutdownAllConnections();
    size_t dropped = PendingTable::Instance().DropAll();
    if (dropped > 0) {
        TRANSPORT_LOG(kLogInfo, "Message client exits with %zu posted requests unanswered.", dropped);
    }
    ReportLiveMessages();
    return 0;
}
