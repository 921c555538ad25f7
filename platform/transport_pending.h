// Requests this process has sent and whose answer has not arrived, keyed by
// correlation id.
//
// Every entry ends exactly once, whichever comes first: its answer arrives,
// its time-out passes, its connection dies, or the sender withdraws it after
// a failed write. The end is decided under one mutex by whoever removes the
// entry; the loser finds nothing to do.
//
// A synchronous entry belongs to the thread waiting in WaitSync; it is ended
// by handing that thread the answer or a result. The wait is shared by the
// entry and its thread, so that the thread is woken after the table's mutex
// is released (a waiter woken under it would only block on it again). An asynchronous entry keeps
// the request's record and private data; it ends by delivering a message (the
// answer, or a state-2 answer made here) through the delivery function, which
// takes the message. Deliveries run on the reader thread of the connection
// (answers, dead connections) or on the time-out thread, never under the
// table's mutex.
//
// Thread-safe. The table lives for the whole process.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <memory>
#include <set>
#include <unordered_map>
#include <vector>

#include "platform/msg_transport.h"
#include "platform/semaphore.h"

namespace platform {
namespace transport {

// Hands `message` (owned by the callee from then on) to the entry of
// endpoint `senderPid` of this process.
typedef void (*DeliverFn)(uint16_t senderPid, void* message);

class PendingTable {
  public:
    using Clock = std::chrono::steady_clock;

    class SyncWait {
      public:
        // Hands the waiter its result; the first call counts.
        void End(int result, void* answer);
        // Until ended or `deadline`; false at the deadline.
        bool WaitUntil(Clock::time_point deadline) { return m_done.WaitUntil(deadline); }
        void Wait() { m_done.Wait(); }
        // Whether an end was decided; WaitUntil then returns without waiting
        // for the deadline.
        bool Ended() const { return m_bEnded.load(); }
        // Once the wait returned true.
        int Result() const { return m_iResult; }
        void* Answer() const { return m_pAnswer; }

      private:
        std::atomic<bool> m_bEnded{false};
        Semaphore m_done;
        int m_iResult = 0;
        void* m_pAnswer = nullptr;
    };

    static PendingTable& Instance();
    void SetDelivery(DeliverFn deliver);

    uint64_t NextCorrelation();

    std::shared_ptr<SyncWait> AddSync(uint64_t correlation, uint64_t connection);
    // Returns 0 with the answer, MSG_ERR_TIMEOUT with a state-2 answer made from
    // `request`, or the failure of the connection (MSG_ERR_SEND) with null.
    int WaitSync(uint64_t correlation, SyncWait& wait, Clock::time_point deadline, const tagMsgInfo& request,
                 void** answer);

    // False when the time-out thread cannot be started (nothing is added).
    bool AddAsync(uint64_t correlation, uint64_t connection, const tagMsgInfo& request,
                  const tagPrivateData* privateData, std::chrono::milliseconds timeout);

    // Removes an entry that has not ended; true when this call ended it.
    bool Withdraw(uint64_t correlation);

    // An answer read from `connection`. True when it ended an entry (the table
    // took `message`); false when no request of that connection waits for it.
    bool Answer(uint64_t connection, uint64_t correlation, void* message);

    // `connection` died: its synchronous waits fail with MSG_ERR_SEND and its
    // asynchronous posts end with a state-2 answer now.
    void FailConnection(uint64_t connection);

    // Client exit: waits fail, posts are dropped without delivery. Returns the
    // number of posts dropped.
    size_t DropAll();

    size_t Count();
    // Whether a request sent on `connection` waits for its answer.
    bool Busy(uint64_t connection);

  private:
    struct Entry {
        uint64_t ulConnection = 0;
        std::shared_ptr<SyncWait> pSync;  // null: an asynchronous post
        tagMsgInfo request{};
        bool bHasPrivate = false;
        tagPrivateData privateData{};
        Clock::time_point deadline;
    };
    using Deadline = std::pair<Clock::time_point, uint64_t>;

    PendingTable() = default;
    void TimeoutLoop();
    void EndAsync(const Entry& entry, void* answer);  // outside the mutex
    // With m_mutex held: removes the entry and its deadline.
    Entry Take(std::unordered_map<uint64_t, Entry>::iterator it);

    std::mutex m_mutex;
    std::condition_variable m_timerCv;
    std::unordered_map<uint64_t, Entry> m_entries;
    // The deadlines of the asynchronous entries, earliest first; an entry's
    // deadline leaves with the entry.
    std::set<Deadline> m_deadlines;
    bool m_bTimerStarted = false;
    uint64_t m_ulNextCorrelation = 1;
    DeliverFn m_deliver = nullptr;
};

// A state-2 answer to `request`, with no body; null when memory is short.
void* NewTimeoutAnswer(const tagMsgInfo& request);

}  // namespace transport
}  // namespace platform
