#include "platform/transport_pending.h"

#include "platform/transport_message.h"
#include "platform/transport_runtime.h"

namespace platform {
namespace transport {

void* NewTimeoutAnswer(const tagMsgInfo& request) {
    void* answer = NewMessage(0, 0, "transport time-out", 0);
    if (answer != nullptr) {
        SetInfo(answer, AnswerInfo(request, MSG_STATE_TIMEOUT, 0));
    }
    return answer;
}

PendingTable& PendingTable::Instance() {
    static PendingTable* table = new PendingTable();  // outlives detached transport threads at exit
    return *table;
}

void PendingTable::SetDelivery(DeliverFn deliver) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_deliver = deliver;
}

uint64_t PendingTable::NextCorrelation() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_ulNextCorrelation++;
}

void PendingTable::AddSync(uint64_t correlation, uint64_t connection, SyncWait* wait) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Entry& entry = m_entries[correlation];
    entry.ulConnection = connection;
    entry.pSync = wait;
}

int PendingTable::WaitSync(uint64_t correlation, SyncWait& wait, Clock::time_point deadline,
                           const tagMsgInfo& request, void** answer) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (wait.cv.wait_until(lock, deadline, [&] { return wait.bDone; })) {
        *answer = wait.pAnswer;
        return wait.iResult;
    }
    m_entries.erase(correlation);
    lock.unlock();
    *answer = NewTimeoutAnswer(request);
    return MSG_ERR_TIMEOUT;
}

bool PendingTable::AddAsync(uint64_t correlation, uint64_t connection, const tagMsgInfo& request,
                            const tagPrivateData* privateData, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_bTimerStarted) {
        m_bTimerStarted = true;
        lock.unlock();
        if (!StartThread([this] { TimeoutLoop(); })) {
            lock.lock();
            m_bTimerStarted = false;
            return false;
        }
        lock.lock();
    }
    Entry& entry = m_entries[correlation];
    entry.ulConnection = connection;
    entry.request = request;
    entry.bHasPrivate = privateData != nullptr;
    if (privateData != nullptr) {
        entry.privateData = *privateData;
    }
    entry.deadline = Clock::now() + timeout;
    m_deadlines.emplace(entry.deadline, correlation);
    m_timerCv.notify_one();
    return true;
}

bool PendingTable::Withdraw(uint64_t correlation) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_entries.erase(correlation) > 0;
}

bool PendingTable::Answer(uint64_t connection, uint64_t correlation, void* message) {
    std::unique_lock<std::mutex> lock(m_mutex);
    auto it = m_entries.find(correlation);
    // An answer only ends a request sent on the connection it arrives by: a
    // peer cannot end the requests of another connection.
    if (it == m_entries.end() || it->second.ulConnection != connection) {
        return false;
    }
    Entry entry = it->second;
    m_entries.erase(it);
    if (entry.pSync != nullptr) {
        entry.pSync->pAnswer = message;
        entry.pSync->iResult = 0;
        entry.pSync->bDone = true;
        // Notified under the mutex: once it is released the waiter may return
        // and destroy the condition variable.
        entry.pSync->cv.notify_one();
        return true;
    }
    lock.unlock();
    EndAsync(entry, message);
    return true;
}

void PendingTable::FailConnection(uint64_t connection) {
    std::vector<Entry> ended;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_entries.begin(); it != m_entries.end();) {
            if (it->second.ulConnection != connection) {
                ++it;
                continue;
            }
            if (it->second.pSync != nullptr) {
                it->second.pSync->iResult = MSG_ERR_SEND;
                it->second.pSync->bDone = true;
                it->second.pSync->cv.notify_one();
            } else {
                ended.push_back(it->second);
            }
            it = m_entries.erase(it);
        }
    }
    for (const Entry& entry : ended) {
        EndAsync(entry, NewTimeoutAnswer(entry.request));
    }
}

size_t PendingTable::DropAll() {
    std::lock_guard<std::mutex> lock(m_mutex);
    size_t dropped = 0;
    for (auto& [correlation, entry] : m_entries) {
        if (entry.pSync != nullptr) {
            entry.pSync->iResult = MSG_ERR_SEND;
            entry.pSync->bDone = true;
            entry.pSync->cv.notify_one();
        } else {
            ++dropped;
        }
    }
    m_entries.clear();
    return dropped;
}

size_t PendingTable::Count() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_entries.size();
}

bool PendingTable::Busy(uint64_t connection) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& [correlation, entry] : m_entries) {
        if (entry.ulConnection == connection) {
            return true;
        }
    }
    return false;
}

void PendingTable::EndAsync(const Entry& entry, void* answer) {
    if (answer == nullptr) {
        TRANSPORT_LOG(kLogError, "No memory for the answer of request %u (opcode 0x%x); it is lost.",
                      entry.request.uiSessionKey, entry.request.uiMsgOPCode);
        return;
    }
    SetPrivateData(answer, entry.bHasPrivate ? &entry.privateData : nullptr);
    DeliverFn deliver;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        deliver = m_deliver;
    }
    if (deliver == nullptr) {
        FreeMessage(answer);
        return;
    }
    deliver(entry.request.usSenderPID, answer);
}

void PendingTable::TimeoutLoop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        if (m_deadlines.empty()) {
            m_timerCv.wait(lock);
            continue;
        }
        Deadline next = m_deadlines.top();
        if (Clock::now() < next.first) {
            m_timerCv.wait_until(lock, next.first);
            continue;
        }
        m_deadlines.pop();
        auto it = m_entries.find(next.second);
        // The deadline of an entry that already ended stays queued until due.
        if (it == m_entries.end() || it->second.pSync != nullptr || it->second.deadline != next.first) {
            continue;
        }
        Entry entry = it->second;
        m_entries.erase(it);
        lock.unlock();
        TRANSPORT_LOG(kLogDebug, "Request 0x%x to endpoint %u of node %u timed out after %u s.",
                      entry.request.uiMsgOPCode, entry.request.usReceiverPID, entry.request.usReceiverBID,
                      entry.request.uiMsgTimeout);
        EndAsync(entry, NewTimeoutAnswer(entry.request));
        lock.lock();
    }
}

}  // namespace transport
}  // namespace platform
