// The platform's message transport, client side. Every process registers its
// endpoints (node, process id) and exchanges messages with the endpoints of
// any node of its cluster.
//
// A transport message is a pointer to its body bytes; the transport keeps the
// message information record (tagMsgInfo), the 48-byte private data and its
// routing state beside the body, out of the caller's sight. Messages come from
// MSG_AllocMsg / MSG_CopyMsg or from the transport itself (received requests
// and answers) and are released with MSG_FreeMsg.
//
// Routing: usReceiverBID is the receiving node (0xFFFF: the local node),
// usReceiverPID the receiving process endpoint. Every endpoint listens on a
// Unix-domain socket <cluster>/run/ep-<node>-<pid>.sock; in a cluster whose
// transport is "tcp" the endpoints of other nodes are reached over TCP with
// mutual TLS instead (platform/transport_socket.h, transport_tls.h).
//
// Threads: one listener thread per registered endpoint, one reader thread per
// connection and one time-out thread. The entry function of a registered
// endpoint is called on a reader thread with each message that arrives for it
// (requests and answers to its asynchronous posts); time-out answers come on
// the time-out thread. The message belongs to the transport and is freed when
// the entry returns, so an entry that keeps it must copy it. An entry should
// not block for long: at most the registered thread count (uiThreadNum) of
// entries run at once. All calls are thread-safe.
//
// Trust: the sender fields of a received request (usSenderBID, usSenderPID,
// usSenderNodeID) are those of the connection it came by, never what the
// frame said; a process holding no endpoint of a node is a tool
// (MSG_TOOL_NODE_BID). Those of an answer are the endpoint it was sent to.
// Every resource a peer can make the process spend is bounded
// (platform/transport_limits.h); a connection that passes a bound is closed.
#pragma once

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)
struct tagMsgInfo {
    uint16_t usSenderBID;
    uint16_t usSenderPID;
    uint16_t usReceiverBID;
    uint16_t usReceiverPID;
    uint32_t uiMsgLength;
    uint16_t usMsgType;
    uint16_t usReserve;
    uint32_t uiMsgOPCode;
    uint32_t uiMsgState;
    uint32_t uiMsgTimeout;
    uint32_t uiSessionKey;
    uint16_t usSenderNodeID;
    uint16_t usReceiverNodeID;
};
struct tagPrivateData {
    uint8_t aucData[48];
};
struct tagMSG_CLIENT_CFG_S {
    uint16_t usPort;
    uint16_t usReserve1;
    uint32_t uiThreadNum;
    uint32_t uiSendQueueLen;
    uint32_t uiRecvQueueLen;
    uint32_t uiDefaultTimeout;  // seconds, for requests posted with uiMsgTimeout 0
    uint16_t usReserve2;
    uint16_t usReserve3;
};
#pragma pack(pop)
static_assert(sizeof(tagMsgInfo) == 36, "message information record is 36 bytes");
static_assert(sizeof(tagPrivateData) == 48, "private data is 48 bytes");
static_assert(sizeof(tagMSG_CLIENT_CFG_S) == 24, "client configuration is 24 bytes");

constexpr uint16_t MSG_LOCAL_NODE_BID = 0xFFFF;
// The sender node of a request that came from a process holding no endpoint
// of a node (a management tool such as chsctl); its sender pid is 0.
constexpr uint16_t MSG_TOOL_NODE_BID = 0xFFFE;
// Endpoints from this id on belong to the platform's own services (the file
// service of every node, for one); they are never a process's default sender.
constexpr uint16_t MSG_PLATFORM_PID_BASE = 0xF000;
constexpr uint16_t MSG_TYPE_REQUEST = 1;
constexpr uint16_t MSG_TYPE_RESPONSE = 2;
constexpr uint16_t MSG_TYPE_REQUEST_NOACK = 3;
constexpr uint32_t MSG_STATE_SUCCESS = 0;
constexpr uint32_t MSG_STATE_POST_FAILED = 1;
constexpr uint32_t MSG_STATE_TIMEOUT = 2;
// Largest body a frame may carry.
constexpr uint32_t MSG_MAX_BODY_LENGTH = 8u << 20;

typedef int (*MSG_ENTRY_FN)(void* message);

// Results: 0 success, otherwise one of these.
constexpr int MSG_ERR_PARAM = 1;        // null or bad argument
constexpr int MSG_ERR_UNREACHABLE = 2;  // no endpoint listens at the destination
constexpr int MSG_ERR_SEND = 3;         // the connection failed while sending
constexpr int MSG_ERR_TIMEOUT = 4;      // no answer in time (synchronous send)
constexpr int MSG_ERR_STATE = 5;        // not initialised, or already registered

// Buffers. `module`, `func` and `line` name the caller in leak reports.
void* MSG_AllocMsg(uint32_t length, uint32_t module, const char* func, uint32_t line);
void* MSG_CopyMsg(void* message, uint32_t module, const char* func, uint32_t line);
void MSG_FreeMsg(void* message);
uint32_t MSG_GetMsgLength(void* message);  // the body bytes the buffer holds

// Defaults: the local node as sender, as sender PID the first endpoint the
// process registered below MSG_PLATFORM_PID_BASE, the local node as receiver.
int MSG_InitMsgInfo(tagMsgInfo* info);
int MSG_GetMsgInfo(void* message, tagMsgInfo* info);
// The connection a received request or answer came by (its copies keep it),
// so that what a peer causes can be bounded per connection; 0 for a message
// made in this process.
uint64_t MSG_GetMsgSource(void* message);
// The private data posted with the request an answer belongs to; null when
// the message carries none.
const tagPrivateData* MSG_GetPrivateData(void* message);

// Sends a request; `buffer` belongs to the transport afterwards, whatever the
// result. Its answer, or at uiMsgTimeout (seconds; 0: the configured default)
// an answer with uiMsgState 2, reaches the entry of the sending endpoint
// usSenderPID of this process, with `privateData` attached. Fails at once when
// the destination cannot be reached; nothing is delivered then.
int MSG_PostAsyncMsg(void* buffer, const tagMsgInfo* info, const tagPrivateData* privateData);
// Sends a request and waits for its answer (uiMsgTimeout seconds, 0: the
// default). `buffer` belongs to the transport afterwards. On success *answer
// is the answer message (free it with MSG_FreeMsg); on time-out it is an
// answer with uiMsgState 2 and the result is MSG_ERR_TIMEOUT; otherwise null.
int MSG_SendSyncMsg(void* buffer, const tagMsgInfo* info, void** answer);
// Answers a received request on the connection it came by; `buffer` (of
// `length` body bytes) belongs to the transport afterwards.
int MSG_PostAckMsg(void* request, void* buffer, uint32_t length);
// Answers a received request at once with state 2 (MSG_STATE_TIMEOUT) and no
// body: the receiver cannot take it now (its queue is full), and its sender
// hears so instead of waiting for its time-out. Requests that want no answer
// are left alone.
int MSG_RefuseMsg(void* request);

// Batching of the calling thread's sends, for a thread about to post or
// answer several messages in a row: while on, the frames of its
// MSG_PostAsyncMsg, MSG_PostAckMsg and MSG_RefuseMsg may wait a little to
// leave together with those that follow, in order, on each connection. They
// leave when the thread turns batching off, calls MSG_FlushSends or sends
// synchronously, when a batch grows large, and at the latest a few
// milliseconds after the first of them.
void MSG_SetSendBatching(bool on);
void MSG_FlushSends(void);

int MSG_RegisterPID(uint32_t pid, MSG_ENTRY_FN entry);
int MSG_UnRegisterPID(uint32_t pid);

// Client start-up and adapters through which the transport sleeps (units of
// 10 ms), allocates, logs, reads the clock, learns the local node and starts
// its threads.
typedef void (*MSG_SLEEP_FN)(uint32_t units);
typedef void* (*MSG_MALLOC_FN)(uint32_t size);
typedef void (*MSG_FREE_FN)(void* pointer);
typedef void (*MSG_LOG_FN)(uint32_t module, uint32_t level, const char* func, uint32_t line, uint32_t logId,
                           const char* fmt, ...);
typedef int64_t (*MSG_TIME_FN)(int64_t* seconds);
typedef uint16_t (*MSG_LOCALNID_FN)(void);
typedef int (*MSG_CREATE_THREAD_FN)(void* (*fn)(void*), void* arg, uint32_t* threadId);

int Msg_RegisterSleepFunc(MSG_SLEEP_FN fn);
int Msg_RegisterMallocFunc(MSG_MALLOC_FN fn);
int Msg_RegisterFreeFunc(MSG_FREE_FN fn);
int Msg_RegisterLogIntfFunc(MSG_LOG_FN fn);
int Msg_RegisterLocaltimeFunc(MSG_TIME_FN fn);
int Msg_RegisterGettimeFunc(MSG_TIME_FN fn);
int Msg_RegisterGetLocalNid(MSG_LOCALNID_FN fn);
int Msg_RegisterCreateThreadFunc(MSG_CREATE_THREAD_FN fn);
int Msg_RegisterCfgFunc(tagMSG_CLIENT_CFG_S* config, uint32_t* maxMessageLength);
int MSG_RegInfoCheck(void);   // 0 when the adapters and configuration are complete
int MSG_ClientInit(const char* name);
int MSG_ClientExit(void);
