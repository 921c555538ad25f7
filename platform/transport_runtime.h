// What the transport borrows from its host process: the adapters registered
// with Msg_Register* (logging, allocation, thread creation, local node, sleep),
// the client configuration, and the process-wide tunables.
//
// Every adapter is optional: without one the transport uses the platform's own
// service (dplog_standard under module 0, malloc/free, detached std::thread,
// OMLIB_getLocalNodeID, nanosleep). The clock adapters are recorded but time-outs
// run on the monotonic clock, so that a change of the wall clock neither fires
// nor holds back a time-out.
//
// Thread-safe: adapters and tunables are atomics read at each use.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "platform/msg_transport.h"

namespace platform {
namespace transport {

// Transport log levels: 1 and 2 errors, 3 warnings, 4 information, 5 debug.
constexpr uint32_t kLogError = 2;
constexpr uint32_t kLogWarning = 3;
constexpr uint32_t kLogInfo = 4;
constexpr uint32_t kLogDebug = 5;

void Log(uint32_t level, const char* func, uint32_t line, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));
#define TRANSPORT_LOG(level, ...) ::platform::transport::Log((level), __func__, __LINE__, __VA_ARGS__)

// Runs `body` on a new detached thread. False when no thread could be started
// (`body` is dropped then).
bool StartThread(std::function<void()> body);

// Raw memory of transport messages. The release function that matches an
// allocation is returned with it, so a buffer is always released by the free
// function of the allocator it came from, even when the adapters change.
void* RawAlloc(uint32_t size, MSG_FREE_FN& release);
void RawFree(void* pointer, MSG_FREE_FN release);

void Sleep10ms(uint32_t units);

// The local node, or MSG_LOCAL_NODE_BID when the process is not attached.
uint16_t LocalNode();
// `node` with MSG_LOCAL_NODE_BID replaced by the local node.
uint16_t ResolveNode(uint16_t node);

// The client configuration and the maximum message length handed to
// Msg_RegisterCfgFunc; whether one was registered.
bool ClientConfig(tagMSG_CLIENT_CFG_S& config, uint32_t& maxMessageLength);
void SetClientConfig(const tagMSG_CLIENT_CFG_S& config, uint32_t maxMessageLength);
bool AdaptersComplete();    // every adapter and the configuration registered
void ResetRegistrations();  // forget adapters and configuration (tests)

// The wait of a request posted with `timeoutSeconds` (0: the configured
// default, 300 s without one), in units of the time-out tunable.
std::chrono::milliseconds RequestTimeout(uint32_t timeoutSeconds);

// Tunables for tests: the length of one second of uiMsgTimeout (1000 ms
// normally), so that time-outs can be exercised in milliseconds.
void SetTimeoutUnit(std::chrono::milliseconds unit);
std::chrono::milliseconds TimeoutUnit();

struct AdapterSet {
    MSG_SLEEP_FN sleep = nullptr;
    MSG_MALLOC_FN malloc = nullptr;
    MSG_FREE_FN free = nullptr;
    MSG_LOG_FN log = nullptr;
    MSG_TIME_FN localtime = nullptr;
    MSG_TIME_FN gettime = nullptr;
    MSG_LOCALNID_FN localnid = nullptr;
    MSG_CREATE_THREAD_FN createThread = nullptr;
};
AdapterSet Adapters();  // a snapshot

}  // namespace transport
}  // namespace platform
