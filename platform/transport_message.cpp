#include "platform/transport_message.h"

#include <cstring>
#include <mutex>

#include "platform/transport_runtime.h"

namespace platform {
namespace transport {
namespace {

constexpr uint32_t kLiveMagic = 0x4C56534D;   // a message in use
constexpr uint32_t kFreedMagic = 0x44455246;  // released: a second free is caught
constexpr size_t kSiteLength = 40;

struct alignas(16) MessageHeader {
    uint32_t uiMagic;
    uint32_t uiCapacity;
    MSG_FREE_FN release;
    tagMsgInfo info;
    bool bHasPrivate;
    tagPrivateData privateData;
    MessageRoute route;
    uint32_t uiModule;
    uint32_t uiLine;
    char acFunc[kSiteLength];
    MessageHeader* prev;
    MessageHeader* next;
};
// The body follows the header and keeps the alignment malloc gives.
static_assert(sizeof(MessageHeader) % 16 == 0, "message body alignment");

// Messages in use, for the leak report at exit. Split in stripes by address,
// so that threads allocating and freeing messages at once rarely meet on one
// mutex.
struct LiveList {
    std::mutex mutex;
    MessageHeader* head = nullptr;
    size_t count = 0;
};
constexpr size_t kLiveStripes = 16;

LiveList* LiveStripes() {
    static LiveList* stripes = new LiveList[kLiveStripes];  // outlive detached transport threads at exit
    return stripes;
}

LiveList& Live(const MessageHeader* header) {
    // Headers come from malloc, 16-byte aligned: the bits above the alignment spread them.
    return LiveStripes()[(reinterpret_cast<uintptr_t>(header) >> 6) % kLiveStripes];
}

void Link(MessageHeader* header) {
    LiveList& live = Live(header);
    std::lock_guard<std::mutex> lock(live.mutex);
    header->prev = nullptr;
    header->next = live.head;
    if (live.head != nullptr) {
        live.head->prev = header;
    }
    live.head = header;
    ++live.count;
}

void Unlink(MessageHeader* header) {
    LiveList& live = Live(header);
    std::lock_guard<std::mutex> lock(live.mutex);
    if (header->prev != nullptr) {
        header->prev->next = header->next;
    } else {
        live.head = header->next;
    }
    if (header->next != nullptr) {
        header->next->prev = header->prev;
    }
    --live.count;
}

MessageHeader* HeaderOf(void* message) {
    if (message == nullptr) {
        return nullptr;
    }
    auto* header = reinterpret_cast<MessageHeader*>(static_cast<uint8_t*>(message) - sizeof(MessageHeader));
    return header->uiMagic == kLiveMagic ? header : nullptr;
}

}  // namespace

void* NewMessage(uint32_t length, uint32_t module, const char* func, uint32_t line) {
    if (length > MSG_MAX_BODY_LENGTH) {
        return nullptr;
    }
    MSG_FREE_FN release = nullptr;
    void* raw = RawAlloc(static_cast<uint32_t>(sizeof(MessageHeader) + length), release);
    if (raw == nullptr) {
        return nullptr;
    }
    memset(raw, 0, sizeof(MessageHeader) + length);
    auto* header = static_cast<MessageHeader*>(raw);
    header->uiMagic = kLiveMagic;
    header->uiCapacity = length;
    header->release = release;
    header->info.uiMsgLength = length;
    header->uiModule = module;
    header->uiLine = line;
    if (func != nullptr) {
        strncpy(header->acFunc, func, kSiteLength - 1);
    }
    Link(header);
    return header + 1;
}

void FreeMessage(void* message) {
    if (message == nullptr) {
        return;
    }
    MessageHeader* header = HeaderOf(message);
    if (header == nullptr) {
        TRANSPORT_LOG(kLogError, "Refused to free %p: not a live transport message (freed twice?).", message);
        return;
    }
    Unlink(header);
    header->uiMagic = kFreedMagic;
    RawFree(header, header->release);
}

bool IsMessage(void* message) { return HeaderOf(message) != nullptr; }

uint32_t Capacity(void* message) {
    MessageHeader* header = HeaderOf(message);
    return header == nullptr ? 0 : header->uiCapacity;
}

bool SetInfo(void* message, const tagMsgInfo& info) {
    MessageHeader* header = HeaderOf(message);
    if (header == nullptr) {
        return false;
    }
    header->info = info;
    return true;
}

bool Info(void* message, tagMsgInfo& info) {
    MessageHeader* header = HeaderOf(message);
    if (header == nullptr) {
        return false;
    }
    info = header->info;
    return true;
}

bool SetPrivateData(void* message, const tagPrivateData* data) {
    MessageHeader* header = HeaderOf(message);
    if (header == nullptr) {
        return false;
    }
    header->bHasPrivate = data != nullptr;
    header->privateData = data != nullptr ? *data : tagPrivateData{};
    return true;
}

bool SetRoute(void* message, const MessageRoute& route) {
    MessageHeader* header = HeaderOf(message);
    if (header == nullptr) {
        return false;
    }
    header->route = route;
    return true;
}

bool Route(void* message, MessageRoute& route) {
    MessageHeader* header = HeaderOf(message);
    if (header == nullptr) {
        return false;
    }
    route = header->route;
    return true;
}

tagMsgInfo AnswerInfo(const tagMsgInfo& request, uint32_t state, uint32_t length) {
    tagMsgInfo answer = request;
    answer.usSenderBID = request.usReceiverBID;
    answer.usSenderPID = request.usReceiverPID;
    answer.usReceiverBID = request.usSenderBID;
    answer.usReceiverPID = request.usSenderPID;
    answer.usSenderNodeID = request.usReceiverNodeID;
    answer.usReceiverNodeID = request.usSenderNodeID;
    answer.usMsgType = MSG_TYPE_RESPONSE;
    answer.uiMsgState = state;
    answer.uiMsgLength = length;
    return answer;
}

size_t LiveMessageCount() {
    size_t count = 0;
    for (size_t i = 0; i < kLiveStripes; ++i) {
        std::lock_guard<std::mutex> lock(LiveStripes()[i].mutex);
        count += LiveStripes()[i].count;
    }
    return count;
}

size_t ReportLiveMessages() {
    constexpr size_t kMaxLines = 20;  // a busy process may hold thousands at exit
    size_t lines = 0;
    size_t count = 0;
    for (size_t i = 0; i < kLiveStripes; ++i) {
        LiveList& live = LiveStripes()[i];
        std::lock_guard<std::mutex> lock(live.mutex);
        count += live.count;
        for (MessageHeader* header = live.head; header != nullptr && lines < kMaxLines;
             header = header->next, ++lines) {
            TRANSPORT_LOG(kLogWarning,
                          "Message buffer of %u bytes still in use, allocated by module %u at %s:%u.",
                          header->uiCapacity, header->uiModule, header->acFunc, header->uiLine);
        }
    }
    if (count > lines) {
        TRANSPORT_LOG(kLogWarning, "%zu more message buffers still in use.", count - lines);
    }
    return count;
}

}  // namespace transport
}  // namespace platform

using namespace platform::transport;

void* MSG_AllocMsg(uint32_t length, uint32_t module, const char* func, uint32_t line) {
    return NewMessage(length, module, func, line);
}

void* MSG_CopyMsg(void* message, uint32_t module, const char* func, uint32_t line) {
    tagMsgInfo info;
    MessageRoute route;
    if (!Info(message, info) || !Route(message, route)) {
        return nullptr;
    }
    uint32_t capacity = Capacity(message);
    void* copy = NewMessage(capacity, module, func, line);
    if (copy == nullptr) {
        return nullptr;
    }
    memcpy(copy, message, capacity);
    SetInfo(copy, info);
    SetPrivateData(copy, MSG_GetPrivateData(message));
    SetRoute(copy, route);
    return copy;
}

void MSG_FreeMsg(void* message) { FreeMessage(message); }

uint32_t MSG_GetMsgLength(void* message) { return Capacity(message); }

int MSG_GetMsgInfo(void* message, tagMsgInfo* info) {
    if (info == nullptr || !Info(message, *info)) {
        return MSG_ERR_PARAM;
    }
    return 0;
}

uint64_t MSG_GetMsgSource(void* message) {
    MessageRoute route;
    return Route(message, route) ? route.ulSource : 0;
}

const tagPrivateData* MSG_GetPrivateData(void* message) {
    MessageHeader* header = HeaderOf(message);
    return header != nullptr && header->bHasPrivate ? &header->privateData : nullptr;
}
