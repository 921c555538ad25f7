// The thread of one connection: reading frames, writing the queue, and the
// deadlines that close a connection (transport_connection.h).
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <mutex>
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
// A sender reading its own answer looks at least this often whether its wait
// was ended by someone else (client exit).
constexpr int64_t kOwnReadSliceMs = 100;

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

// Why a connection closes, when it is worth a line; bad frames from a flood of
// connections log at most a few lines a second.
void LogClose(const Connection& c, const char* why) {
    if (why != nullptr && BadFrameLogAllowed()) {
        TRANSPORT_LOG(kLogWarning,
                      "Bad frame on the connection %s endpoint %u of node %u (%s), connection closed.",
                      Direction(c), c.Endpoint().usPid, c.Endpoint().usNode, why);
    }
}

// What one read step means for its connection: a frame of the expected kind
// to hand on, nothing more to read now, or the end of the connection (`why`
// says why when it is worth a line; a bad frame is freed).
enum class ReadOutcome { kFrame, kNothing, kEnd };
ReadOutcome Judge(FrameAssembler::Step step, const FrameHeader& header, FrameKind expected, FrameError error,
                  void* message, const char*& why) {
    if (step == FrameAssembler::Step::kWouldBlock) {
        return ReadOutcome::kNothing;
    }
    if (step == FrameAssembler::Step::kBadFrame ||
        (step == FrameAssembler::Step::kFrame && header.kind != expected)) {
        why = step == FrameAssembler::Step::kBadFrame ? FrameErrorText(error) : "unexpected frame kind";
        FreeMessage(message);
        return ReadOutcome::kEnd;
    }
    return step == FrameAssembler::Step::kFrame ? ReadOutcome::kFrame : ReadOutcome::kEnd;
}

// An answer read from an outgoing connection, to the request waiting for it;
// takes `message`.
void DeliverAnswer(Connection& c, const FrameHeader& header, void* message) {
    tagMsgInfo info;
    Info(message, info);
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
    FrameAssembler& assembler = c.m_assembler;
    // The frame being read, as far as this thread reads it: while a sender
    // reads its own answer the input is the sender's, and nothing of it is
    // this thread's business.
    struct Input {
        bool bOurs = true;
        bool bPartial = false;
        bool bBuffered = false;
        int64_t startedMs = 0;
    };
    auto lookAtInput = [&] {
        Input input;
        std::lock_guard<std::mutex> lock(c.m_readMutex);
        input.bOurs = !c.m_bSenderReads.load();
        if (input.bOurs) {
            input.bPartial = assembler.Partial();
            input.bBuffered = assembler.Buffered();
            input.startedMs = assembler.StartedMs();
        }
        return input;
    };
    const char* why = nullptr;  // why the connection closes, when it is worth a line
    for (bool stop = false; !stop;) {
        Limits limits = CurrentLimits();
        const int64_t stallMs = limits.sendStall.count();
        const int64_t idleMs = incoming ? limits.idleLimit.count() : limits.idleLimit.count() / 2;
        // Requests are read while their answers have room to queue.
        auto roomToRead = [&] {
            return !incoming || (c.m_queuedFrames.load() < limits.maxQueuedFrames / 2 &&
                                 c.m_queuedBytes.load() < limits.maxQueuedBytes / 2);
        };
        // Without the write mutex: a sender holds it while it writes. What
        // changes meanwhile wakes this thread (the eventfd) or is found
        // done when it takes the mutex to write.
        bool queued = c.m_bQueued.load();
        int64_t lastWrite = c.m_lastWriteMs.load();
        int64_t batchUntil =
            c.m_batchUntilMs.load();  // queued frames of a batch are their sender's until then
        bool readable = !queued || roomToRead();
        // Announced before the sender's flag is looked at (TakeInput).
        c.m_bLoopPollsInput.store(readable);
        Input input = lookAtInput();
        if (!input.bOurs) {
            readable = false;
            c.m_bLoopPollsInput.store(false);
        }
        int64_t now = NowMs();
        int64_t wakeAt = LLONG_MAX;
        if (input.bPartial) {
            wakeAt = std::min(wakeAt, input.startedMs + limits.frameDeadline.count());
        } else if (!queued) {
            wakeAt = std::min(wakeAt, c.m_lastActivityMs.load() + idleMs);
        }
        const bool writeNow = queued && batchUntil <= now;
        if (queued) {
            wakeAt = std::min(wakeAt, writeNow ? lastWrite + stallMs : batchUntil);
        }
        int timeout = wakeAt == LLONG_MAX ? -1 : static_cast<int>(std::clamp<int64_t>(wakeAt - now, 0, INT_MAX));
        // Bytes already decrypted or read ahead: the socket may have nothing more.
        const bool held = readable && (input.bBuffered || (tls != nullptr && tls->Pending()));
        if (held) {
            timeout = 0;
        }
        if (c.m_wake < 0 && (timeout < 0 || timeout > kNoWakePollMs)) {
            timeout = kNoWakePollMs;  // without its eventfd the thread looks for queued bytes itself
        }
        short events = static_cast<short>((readable ? POLLIN : 0) | (writeNow ? POLLOUT : 0));
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
        while (ready > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && input.bOurs &&
               (readable || !queued)) {
            // Only an accepted connection holds its reading back, and only
            // this thread reads one.
            if (incoming && readable && !assembler.Partial() && c.m_bQueued.load() && !roomToRead()) {
                break;
            }
            FrameHeader header;
            void* message = nullptr;
            FrameError error = FrameError::kNone;
            FrameAssembler::Step step = FrameAssembler::Step::kWouldBlock;
            {
                std::lock_guard<std::mutex> lock(c.m_readMutex);
                if (!c.m_bSenderReads.load()) {  // a sender may have taken the input meanwhile
                    step = assembler.Read(c.Fd(), header, message, error, tls);
                }
            }
            ReadOutcome outcome = Judge(step, header, expected, error, message, why);
            if (outcome != ReadOutcome::kFrame) {
                stop = outcome == ReadOutcome::kEnd;
                break;
            }
            c.m_lastActivityMs = NowMs();
            if (!incoming) {
                DeliverAnswer(c, header, message);
                continue;
            }
            tagMsgInfo info;
            Info(message, info);
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
        }
        if (stop || (ready > 0 && !readable && (fds[0].revents & (POLLHUP | POLLERR)) != 0)) {
            break;  // a peer gone while its reading was held back, or while a sender reads
        }
        now = NowMs();
        input = lookAtInput();
        if (input.bPartial && now - input.startedMs >= limits.frameDeadline.count()) {
            why = FrameErrorText(FrameError::kTooSlow);
            break;
        }
        queued = c.m_bQueued.load();
        lastWrite = c.m_lastWriteMs.load();
        if (queued && now - lastWrite >= stallMs) {
            why = "the peer does not read its answers";
            break;
        }
        if (!input.bPartial && !queued && now - c.m_lastActivityMs.load() >= idleMs) {
            if (!c.InFlight()) {
                TRANSPORT_LOG(kLogDebug, "Idle connection %s endpoint %u of node %u closed.", Direction(c),
                              c.Endpoint().usPid, c.Endpoint().usNode);
                break;
            }
            c.m_lastActivityMs = now;  // busy: look again one idle period later
        }
    }
    LogClose(c, why);
    c.Shutdown();
    ForgetConnection(connection);
    if (!incoming) {
        PendingTable::Instance().FailConnection(c.Id());
    }
}

void ReadOwnAnswer(const std::shared_ptr<Connection>& connection, const PendingTable::SyncWait& wait,
                   std::chrono::steady_clock::time_point deadline) {
    Connection& c = *connection;
    FrameAssembler& assembler = c.m_assembler;
    const char* why = nullptr;  // as the connection's thread would say it
    bool failed = false;
    while (!failed && !wait.Ended()) {
        const int64_t frameDeadlineMs = CurrentLimits().frameDeadline.count();
        bool partial = false;
        bool buffered = false;
        int64_t startedMs = 0;
        {
            std::lock_guard<std::mutex> lock(c.m_readMutex);
            partial = assembler.Partial();
            buffered = assembler.Buffered();
            startedMs = assembler.StartedMs();
        }
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return;  // the caller's time-out
        }
        int64_t nowMs = NowMs();
        if (partial && nowMs - startedMs >= frameDeadlineMs) {
            why = FrameErrorText(FrameError::kTooSlow);
            failed = true;
            break;
        }
        if (!buffered) {
            int64_t waitMs = std::min<int64_t>(left.count(), kOwnReadSliceMs);
            if (partial) {
                waitMs = std::min(waitMs, startedMs + frameDeadlineMs - nowMs);
            }
            pollfd fd{c.Fd(), POLLIN, 0};
            int ready = poll(&fd, 1, static_cast<int>(std::max<int64_t>(waitMs, 0)));
            if (ready < 0 && errno != EINTR) {
                failed = true;
                break;
            }
            if (ready <= 0) {
                continue;
            }
        }
        for (;;) {
            FrameHeader header;
            void* message = nullptr;
            FrameError error = FrameError::kNone;
            FrameAssembler::Step step;
            {
                std::lock_guard<std::mutex> lock(c.m_readMutex);
                step = assembler.Read(c.Fd(), header, message, error, nullptr);
            }
            ReadOutcome outcome = Judge(step, header, FrameKind::kAnswer, error, message, why);
            if (outcome != ReadOutcome::kFrame) {
                failed = outcome == ReadOutcome::kEnd;
                break;
            }
            c.m_lastActivityMs = NowMs();
            DeliverAnswer(c, header, message);
        }
    }
    if (failed) {
        // As the connection's thread ends it: its requests, this one among
        // them, fail now; the thread itself sees the socket shut and leaves.
        LogClose(c, why);
        c.Shutdown();
        PendingTable::Instance().FailConnection(c.Id());
    }
}

}  // namespace transport
}  // namespace platform
