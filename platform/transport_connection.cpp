#include "platform/transport_connection.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "platform/transport_message.h"
#include "platform/transport_pending.h"
#include "platform/transport_runtime.h"

namespace platform {
namespace transport {
namespace {

constexpr size_t kMaxIdleSync = 4;  // per destination; more are closed on release

std::atomic<uint64_t> g_nextConnectionId{1};
std::atomic<RequestFn> g_requestHandler{nullptr};

uint32_t Key(const EndpointId& endpoint) {
    return (static_cast<uint32_t>(endpoint.usNode) << 16) | endpoint.usPid;
}

struct Pool {
    std::shared_ptr<Connection> async;
    std::vector<std::shared_ptr<Connection>> idle;
};

struct Registry {
    std::mutex mutex;
    std::unordered_map<uint64_t, std::shared_ptr<Connection>> connections;
    std::unordered_map<uint32_t, Pool> pools;
};

Registry& Connections() {
    static Registry* registry = new Registry();  // outlives detached reader threads at exit
    return *registry;
}

const char* Direction(const Connection& connection) {
    return connection.GetRole() == Connection::Role::kOutgoing ? "to" : "of";
}

void Forget(const std::shared_ptr<Connection>& connection) {
    Registry& registry = Connections();
    std::lock_guard<std::mutex> lock(registry.mutex);
    registry.connections.erase(connection->Id());
    auto pool = registry.pools.find(Key(connection->Endpoint()));
    if (pool == registry.pools.end() || connection->GetRole() != Connection::Role::kOutgoing) {
        return;
    }
    if (pool->second.async == connection) {
        pool->second.async.reset();
    }
    auto& idle = pool->second.idle;
    for (auto it = idle.begin(); it != idle.end(); ++it) {
        if (*it == connection) {
            idle.erase(it);
            break;
        }
    }
}

void ReaderLoop(const std::shared_ptr<Connection>& connection) {
    const bool incoming = connection->GetRole() == Connection::Role::kIncoming;
    const FrameKind expected = incoming ? FrameKind::kRequest : FrameKind::kAnswer;
    for (;;) {
        FrameHeader header;
        void* message = nullptr;
        FrameError error = FrameError::kNone;
        ReadStatus status = ReadFrame(connection->Fd(), header, message, error);
        if (status == ReadStatus::kBadFrame || (status == ReadStatus::kFrame && header.kind != expected)) {
            const char* reason =
                status == ReadStatus::kBadFrame ? FrameErrorText(error) : "unexpected frame kind";
            TRANSPORT_LOG(
                kLogWarning, "Bad frame on the connection %s endpoint %u of node %u (%s), connection closed.",
                Direction(*connection), connection->Endpoint().usPid, connection->Endpoint().usNode, reason);
            FreeMessage(message);
            break;
        }
        if (status != ReadStatus::kFrame) {
            break;
        }
        if (incoming) {
            if (RequestFn handler = g_requestHandler.load()) {
                handler(connection, header.ulCorrelation, message);
            } else {
                FreeMessage(message);
            }
        } else if (!PendingTable::Instance().Answer(connection->Id(), header.ulCorrelation, message)) {
            TRANSPORT_LOG(
                kLogDebug, "Answer 0x%x from endpoint %u of node %u matches no waiting request, dropped.",
                header.info.uiMsgOPCode, connection->Endpoint().usPid, connection->Endpoint().usNode);
            FreeMessage(message);
        }
    }
    connection->Shutdown();
    Forget(connection);
    if (!incoming) {
        PendingTable::Instance().FailConnection(connection->Id());
    }
}

std::shared_ptr<Connection> Open(const EndpointId& destination, int& error) {
    int fd = Connect(destination);
    if (fd < 0) {
        TRANSPORT_LOG(kLogDebug, "Endpoint %u of node %u cannot be reached: %s.", destination.usPid,
                      destination.usNode, strerror(errno));
        error = MSG_ERR_UNREACHABLE;
        return nullptr;
    }
    SetSendStallLimit(fd);
    auto connection = std::make_shared<Connection>(fd, Connection::Role::kOutgoing, destination);
    if (!StartConnection(connection)) {
        error = MSG_ERR_SEND;
        return nullptr;
    }
    return connection;
}

}  // namespace

Connection::Connection(int fd, Role role, const EndpointId& endpoint)
    : m_fd(fd), m_role(role), m_endpoint(endpoint), m_ulId(g_nextConnectionId.fetch_add(1)) {}

Connection::~Connection() { close(m_fd); }

bool Connection::Send(const FrameHeader& header, const void* body) {
    std::lock_guard<std::mutex> lock(m_writeMutex);
    if (m_bDead.load()) {
        return false;
    }
    if (!WriteFrame(m_fd, header, body)) {
        // A frame cut short would desynchronise the stream: nothing more may follow it.
        TRANSPORT_LOG(kLogWarning, "Sending on the connection %s endpoint %u of node %u failed: %s.",
                      Direction(*this), m_endpoint.usPid, m_endpoint.usNode, strerror(errno));
        Shutdown();
        return false;
    }
    return true;
}

void Connection::Shutdown() {
    m_bDead.store(true);
    shutdown(m_fd, SHUT_RDWR);
}

void SetRequestHandler(RequestFn handler) { g_requestHandler.store(handler); }

bool StartConnection(const std::shared_ptr<Connection>& connection) {
    Registry& registry = Connections();
    {
        std::lock_guard<std::mutex> lock(registry.mutex);
        registry.connections[connection->Id()] = connection;
    }
    if (!StartThread([connection] { ReaderLoop(connection); })) {
        connection->Shutdown();
        Forget(connection);
        return false;
    }
    return true;
}

std::shared_ptr<Connection> FindConnection(uint64_t id) {
    Registry& registry = Connections();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto it = registry.connections.find(id);
    return it == registry.connections.end() ? nullptr : it->second;
}

void ShutdownIncoming(uint16_t pid) {
    Registry& registry = Connections();
    std::lock_guard<std::mutex> lock(registry.mutex);
    for (auto& [id, connection] : registry.connections) {
        if (connection->GetRole() == Connection::Role::kIncoming && connection->Endpoint().usPid == pid) {
            connection->Shutdown();
        }
    }
}

void ShutdownAllConnections() {
    Registry& registry = Connections();
    std::lock_guard<std::mutex> lock(registry.mutex);
    for (auto& [id, connection] : registry.connections) {
        connection->Shutdown();
    }
    registry.pools.clear();
}

size_t ConnectionCount() {
    Registry& registry = Connections();
    std::lock_guard<std::mutex> lock(registry.mutex);
    return registry.connections.size();
}

std::shared_ptr<Connection> AcquireSyncConnection(const EndpointId& destination, bool& fresh, int& error) {
    Registry& registry = Connections();
    {
        std::lock_guard<std::mutex> lock(registry.mutex);
        auto pool = registry.pools.find(Key(destination));
        while (pool != registry.pools.end() && !pool->second.idle.empty()) {
            std::shared_ptr<Connection> connection = pool->second.idle.back();
            pool->second.idle.pop_back();
            if (!connection->Dead()) {
                fresh = false;
                return connection;
            }
        }
    }
    fresh = true;
    return Open(destination, error);
}

void ReleaseSyncConnection(const std::shared_ptr<Connection>& connection) {
    Registry& registry = Connections();
    std::lock_guard<std::mutex> lock(registry.mutex);
    if (!connection->Dead() && registry.connections.count(connection->Id()) > 0) {
        auto& idle = registry.pools[Key(connection->Endpoint())].idle;
        if (idle.size() < kMaxIdleSync) {
            idle.push_back(connection);
            return;
        }
    }
    connection->Shutdown();
}

std::shared_ptr<Connection> AsyncConnection(const EndpointId& destination, bool& fresh, int& error) {
    Registry& registry = Connections();
    {
        std::lock_guard<std::mutex> lock(registry.mutex);
        std::shared_ptr<Connection>& async = registry.pools[Key(destination)].async;
        if (async && !async->Dead()) {
            fresh = false;
            return async;
        }
    }
    std::shared_ptr<Connection> connection = Open(destination, error);
    if (!connection) {
        return nullptr;
    }
    fresh = true;
    std::lock_guard<std::mutex> lock(registry.mutex);
    std::shared_ptr<Connection>& async = registry.pools[Key(destination)].async;
    if (async && !async->Dead()) {
        // Another poster connected meanwhile; one shared connection keeps posts in order.
        connection->Shutdown();
        fresh = false;
        return async;
    }
    async = connection;
    return connection;
}

}  // namespace transport
}  // namespace platform
