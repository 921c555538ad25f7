#include "peers/peer_dispatcher.h"

#include <chrono>

#include "infra/chs_log.h"
#include "msg/msg_api.h"
#include "peers/peer_codes.h"
#include "peers/peer_fault.h"

namespace chs_peers {

void AnswerResult(InnerMsg& request, uint32_t code, const std::string& why) {
    if (!request.PostSimpleAckMsg(code, why)) {
        CHS_LOG(3, LOGID_PEERS, "[%u] Failed to answer opcode 0x%x with 0x%x.",
                request.GetMsgInfo().usReceiverPID, request.GetMsgInfo().uiMsgOPCode, code);
    }
}

PeerDispatcher& PeerDispatcher::Instance() {
    static PeerDispatcher* dispatcher = new PeerDispatcher();  // never destroyed: reader threads outlive main
    return *dispatcher;
}

bool PeerDispatcher::Start(unsigned int workers) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_workers.empty()) {
        return false;
    }
    for (unsigned int i = 0; i < (workers == 0 ? 1 : workers); ++i) {
        m_workers.emplace_back([this] { Work(); });
        m_workers.back().detach();
    }
    return true;
}

bool PeerDispatcher::Add(std::unique_ptr<PeerModule> module) {
    uint16_t pid = module->Pid();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_modules.count(pid) != 0) {
            return false;
        }
        m_modules[pid] = std::move(module);
    }
    if (msg_api::RegisterPID(pid, Entry) != 0) {
        CHS_LOG(3, LOGID_PEERS, "[%u] The transport refuses the endpoint.", pid);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_modules.erase(pid);
        return false;
    }
    CHS_LOG(1, LOGID_PEERS, "[%u] Endpoint registered.", pid);
    return true;
}

int PeerDispatcher::Entry(void* transportMessage) {
    Instance().Enqueue(transportMessage);
    return 0;
}

void PeerDispatcher::Enqueue(void* transportMessage) {
    auto request = std::make_unique<InnerMsg>();
    bool decoded = request->Decode(static_cast<unsigned char*>(transportMessage), 0) != MSG_CODEC_FAILURE;
    const tagMsgInfo& info = request->GetMsgInfo();
    if (info.usMsgType == MSG_TYPE_RESPONSE) {
        // This process posts nothing asynchronously; a stray answer has no owner.
        CHS_LOG(2, LOGID_PEERS, "[%u] Dropping an answer to opcode 0x%x.", info.usReceiverPID,
                info.uiMsgOPCode);
        return;
    }
    if (!decoded) {
        CHS_LOG(3, LOGID_PEERS,
                "[%u] Request opcode 0x%x from node %u pid %u has a body that does not decode.",
                info.usReceiverPID, info.uiMsgOPCode, info.usSenderBID, info.usSenderPID);
        request->GetBody().clear();
        AnswerResult(*request, PEER_ERR_BAD_REQUEST, "the body does not decode");
        return;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_queue.size() >= kQueueLimit) {
        lock.unlock();
        CHS_LOG(3, LOGID_PEERS, "[%u] Queue full, refusing opcode 0x%x.", info.usReceiverPID,
                info.uiMsgOPCode);
        AnswerResult(*request, PEER_ERR_BUSY, "too many requests");
        return;
    }
    m_queue.push_back(std::move(request));
    m_cond.notify_one();
}

void PeerDispatcher::Work() {
    for (;;) {
        std::unique_ptr<InnerMsg> request;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_cond.wait(lock, [this] { return !m_queue.empty(); });
            request = std::move(m_queue.front());
            m_queue.pop_front();
        }
        try {
            Process(*request);
        } catch (const std::exception& e) {
            // A module fault must not end the process that serves every endpoint.
            CHS_LOG(3, LOGID_PEERS, "[%u] Handling opcode 0x%x raised: %s",
                    request->GetMsgInfo().usReceiverPID, request->GetMsgInfo().uiMsgOPCode, e.what());
            AnswerResult(*request, PEER_ERR_BAD_REQUEST, "the request cannot be handled");
        }
    }
}

void PeerDispatcher::Process(InnerMsg& request) {
    const tagMsgInfo& info = request.GetMsgInfo();
    PeerModule* module = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_modules.find(info.usReceiverPID);
        module = it == m_modules.end() ? nullptr : it->second.get();
    }
    if (module == nullptr) {
        CHS_LOG(3, LOGID_PEERS, "[%u] No module serves this endpoint.", info.usReceiverPID);
        AnswerResult(request, PEER_ERR_UNSUPPORTED, "no such endpoint");
        return;
    }
    std::string source;
    FaultMode mode = CurrentFaultMode(module->Pid(), module->Behaviour(request), &source);
    switch (mode.eKind) {
        case FaultMode::SILENT:
            CHS_LOG(1, LOGID_PEERS, "[%u] Silent mode (%s): opcode 0x%x is not answered.", module->Pid(),
                    source.c_str(), info.uiMsgOPCode);
            return;
        case FaultMode::FAIL:
            if (!module->IsNotice(request)) {
                CHS_LOG(1, LOGID_PEERS, "[%u] Fail mode (%s): opcode 0x%x answered 0x%x.", module->Pid(),
                        source.c_str(), info.uiMsgOPCode, mode.uiValue);
                AnswerResult(request, mode.uiValue, "failure injected by " + source);
                return;
            }
            break;
        case FaultMode::DELAY:
            CHS_LOG(1, LOGID_PEERS, "[%u] Delay mode (%s): opcode 0x%x waits %u ms.", module->Pid(),
                    source.c_str(), info.uiMsgOPCode, mode.uiValue);
            std::this_thread::sleep_for(std::chrono::milliseconds(mode.uiValue));
            break;
        case FaultMode::OK:
            break;
    }
    module->Handle(request);
}

}  // namespace chs_peers
