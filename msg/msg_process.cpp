#include "msg/msg_process.h"

#include <chrono>
#include <cstring>
#include <sstream>
#include <thread>

#include "core/trace_point.h"
#include "infra/chs_log.h"
#include "infra/fdsa_flow_mon.h"
#include "infra/timer_drv.h"
#include "msg/msg_api.h"
#include "msg/msg_decode_log.h"
#include "msg/msg_exception.h"
#include "platform/transport_limits.h"

uint64_t g_ulMsgQueCheckAfterMs = 600000;
uint32_t g_uiMsgTaskStartWaitMs = 30000;

std::mutex MsgProcessClass::_mutex;
bool MsgProcessClass::_bIsInited = false;
std::atomic<MsgProcessClass*> MsgProcessClass::_instance{nullptr};

namespace {

uint64_t NowSeconds() { return TimerDrvClass::AbsMilliSecond() / 1000; }

int DispatchEntry(void* transportMessage) {
    MsgProcessClass::Instance()->DispathMsg(transportMessage);
    return 0;
}

}  // namespace

MsgProcessClass* MsgProcessClass::Instance() {
    MsgProcessClass* current = _instance.load();
    if (current != nullptr) {
        return current;
    }
    MsgProcessClass* created = new MsgProcessClass();
    if (!_instance.compare_exchange_strong(current, created)) {
        delete created;
        return current;
    }
    return created;
}

MsgProcessClass::~MsgProcessClass() {
    for (auto& entry : m_handlers) {
        delete entry.second;
    }
    for (MsgQueue& queue : m_queues) {
        for (InnerMsg* message : queue.messages) {
            delete message;
        }
    }
}

unsigned int MsgProcessClass::Init(unsigned int pid) {
    std::lock_guard<std::mutex> lock(_mutex);
    if (_bIsInited) {
        return 0;
    }
    if (msg_api::StartClient() != 0) {
        return 0xFFFFFFFF;
    }
    if (AddClient(pid, DispatchEntry) != 0) {
        msg_api::ClientExit();
        return 0xFFFFFFFF;
    }
    StartMsgTask();
    _bIsInited = true;
    return 0;
}

void MsgProcessClass::MsgReg(unsigned int pid, void (*registrar)(MsgProcessClass&)) {
    if (Init(pid) != 0) {
        CHS_LOG(3, LOGID_MSG, "Failed to init msg.");
        return;
    }
    if (registrar != nullptr) {
        registrar(*this);
    }
}

unsigned int MsgProcessClass::AddClient(unsigned int pid, int (*entry)(void*)) {
    return msg_api::RegisterPID(pid, entry) == 0 ? 0 : 0xFFFFFFFF;
}

unsigned int MsgProcessClass::AddHandler(unsigned int subCommand, unsigned long long command, MsgHandle* handler) {
    if (handler == nullptr) {
        return 0;
    }
    unsigned long long key = (static_cast<unsigned long long>(subCommand) << 16) + command;
    std::lock_guard<std::mutex> lock(_mutex);
    auto it = m_handlers.find(key);
    if (it != m_handlers.end()) {
        delete it->second;
        it->second = handler;
        CHS_LOG(1, LOGID_MSG, "The message type does exist.");
    } else {
        m_handlers.emplace(key, handler);
    }
    return 1;
}

void MsgProcessClass::AddHandlerHelper(MsgHandle* handler, unsigned long long command, unsigned int subCommand) {
    if (AddHandler(subCommand, command, handler) == 0) {
        delete handler;
    }
}

MsgHandle* MsgProcessClass::SearchHander(unsigned long long key) {
    std::lock_guard<std::mutex> lock(_mutex);
    auto it = m_handlers.find(key);
    return it == m_handlers.end() ? nullptr : it->second;
}

unsigned long long MsgProcessClass::GetMsgKey(InnerMsg& message) {
    unsigned long long key = message.GetMsgInfo().uiMsgOPCode;
    if (key != MSG_OPCODE_GENERAL) {
        return key;
    }
    MsgObject& body = message.GetBody();
    if (body.empty()) {
        return 0;
    }
    const MsgRecord& first = body[0];
    key = first.GetCode();
    if (Msg_IsGeneralCmd(key) && first.count() != 0) {
        const CTLVCell* selector = first.find(0);
        if (selector != nullptr) {
            key += static_cast<unsigned long long>(MsgCellValue32(*selector)) << 16;
        }
    }
    return key;
}

uint32_t MsgProcessClass::MsgPri(InnerMsg& message) {
    MsgHandle* handler = SearchHander(GetMsgKey(message));
    return handler != nullptr ? handler->GetPriority() : MSG_PRI_1;
}

void MsgProcessClass::DispathMsg(void* transportMessage) {
    if (transportMessage == nullptr) {
        return;
    }
    InnerMsg* message = new InnerMsg();
    // What a peer's malformed bodies write to the log is bounded per connection.
    MsgDecodeLogScope logScope(msg_api::GetMsgSource(transportMessage));
    if (message->Decode(static_cast<unsigned char*>(transportMessage), 0) == 0xFFFFFFFF) {
        if (MsgDecodeLogAllowed()) {
            CHS_LOG(2, LOGID_MSG, "Failed to Decode message.opcode: %d, state: %d.",
                    static_cast<int>(message->GetMsgInfo().uiMsgOPCode), static_cast<int>(message->GetResult()));
        }
        // An answer that cannot be read still ends its request: its callback
        // gets it as an error answer instead of waiting for ever.
        SetCallBack(transportMessage, *message);
        if (message->GetCallBack() == nullptr) {
            delete message;
            return;
        }
        message->GetBody().clear();
        if (message->GetResult() == 0) {
            message->SetResult(0xFFFFFFFF);
        }
    } else {
        DumpMsg(*message, "Begin to process message.");
        SetCallBack(transportMessage, *message);
    }
    AsyncMsg(message);
}

void MsgProcessClass::SetCallBack(void* transportMessage, InnerMsg& message) {
    if (message.GetMsgInfo().usMsgType != MSG_TYPE_RESPONSE) {
        return;
    }
    const tagPrivateData* data = msg_api::GetPrivateData(transportMessage);
    if (data == nullptr) {
        return;
    }
    MsgAsyncCall* callback = nullptr;
    memcpy(&callback, data->aucData + 8, sizeof(callback));
    if (callback != nullptr) {
        message.SetCallBack(callback);
    }
}

void MsgProcessClass::AsyncMsg(InnerMsg* message) {
    uint32_t priority = MsgPri(*message);
    MsgQueue& queue = m_queues[priority < MSG_PRI_NUM ? priority : MSG_PRI_0];
    {
        std::lock_guard<std::mutex> lock(queue.mutex);
        if (queue.length <= MSG_QUEUE_LIMIT) {
            queue.messages.push_back(message);
            ++queue.length;
            message = nullptr;
        }
    }
    if (message == nullptr) {
        queue.ready.Post();  // after the mutex: the task thread does not wake only to wait for it
        return;
    }
    // Dropped: a request is refused at once (a state-2 answer), so that its
    // sender does not wait for its time-out; an answer still ends its
    // callback, or the poster would wait for it for ever.
    static std::atomic<int64_t> lastLog{0};
    if (platform::transport::RateAllows(lastLog, std::chrono::seconds(1))) {
        CHS_LOG(1, LOGID_MSG, "MsgQueue(%u) is full (%u messages), message 0x%x dropped.", priority,
                MSG_QUEUE_LIMIT + 1, message->GetMsgInfo().uiMsgOPCode);
    }
    if (MsgAsyncCall* callback = message->GetCallBack()) {
        message->SetResult(MSG_STATE_TIMEOUT);
        message->SetCallBack(nullptr);
        callback->timeout(*message);
        delete callback;
    } else if (message->GetMsgInfo().usMsgType == MSG_TYPE_REQUEST) {
        message->RefuseMsg();
    }
    delete message;
}

void MsgProcessClass::StartMsgTask() {
    for (uint32_t priority = 0; priority < MSG_PRI_NUM; ++priority) {
        m_started[priority] = std::promise<bool>();
        std::future<bool> started = m_started[priority].get_future();
        CHS_LOG(0, LOGID_MSG, "Begin to start MsgTask(%u).", priority);
        std::thread(&MsgProcessClass::MsgTask, this, static_cast<MSG_PRI>(priority), std::ref(m_started[priority]))
            .detach();
        if (started.wait_for(std::chrono::milliseconds(g_uiMsgTaskStartWaitMs)) != std::future_status::ready) {
            CHS_LOG(3, LOGID_MSG, "Failed to start MsgTask(%u).", priority);
            throw MsgException("Failed to start MsgTask.");
        }
    }
}

void MsgProcessClass::MsgTask(MSG_PRI priority, std::promise<bool>& started) {
    started.set_value(true);
    CHS_LOG(0, LOGID_MSG, "Now run msgtask(%u).", static_cast<unsigned int>(priority));
    if (priority >= MSG_PRI_NUM) {
        return;
    }
    MsgQueue& queue = m_queues[priority];
    // The trace point's marker is looked for at most every 100 ms: a file
    // check per message would cost more than most messages' processing.
    uint64_t nextTracePointCheck = 0;
    for (;;) {
        queue.ready.Wait();
        InnerMsg* message = nullptr;
        bool more = false;
        {
            std::lock_guard<std::mutex> lock(queue.mutex);
            if (queue.messages.empty()) {
                continue;  // taken by TakeMsg
            }
            message = queue.messages.front();
            queue.messages.pop_front();
            --queue.length;
            more = !queue.messages.empty();
        }
        // With more messages waiting, the answers and posts of this one may
        // leave together with theirs (a few milliseconds at most); the last
        // one of a run sends at once, and what waited with it.
        msg_api::SetSendBatching(more);
        FdsaFlowMonClass monitor(550, 3, FDSA_FLOW_PARA_S{1, 3600});
        monitor.Start();
        uint64_t now = TimerDrvClass::AbsMilliSecond();
        if (now >= nextTracePointCheck) {
            nextTracePointCheck = now + 100;
            ChsTpCheckPoint("TP_MON_CHS_MsgTask_Sleep2H");
        }
        if (message->IsTimeOut()) {
            // A dropped request stays unanswered, as its sender has given up.
            delete message;
        } else {
            CHS_LOG(0, LOGID_MSG, "Msg Queue is %u.", static_cast<unsigned int>(priority));
            SyncMsg(message);
        }
        monitor.End();
    }
}

void MsgProcessClass::SyncMsg(InnerMsg* message) {
    try {
        uint64_t start = NowSeconds();
        switch (message->GetMsgInfo().usMsgType) {
            case MSG_TYPE_RESPONSE:
                ProcessResponse(*message);
                break;
            case MSG_TYPE_REQUEST:
            case MSG_TYPE_REQUEST_NOACK:
                ProcessRequest(*message);
                break;
            default:
                CHS_LOG(2, LOGID_MSG, "The message GetMsgType is not supported: %u.",
                        static_cast<unsigned int>(message->GetMsgInfo().usMsgType));
                break;
        }
        uint64_t end = NowSeconds();
        if (end - start > 5) {
            CHS_LOG_PRINT(1, LOGID_MSG, "End the message processing. ", "MsgCode: ", message->GetMsgInfo().uiMsgOPCode,
                          " UseTime: ", end - start, "(", message->GetCreatedTime(), "/", start, "/", end, ")");
        } else {
            DumpMsg(*message, "End the message processing. ");
        }
    } catch (...) {
        CHS_LOG(2, LOGID_MSG, "Failed to process msg: %u.", static_cast<unsigned int>(message->GetMsgInfo().usMsgType));
    }
    delete message;
}

void MsgProcessClass::ProcessRequest(InnerMsg& message) {
    unsigned long long key = GetMsgKey(message);
    MsgHandle* handler = SearchHander(key);
    if (handler == nullptr) {
        CHS_LOG(2, LOGID_MSG, "The message key(%llu) does not exist.", key);
        return;
    }
    handler->handle(message);
}

void MsgProcessClass::ProcessResponse(InnerMsg& message) {
    MsgAsyncCall* callback = message.GetCallBack();
    if (callback == nullptr) {
        CHS_LOG(0, LOGID_MSG, "The response message is droped because of no callback.");
        return;
    }
    message.SetCallBack(nullptr);
    try {
        if (message.GetResult() == MSG_STATE_TIMEOUT) {
            callback->timeout(message);
        } else {
            callback->msg_rsp(message);
        }
    } catch (...) {
        delete callback;
        throw;
    }
    delete callback;
}

void MsgProcessClass::DumpMsg(const InnerMsg& message, const std::string& prefix) {
    if (!LogNeedPrint(0)) {
        return;
    }
    std::ostringstream text;
    message.Dump(text);
    CHS_LOG_PRINT(0, LOGID_MSG, prefix, text.str());
}

void MsgProcessClass::CheckMsgQue() {
    if (TimerDrvClass::AbsMilliSecond() < g_ulMsgQueCheckAfterMs) {
        return;
    }
    std::string text;
    for (uint32_t priority = 0; priority < MSG_PRI_NUM; ++priority) {
        uint32_t length = QueueLength(priority);
        if (length >= 11) {
            text += "MsgQueue(" + std::to_string(priority) + ") length: " + std::to_string(length) + " ";
        }
    }
    if (!text.empty()) {
        text += ".";
        CHS_LOG_PRINT(1, LOGID_MSG, text);
    }
}

uint32_t MsgProcessClass::QueueLength(uint32_t priority) {
    if (priority >= MSG_PRI_NUM) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(m_queues[priority].mutex);
    return m_queues[priority].length;
}

InnerMsg* MsgProcessClass::TakeMsg(uint32_t priority) {
    if (priority >= MSG_PRI_NUM) {
        return nullptr;
    }
    MsgQueue& queue = m_queues[priority];
    std::lock_guard<std::mutex> lock(queue.mutex);
    if (queue.messages.empty()) {
        return nullptr;
    }
    InnerMsg* message = queue.messages.front();
    queue.messages.pop_front();
    --queue.length;
    return message;
}
