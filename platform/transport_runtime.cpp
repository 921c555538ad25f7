#include "platform/transport_runtime.h"

#include <time.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/dplog.h"
#include "platform/om_cluster.h"

namespace platform {
namespace transport {
namespace {

constexpr unsigned int kPlatformModule = 0;
constexpr uint32_t kBuiltInDefaultTimeout = 300;
constexpr size_t kMaxLogLine = 1024;

std::atomic<MSG_SLEEP_FN> g_sleep{nullptr};
std::atomic<MSG_MALLOC_FN> g_malloc{nullptr};
std::atomic<MSG_FREE_FN> g_free{nullptr};
std::atomic<MSG_LOG_FN> g_log{nullptr};
std::atomic<MSG_TIME_FN> g_localtime{nullptr};
std::atomic<MSG_TIME_FN> g_gettime{nullptr};
std::atomic<MSG_LOCALNID_FN> g_localnid{nullptr};
std::atomic<MSG_CREATE_THREAD_FN> g_createThread{nullptr};
std::atomic<int64_t> g_timeoutUnitMs{1000};

struct ConfigState {
    std::mutex mutex;
    bool bSet = false;
    tagMSG_CLIENT_CFG_S config{};
    uint32_t uiMaxMessageLength = 0;
};

ConfigState& Config() {
    static ConfigState* state = new ConfigState();  // outlives detached transport threads at exit
    return *state;
}

// Platform scale of dplog_standard for a transport level.
unsigned int PlatformLevel(uint32_t level) {
    switch (level) {
        case 1:
        case 2:
            return 3;
        case 3:
            return 4;
        case 4:
            return 6;
        default:
            return 7;
    }
}

void* ThreadTrampoline(void* arg) {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
    (*body)();
    return nullptr;
}

template <typename Fn>
int Register(std::atomic<Fn>& slot, Fn fn) {
    if (fn == nullptr) {
        return MSG_ERR_PARAM;
    }
    slot.store(fn);
    return 0;
}

}  // namespace

void Log(uint32_t level, const char* func, uint32_t line, const char* fmt, ...) {
    char text[kMaxLogLine];
    va_list args;
    va_start(args, fmt);
    vsnprintf(text, sizeof(text), fmt, args);
    va_end(args);
    if (MSG_LOG_FN log = g_log.load()) {
        log(kPlatformModule, level, func, line, 0, "%s", text);
    } else {
        dplog_standard(kPlatformModule, PlatformLevel(level), func, line, 0, "%s", text);
    }
}

bool StartThread(std::function<void()> body) {
    MSG_CREATE_THREAD_FN create = g_createThread.load();
    if (create == nullptr) {
        try {
            std::thread(std::move(body)).detach();
            return true;
        } catch (const std::system_error& error) {
            TRANSPORT_LOG(kLogError, "Cannot start a transport thread: %s.", error.what());
            return false;
        }
    }
    auto* owned = new std::function<void()>(std::move(body));
    uint32_t threadId = 0;
    if (create(ThreadTrampoline, owned, &threadId) != 0) {
        delete owned;
        TRANSPORT_LOG(kLogError, "The thread adapter could not start a transport thread.");
        return false;
    }
    return true;
}

void* RawAlloc(uint32_t size, MSG_FREE_FN& release) {
    MSG_MALLOC_FN alloc = g_malloc.load();
    MSG_FREE_FN free = g_free.load();
    // An allocator is only used together with its release function.
    if (alloc != nullptr && free != nullptr) {
        release = free;
        return alloc(size);
    }
    release = nullptr;
    return malloc(size);
}

void RawFree(void* pointer, MSG_FREE_FN release) {
    if (release != nullptr) {
        release(pointer);
    } else {
        free(pointer);
    }
}

void Sleep10ms(uint32_t units) {
    if (MSG_SLEEP_FN sleep = g_sleep.load()) {
        sleep(units);
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10) * units);
}

uint16_t LocalNode() {
    if (MSG_LOCALNID_FN localnid = g_localnid.load()) {
        return localnid();
    }
    uint16_t node = MSG_LOCAL_NODE_BID;
    if (OMLIB_getLocalNodeID(&node) != 0) {
        return MSG_LOCAL_NODE_BID;
    }
    return node;
}

uint16_t ResolveNode(uint16_t node) { return node == MSG_LOCAL_NODE_BID ? LocalNode() : node; }

bool ClientConfig(tagMSG_CLIENT_CFG_S& config, uint32_t& maxMessageLength) {
    ConfigState& state = Config();
    std::lock_guard<std::mutex> lock(state.mutex);
    config = state.config;
    maxMessageLength = state.uiMaxMessageLength;
    return state.bSet;
}

void SetClientConfig(const tagMSG_CLIENT_CFG_S& config, uint32_t maxMessageLength) {
    ConfigState& state = Config();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.config = config;
    state.uiMaxMessageLength = maxMessageLength;
    state.bSet = true;
}

bool AdaptersComplete() {
    tagMSG_CLIENT_CFG_S config;
    uint32_t maxLength = 0;
    AdapterSet set = Adapters();
    return ClientConfig(config, maxLength) && set.sleep && set.malloc && set.free && set.log &&
           set.localtime && set.gettime && set.localnid && set.createThread;
}

void ResetRegistrations() {
    g_sleep = nullptr;
    g_malloc = nullptr;
    g_free = nullptr;
    g_log = nullptr;
    g_localtime = nullptr;
    g_gettime = nullptr;
    g_localnid = nullptr;
    g_createThread = nullptr;
    ConfigState& state = Config();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.bSet = false;
    state.config = {};
    state.uiMaxMessageLength = 0;
}

std::chrono::milliseconds RequestTimeout(uint32_t timeoutSeconds) {
    if (timeoutSeconds == 0) {
        tagMSG_CLIENT_CFG_S config;
        uint32_t maxLength = 0;
        bool set = ClientConfig(config, maxLength);
        timeoutSeconds =
            set && config.uiDefaultTimeout != 0 ? config.uiDefaultTimeout : kBuiltInDefaultTimeout;
    }
    return std::chrono::milliseconds(static_cast<int64_t>(timeoutSeconds) * g_timeoutUnitMs.load());
}

void SetTimeoutUnit(std::chrono::milliseconds unit) { g_timeoutUnitMs = unit.count() > 0 ? unit.count() : 1; }

std::chrono::milliseconds TimeoutUnit() { return std::chrono::milliseconds(g_timeoutUnitMs.load()); }

AdapterSet Adapters() {
    AdapterSet set;
    set.sleep = g_sleep.load();
    set.malloc = g_malloc.load();
    set.free = g_free.load();
    set.log = g_log.load();
    set.localtime = g_localtime.load();
    set.gettime = g_gettime.load();
    set.localnid = g_localnid.load();
    set.createThread = g_createThread.load();
    return set;
}

}  // namespace transport
}  // namespace platform

using platform::transport::Register;

int Msg_RegisterSleepFunc(MSG_SLEEP_FN fn) { return Register(platform::transport::g_sleep, fn); }
int Msg_RegisterMallocFunc(MSG_MALLOC_FN fn) { return Register(platform::transport::g_malloc, fn); }
int Msg_RegisterFreeFunc(MSG_FREE_FN fn) { return Register(platform::transport::g_free, fn); }
int Msg_RegisterLogIntfFunc(MSG_LOG_FN fn) { return Register(platform::transport::g_log, fn); }
int Msg_RegisterLocaltimeFunc(MSG_TIME_FN fn) { return Register(platform::transport::g_localtime, fn); }
int Msg_RegisterGettimeFunc(MSG_TIME_FN fn) { return Register(platform::transport::g_gettime, fn); }
int Msg_RegisterGetLocalNid(MSG_LOCALNID_FN fn) { return Register(platform::transport::g_localnid, fn); }
int Msg_RegisterCreateThreadFunc(MSG_CREATE_THREAD_FN fn) {
    return Register(platform::transport::g_createThread, fn);
}

int Msg_RegisterCfgFunc(tagMSG_CLIENT_CFG_S* config, uint32_t* maxMessageLength) {
    if (config == nullptr || maxMessageLength == nullptr) {
        return MSG_ERR_PARAM;
    }
    platform::transport::SetClientConfig(*config, *maxMessageLength);
    return 0;
}

int MSG_RegInfoCheck(void) { return platform::transport::AdaptersComplete() ? 0 : MSG_ERR_STATE; }
