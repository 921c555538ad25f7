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

void PendingTable::SyncWait::End(int result, void* answer) {
    if (m_bEnded.exchange(true)) {
        return;
    }
    m_iResult = result;
    m_pAnswer = answer;
    m_done.Post();
}

std::shared_ptr<PendingTable::SyncWait> PendingTable::AddSync(uint64_t correlation, uint64_t connection) {
    auto wait = std::make_shared<SyncWait>();
    std::lock_guard<std::mutex> lock(m_mutex);
    Entry& entry = m_entries[correlation];
    entry.ulConnection = connection;
    entry.pSync = wait;
    return wait;
}

int PendingTable::WaitSync(uint64_t correlation, SyncWait& wait, Clock::time_point deadline,
                           const tagMsgInfo& request, void** answer) {
    if (!wait.WaitUntil(deadline)) {
        bool timedOut;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            timedOut = m_entries.erase(correlation) > 0;
        }
        if (timedOut) {
            *answer = NewTimeoutAnswer(request);
            return MSG_ERR_TIMEOUT;
        }
        wait.Wait();  // ended by an answer or a failure at the deadline: it is being handed over
    }
    *answer = wait.Answer();
    return wait.Result();
}

PendingTable::Entry PendingTable::Take(std::unordered_map<uint64_t, Entry>::iterator it) {
    Entry entry = std::move(it->second);
    if (!entry.pSync) {
        m_deadlines.erase(Deadline(entry.deadline, it->first));
    }
    m_entries.erase(it);
    return entry;
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
    bool earliest = m_deadlines.empty() || entry.deadline < m_deadlines.begin()->first;
    m_deadlines.emplace(entry.deadline, correlation);
    if (earliest) {
        m_timerCv.notify_one();  // the time-out thread sleeps until a later deadline
    }
    return true;
}

bool PendingTable::Withdraw(uint64_t correlation) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_entries.find(correlation);
    if (it == m_entries.end()) {
        return false;
    }
    Take(it);
    return true;
}

bool PendingTable::Answer(uint64_t connection, uint64_t correlation, void* message) {
    std::unique_lock<std::mutex> lock(m_mutex);
    auto it = m_entries.find(correlation);
    // An answer only ends a request sent on the connection it arrives by: a
    // peer cannot end the requests of another connection.
    if (it == m_entries.end() || it->second.ulConnection != connection) {
        return false;
    }
    Entry entry = Take(it);
    lock.unlock();
    if (entry.pSync) {
        entry.pSync->End(0, message);
    } else {
        EndAsync(entry, message);
    }
    return true;
}

void PendingTable::FailConnection(uint64_t connection) {
    std::vector<Entry> ended;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_entries.begin(); it != m_entries.end();) {
            auto next = std::next(it);
            if (it->second.ulConnection == connection) {
                ended.push_back(Take(it));
            }
            it = next;
        }
    }
    for (const Entry& entry : ended) {
        if (entry.pSync) {
            entry.pSync->End(MSG_ERR_SEND, nullptr);
        } else {
            EndAsync(entry, NewTimeoutAnswer(entry.request));
        }
    }
}

size_t PendingTable::DropAll() {
    std::unordered_map<uint64_t, Entry> entries;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        entries.swap(m_entries);
        m_deadlines.clear();
    }
    size_t dropped = 0;
    for (auto& [correlation, entry] : entries) {
        if (entry.pSync) {
            entry.pSync->End(MSG_ERR_SEND, nullptr);
        } else {
            ++dropped;
        }
    }
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
        Deadline next = *m_deadlines.begin();
        if (Clock::now() < next.first) {
            m_timerCv.wait_until(lock, next.first);
            continue;
        }
        Entry entry = Take(m_entries.find(next.second));
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
