#include "platform/transport_connection.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "platform/transport_limits.h"
#include "platform/transport_message.h"
#include "platform/transport_pending.h"
#include "platform/transport_runtime.h"

namespace platform {
namespace transport {
namespace {

constexpr size_t kMaxIdleSync = 4;  // per destination; more are closed on release
constexpr size_t kTlsJoinBytes = 16u << 10;  // the largest TLS record

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

std::shared_ptr<Connection> Open(const EndpointId& destination, int& error) {
    std::unique_ptr<TlsSession> tls;
    int fd = Connect(destination, true, &tls);
    if (fd < 0) {
        TRANSPORT_LOG(kLogDebug, "Endpoint %u of node %u cannot be reached: %s.", destination.usPid,
                      destination.usNode, strerror(errno));
        error = MSG_ERR_UNREACHABLE;
        return nullptr;
    }
    auto connection = std::make_shared<Connection>(fd, Connection::Role::kOutgoing, destination, std::move(tls));
    if (!StartConnection(connection)) {
        error = MSG_ERR_SEND;
        return nullptr;
    }
    return connection;
}

}  // namespace

Connection::Connection(int fd, Role role, const EndpointId& endpoint, std::unique_ptr<TlsSession> tls)
    : m_fd(fd),
      m_tls(std::move(tls)),
      m_wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      m_role(role),
      m_endpoint(endpoint),
      m_ulId(g_nextConnectionId.fetch_add(1)),
      m_lastActivityMs(NowMs()),
      m_assembler(BodyLimit(endpoint, role == Role::kIncoming),
                  CurrentLimits().maxPendingBytesPerConnection) {
    fcntl(m_fd, F_SETFL, fcntl(m_fd, F_GETFL) | O_NONBLOCK);
}

Connection::~Connection() {
    close(m_fd);
    if (m_wake >= 0) {
        close(m_wake);
    }
}

bool Connection::Send(const FrameHeader& header, const void* body, bool batch) {
    uint32_t length = header.info.uiMsgLength;
    if (length > 0 && body == nullptr) {
        return false;
    }
    uint8_t head[kFrameHeaderSize];
    EncodeFrameHeader(header, head);
    std::unique_lock<std::mutex> lock(m_writeMutex);
    if (m_bDead.load()) {
        return false;
    }
    size_t written = 0;
    size_t total = kFrameHeaderSize + length;
    const int64_t now = NowMs();
    // The first frame of a batch is written at once, like any other: a
    // socket that died unnoticed fails its sender here, who may try a new
    // connection. Those that follow within kBatchHoldMs join it.
    const bool join = batch && m_batchUntilMs.load() > now;
    if (m_queue.empty() && !join) {
        while (written < total) {
            iovec parts[2];
            int count = 0;
            if (written < kFrameHeaderSize) {
                parts[count++] = iovec{head + written, kFrameHeaderSize - written};
            }
            size_t bodyDone = written > kFrameHeaderSize ? written - kFrameHeaderSize : 0;
            if (length > bodyDone) {
                parts[count++] = iovec{const_cast<uint8_t*>(static_cast<const uint8_t*>(body)) + bodyDone,
                                       length - bodyDone};
            }
            ssize_t sent = WriteSome(parts, count);
            if (sent < 0) {
                if (errno == EINTR) {
                    continue;
                }
                if (errno == EAGAIN || errno == EWOULDBLOCK) {
                    break;
                }
                return FailSend();
            }
            written += static_cast<size_t>(sent);
        }
        m_lastActivityMs = now;
        if (written == total) {
            if (batch) {
                m_batchUntilMs = now + kBatchHoldMs;
            }
            return true;
        }
    }
    Limits limits = CurrentLimits();
    auto full = [&] {
        return !m_queue.empty() &&
               (m_queue.size() >= limits.maxQueuedFrames || m_queuedBytes + total - written > limits.maxQueuedBytes);
    };
    if (m_role == Role::kOutgoing && full()) {
        // This process's own requests: the poster waits for room (the peer
        // reads, slowly) rather than losing what it posted.
        // In slices: Shutdown may notify without the mutex (it runs under it, too).
        auto until = std::chrono::steady_clock::now() + limits.sendStall;
        while (!m_bDead.load() && full() && std::chrono::steady_clock::now() < until) {
            m_room.wait_for(lock, std::chrono::milliseconds(100));
        }
        if (m_bDead.load()) {
            return false;
        }
    }
    if (full()) {
        static std::atomic<int64_t> lastLog{0};
        if (RateAllows(lastLog, std::chrono::seconds(1))) {
            TRANSPORT_LOG(kLogWarning,
                          "The connection %s endpoint %u of node %u is closed: %zu frames (%zu bytes) wait "
                          "to be written, the peer does not read its answers.",
                          Direction(*this), m_endpoint.usPid, m_endpoint.usNode, m_queue.size(),
                          m_queuedBytes.load());
        }
        Shutdown();
        return false;
    }
    // A cut frame would desynchronise the stream: its rest goes first in line.
    std::vector<uint8_t> rest;
    rest.reserve(total - written);
    if (written < kFrameHeaderSize) {
        rest.insert(rest.end(), head + written, head + kFrameHeaderSize);
    }
    size_t bodyDone = written > kFrameHeaderSize ? written - kFrameHeaderSize : 0;
    const uint8_t* bytes = static_cast<const uint8_t*>(body);
    if (length > bodyDone) {
        rest.insert(rest.end(), bytes + bodyDone, bytes + length);
    }
    const bool wasEmpty = m_queue.empty();
    if (wasEmpty) {
        m_lastWriteMs = now;
    }
    m_queuedBytes += rest.size();
    m_queue.push_back(std::move(rest));
    m_queuedFrames.store(m_queue.size());
    m_bQueued.store(true);
    bool flushed = false;
    if (batch && (m_queue.size() >= kBatchFrames || m_queuedBytes >= kBatchBytes)) {
        if (!Flush()) {
            return FailSend();
        }
        if (m_queue.empty()) {
            m_batchUntilMs = 0;
            return true;
        }
        flushed = true;  // the socket is full: the rest waits for it, not for the batch
    }
    // The connection's thread writes the queue from the time it is due; it
    // is woken when that time comes earlier than it knew.
    int64_t until = 0;
    if (batch && !flushed) {
        until = m_batchUntilMs.load() > now ? m_batchUntilMs.load() : now + kBatchHoldMs;
    }
    bool sooner = wasEmpty || until < m_batchUntilMs;
    m_batchUntilMs = until;
    if (sooner) {
        WakeThread();
    }
    return true;
}

bool Connection::FailSend() {
    TRANSPORT_LOG(kLogWarning, "Sending on the connection %s endpoint %u of node %u failed: %s.",
                  Direction(*this), m_endpoint.usPid, m_endpoint.usNode, strerror(errno));
    Shutdown();
    return false;
}

void Connection::WakeThread() {
    if (m_wake >= 0) {
        uint64_t one = 1;
        ssize_t ignored = write(m_wake, &one, sizeof(one));
        (void)ignored;
    }
}

void Connection::FlushBatch() {
    std::lock_guard<std::mutex> lock(m_writeMutex);
    if (m_bDead.load() || m_queue.empty() || m_batchUntilMs == 0) {
        // Nothing of a batch waits (the connection's thread writes what is
        // queued); the next batch starts with a frame written at once.
        if (m_queue.empty()) {
            m_batchUntilMs = 0;
        }
        return;
    }
    if (!Flush()) {
        (void)FailSend();
        return;
    }
    if (!m_queue.empty()) {
        // The socket is full: the connection's thread writes the rest as it drains.
        m_batchUntilMs = 0;
        WakeThread();
    }
}

ssize_t Connection::WriteSome(const iovec* parts, int count) {
    if (!m_tls) {
        msghdr message{};
        message.msg_iov = const_cast<iovec*>(parts);
        message.msg_iovlen = static_cast<size_t>(count);
        return sendmsg(m_fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    // One TLS record for a small frame rather than one for its header and
    // one for its body. A write the socket did not take is retried later
    // with the same bytes from the queue, as TLS requires.
    uint8_t joined[kTlsJoinBytes];
    if (count == 2 && parts[0].iov_len + parts[1].iov_len <= sizeof(joined)) {
        memcpy(joined, parts[0].iov_base, parts[0].iov_len);
        memcpy(joined + parts[0].iov_len, parts[1].iov_base, parts[1].iov_len);
        return m_tls->Write(joined, parts[0].iov_len + parts[1].iov_len);
    }
    return m_tls->Write(parts[0].iov_base, parts[0].iov_len);
}

bool Connection::Flush() {
    // Without TLS queued frames leave together, as many as one call takes.
    constexpr int kMaxParts = 64;
    while (!m_queue.empty()) {
        iovec parts[kMaxParts];
        int count = 0;
        size_t offset = m_headWritten;
        for (auto it = m_queue.begin(); it != m_queue.end() && count < (m_tls ? 1 : kMaxParts); ++it) {
            parts[count++] = iovec{it->data() + offset, it->size() - offset};
            offset = 0;
        }
        ssize_t sent = WriteSome(parts, count);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        m_lastWriteMs = NowMs();
        m_lastActivityMs = m_lastWriteMs.load();
        size_t left = static_cast<size_t>(sent);
        while (left > 0 && !m_queue.empty()) {
            std::vector<uint8_t>& front = m_queue.front();
            size_t rest = front.size() - m_headWritten;
            if (left < rest) {
                m_headWritten += left;
                break;
            }
            left -= rest;
            m_queuedBytes -= front.size();
            m_queue.pop_front();
            m_headWritten = 0;
        }
        m_queuedFrames.store(m_queue.size());
        m_bQueued.store(!m_queue.empty());
        m_room.notify_all();
    }
    m_batchUntilMs = 0;
    return true;
}

size_t Connection::QueuedFrames() {
    std::lock_guard<std::mutex> lock(m_writeMutex);
    return m_queue.size();
}

void Connection::RequestArrived(std::chrono::milliseconds timeout) {
    std::lock_guard<std::mutex> lock(m_flightMutex);
    ++m_inFlight;
    m_inFlightUntilMs = std::max(m_inFlightUntilMs, NowMs() + static_cast<int64_t>(timeout.count()));
}

void Connection::Answered() {
    std::lock_guard<std::mutex> lock(m_flightMutex);
    if (m_inFlight > 0) {
        --m_inFlight;
    }
}

bool Connection::InFlight() {
    if (m_role == Role::kOutgoing) {
        return PendingTable::Instance().Busy(m_ulId);
    }
    std::lock_guard<std::mutex> lock(m_flightMutex);
    return m_inFlight > 0 && NowMs() < m_inFlightUntilMs;
}

bool Connection::TakeInput() {
    if (m_role != Role::kOutgoing || m_tls) {
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_readMutex);
        m_bSenderReads.store(true);
    }
    // The thread may be waiting for input since before the flag was set: it
    // would wake for the answer and find nothing to do. It sets
    // m_bLoopPollsInput before it looks at the flag, so one of the two sees
    // the other.
    if (m_bLoopPollsInput.load()) {
        WakeThread();
    }
    return true;
}

void Connection::ReturnInput() {
    // The thread looks at the socket again at its next wake-up (a peer that
    // closes wakes it at once); there is no answer to wait for until then.
    std::lock_guard<std::mutex> lock(m_readMutex);
    m_bSenderReads.store(false);
}

void Connection::Shutdown() {
    m_bDead.store(true);
    shutdown(m_fd, SHUT_RDWR);
    m_room.notify_all();
}

void SetRequestHandler(RequestFn handler) { g_requestHandler.store(handler); }

RequestFn CurrentRequestHandler() { return g_requestHandler.load(); }

void ForgetConnection(const std::shared_ptr<Connection>& connection) { Forget(connection); }

bool StartConnection(const std::shared_ptr<Connection>& connection) {
    Registry& registry = Connections();
    {
        std::lock_guard<std::mutex> lock(registry.mutex);
        registry.connections[connection->Id()] = connection;
    }
    if (!StartThread([connection] { IoLoop(connection); })) {
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

size_t IncomingCount(uint16_t pid) {
    Registry& registry = Connections();
    std::lock_guard<std::mutex> lock(registry.mutex);
    size_t count = 0;
    for (auto& [id, connection] : registry.connections) {
        count += connection->GetRole() == Connection::Role::kIncoming && connection->Endpoint().usPid == pid;
    }
    return count;
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
