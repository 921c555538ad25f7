// The thread of one connection: reading frames, writing the queue, and the
// deadlines that close a connection (transport_connection.h).
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <vector>

#include "platform/transport_connection.h"
#include "platform/transport_identity.h"
#include "platform/transport_limits.h"
#include "platform/transport_message.h"
#include "platform/transport_pending.h"
#include "platform/transport_reader.h"
#include "platform/transport_runtime.h"
#include "platform/transport_tls.h"

namespace platform {
namespace transport {
namespace {

constexpr size_t kMaxHeldPids = 16;  // pids probed per accepted connection
constexpr int kBadFrameLogsPerSecond = 10;
constexpr int kNoWakePollMs = 50;
constexpr int64_t kHandshakeMs = 10000;  // at most; the frame deadline when shorter

// Bad frames close their connection; a flood of such connections logs at most
// a few lines a second.
bool BadFrameLogAllowed() {
    static std::atomic<int64_t> windowStart{0};
    static std::atomic<int> count{0};
    int64_t now = NowMs();
    if (now - windowStart.load() >= 1000) {
        windowStart.store(now);
        count.store(0);
    }
    return count.fetch_add(1) < kBadFrameLogsPerSecond;
}

const char* Direction(const Connection& connection) {
    return connection.GetRole() == Connection::Role::kOutgoing ? "to" : "of";
}

// The identity of an accepted connection; for TLS, after its handshake.
// False when the connection is to be closed.
bool Identify(Connection& c, PeerIdentity& identity) {
    TlsSession* tls = c.Tls();
    if (tls == nullptr) {
        identity = Authenticate(c.Fd());
        return true;
    }
    std::string error;
    int64_t limit = std::min<int64_t>(kHandshakeMs, CurrentLimits().frameDeadline.count());
    if (!tls->Handshake(NowMs() + limit, error)) {
        static std::atomic<int64_t> lastLog{0};
        if (RateAllows(lastLog, std::chrono::seconds(1))) {
            TRANSPORT_LOG(kLogWarning, "TLS connection to endpoint %u refused: %s.", c.Endpoint().usPid,
                          error.c_str());
        }
        return false;
    }
    identity = NodeIdentity(tls->PeerNode());
    return true;
}

// A TLS peer is its certificate's node; a request naming another node as its
// sender shows a peer that tries to speak for one it is not.
bool SpeaksForAnother(const PeerIdentity& identity, const tagMsgInfo& info) {
    return identity.bWholeNode && info.usSenderNodeID != identity.endpoint.usNode &&
           info.usSenderNodeID != MSG_LOCAL_NODE_BID;
}

}  // namespace

void IoLoop(const std::shared_ptr<Connection>& connection) {
    Connection& c = *connection;
    const bool incoming = c.GetRole() == Connection::Role::kIncoming;
    const FrameKind expected = incoming ? FrameKind::kRequest : FrameKind::kAnswer;
    PeerIdentity identity;
    std::vector<uint16_t> heldPids;
    if (incoming) {
        if (!Identify(c, identity)) {
            c.Shutdown();
            ForgetConnection(connection);
            return;
        }
        if (identity.bNode) {
            heldPids.push_back(identity.endpoint.usPid);
        }
    }
    TlsSession* const tls = c.Tls();
    FrameAssembler assembler(BodyLimit(c.Endpoint(), incoming), CurrentLimits().maxPendingBytesPerConnection);
    const char* why = nullptr;  // why the connection closes, when it is worth a line
    for (bool stop = false; !stop;) {
        Limits limits = CurrentLimits();
        const int64_t stallMs = limits.sendStall.count();
        const int64_t idleMs = incoming ? limits.idleLimit.count() : limits.idleLimit.count() / 2;
        // Requests are read while their answers have room to queue.
        auto roomToRead = [&] {
            return !incoming || (c.m_queue.size() < limits.maxQueuedFrames / 2 &&
                                 c.m_queuedBytes < limits.maxQueuedBytes / 2);
        };
        bool queued = false;
        bool readable = true;
        int64_t lastWrite = 0;
        if (c.m_bQueued.load()) {
            std::lock_guard<std::mutex> lock(c.m_writeMutex);
            queued = !c.m_queue.empty();
            lastWrite = c.m_lastWriteMs;
            readable = roomToRead();
        }
        int64_t now = NowMs();
        int64_t wakeAt = LLONG_MAX;
        if (assembler.Partial()) {
            wakeAt = std::min(wakeAt, assembler.StartedMs() + limits.frameDeadline.count());
        } else if (!queued) {
            wakeAt = std::min(wakeAt, c.m_lastActivityMs.load() + idleMs);
        }
        if (queued) {
            wakeAt = std::min(wakeAt, lastWrite + stallMs);
        }
        int timeout = wakeAt == LLONG_MAX ? -1 : static_cast<int>(std::clamp<int64_t>(wakeAt - now, 0, INT_MAX));
        // Bytes already decrypted or read ahead: the socket may have nothing more.
        const bool held = readable && (assembler.Buffered() || (tls != nullptr && tls->Pending()));
        if (held) {
            timeout = 0;
        }
        if (c.m_wake < 0 && (timeout < 0 || timeout > kNoWakePollMs)) {
            timeout = kNoWakePollMs;  // without its eventfd the thread looks for queued bytes itself
        }
        short events = static_cast<short>((readable ? POLLIN : 0) | (queued ? POLLOUT : 0));
        pollfd fds[2] = {{c.Fd(), events, 0}, {c.m_wake, POLLIN, 0}};
        int ready = poll(fds, c.m_wake >= 0 ? 2 : 1, timeout);
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (held) {
            fds[0].revents |= POLLIN;
            ready = std::max(ready, 1);
        }
        if (ready > 0 && (fds[1].revents & POLLIN) != 0) {
            uint64_t count = 0;
            ssize_t ignored = read(c.m_wake, &count, sizeof(count));
            (void)ignored;
        }
        if (ready > 0 && (fds[0].revents & POLLOUT) != 0) {
            std::lock_guard<std::mutex> lock(c.m_writeMutex);
            if (!c.Flush()) {
                break;
            }
        }
        while (ready > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && (readable || !queued)) {
            if (readable && !assembler.Partial() && c.m_bQueued.load()) {
                std::lock_guard<std::mutex> lock(c.m_writeMutex);
                if (!roomToRead()) {
                    break;
                }
            }
            FrameHeader header;
            void* message = nullptr;
            FrameError error = FrameError::kNone;
            FrameAssembler::Step step = assembler.Read(c.Fd(), header, message, error, tls);
            if (step == FrameAssembler::Step::kWouldBlock) {
                break;
            }
            if (step == FrameAssembler::Step::kBadFrame ||
                (step == FrameAssembler::Step::kFrame && header.kind != expected)) {
                why = step == FrameAssembler::Step::kBadFrame ? FrameErrorText(error) : "unexpected frame kind";
                FreeMessage(message);
                stop = true;
                break;
            }
            if (step != FrameAssembler::Step::kFrame) {
                stop = true;
                break;
            }
            c.m_lastActivityMs = NowMs();
            tagMsgInfo info;
            Info(message, info);
            if (incoming) {
                if (SpeaksForAnother(identity, info)) {
                    static std::atomic<int64_t> lastLog{0};
                    if (RateAllows(lastLog, std::chrono::seconds(1))) {
                        TRANSPORT_LOG(kLogWarning,
                                      "A TLS connection with the certificate of node %u speaks as node %u; "
                                      "connection to endpoint %u closed.",
                                      identity.endpoint.usNode, info.usSenderNodeID, c.Endpoint().usPid);
                    }
                    FreeMessage(message);
                    stop = true;
                    break;
                }
                bool held = identity.bWholeNode ||
                            (identity.bNode &&
                             std::find(heldPids.begin(), heldPids.end(), info.usSenderPID) != heldPids.end());
                if (identity.bNode && !held && heldPids.size() < kMaxHeldPids &&
                    PeerHolds(c.Fd(), EndpointId{identity.endpoint.usNode, info.usSenderPID})) {
                    heldPids.push_back(info.usSenderPID);
                    held = true;
                }
                StampRequest(info, identity, held);
                SetInfo(message, info);
                if (info.usMsgType == MSG_TYPE_REQUEST) {
                    c.RequestArrived(RequestTimeout(info.uiMsgTimeout));
                }
                if (RequestFn handler = CurrentRequestHandler()) {
                    handler(connection, header.ulCorrelation, message);
                } else {
                    FreeMessage(message);
                }
            } else {
                StampAnswer(info, c.Endpoint());
                SetInfo(message, info);
                SetRoute(message, MessageRoute{0, 0, c.Id()});
                if (!PendingTable::Instance().Answer(c.Id(), header.ulCorrelation, message)) {
                    TRANSPORT_LOG(kLogDebug,
                                  "Answer 0x%x from endpoint %u of node %u matches no waiting request, dropped.",
                                  info.uiMsgOPCode, c.Endpoint().usPid, c.Endpoint().usNode);
                    FreeMessage(message);
                }
            }
        }
        if (stop || (ready > 0 && !readable && (fds[0].revents & (POLLHUP | POLLERR)) != 0)) {
            break;  // a peer gone while its reading was held back
        }
        now = NowMs();
        if (assembler.Partial() && now - assembler.StartedMs() >= limits.frameDeadline.count()) {
            why = FrameErrorText(FrameError::kTooSlow);
            break;
        }
        queued = false;
        if (c.m_bQueued.load()) {
            std::lock_guard<std::mutex> lock(c.m_writeMutex);
            queued = !c.m_queue.empty();
            lastWrite = c.m_lastWriteMs;
        }
        if (queued && now - lastWrite >= stallMs) {
            why = "the peer does not read its answers";
            break;
        }
        if (!assembler.Partial() && !queued && now - c.m_lastActivityMs.load() >= idleMs) {
            if (!c.InFlight()) {
                TRANSPORT_LOG(kLogDebug, "Idle connection %s endpoint %u of node %u closed.", Direction(c),
                              c.Endpoint().usPid, c.Endpoint().usNode);
                break;
            }
            c.m_lastActivityMs = now;  // busy: look again one idle period later
        }
    }
    if (why != nullptr && BadFrameLogAllowed()) {
        TRANSPORT_LOG(kLogWarning, "Bad frame on the connection %s endpoint %u of node %u (%s), connection closed.",
                      Direction(c), c.Endpoint().usPid, c.Endpoint().usNode, why);
    }
    c.Shutdown();
    ForgetConnection(connection);
    if (!incoming) {
        PendingTable::Instance().FailConnection(c.Id());
    }
}

}  // namespace transport
}  // namespace platform
