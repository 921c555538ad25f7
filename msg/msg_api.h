// msg_api: the daemon's thin layer over the platform's message transport
// client. Each call forwards to the MSG_* / Msg_Register* call of the same name
// (platform/msg_transport.h) and returns its result unchanged; ownership and
// threading are the transport's:
//   - a buffer from AllocMsg/CopyMsg is owned by the caller until it is handed
//     to PostAsyncMsg, SendSyncMsg or PostAckMsg (which take it whatever their
//     result) or released with FreeMsg;
//   - an answer returned through SendSyncMsg belongs to the caller (FreeMsg);
//   - a message handed to a registered entry belongs to the transport and is
//     freed when the entry returns; keep it with CopyMsg.
// All calls are thread-safe.
#pragma once

#include <cstdint>

#include "platform/msg_transport.h"

namespace msg_api {

// Module number the daemon passes with every buffer request (leak reports).
constexpr unsigned int MSG_API_MODULE = 0;

// `func`/`line` default to the caller's site so that the transport's leak
// reports name the code that asked for the buffer.
void* AllocMsg(unsigned int length, const char* func = __builtin_FUNCTION(),
               unsigned int line = __builtin_LINE());
void* CopyMsg(void* message, const char* func = __builtin_FUNCTION(), unsigned int line = __builtin_LINE());
void FreeMsg(void* message);  // null is ignored
unsigned int GetMsgLength(void* message);

int InitMsgInfo(tagMsgInfo* info);
int GetMsgInfo(void* message, tagMsgInfo* info);
const tagPrivateData* GetPrivateData(void* message);
uint64_t GetMsgSource(void* message);

int PostAsyncMsg(void* buffer, const tagMsgInfo* info, const tagPrivateData* privateData);
int SendSyncMsg(void* buffer, const tagMsgInfo* info, void** answer);
int PostAckMsg(void* request, void* buffer, unsigned int length);
int RefuseMsg(void* request);
void SetSendBatching(bool on);

int RegisterPID(unsigned int pid, MSG_ENTRY_FN entry);
int UnRegisterPID(unsigned int pid);

int RegisterSleepFunc(MSG_SLEEP_FN fn);
int RegisterMallocFunc(MSG_MALLOC_FN fn);
int RegisterFreeFunc(MSG_FREE_FN fn);
int RegisterLogIntfFunc(MSG_LOG_FN fn);
int RegisterLocaltimeFunc(MSG_TIME_FN fn);
int RegisterGettimeFunc(MSG_TIME_FN fn);
int RegisterGetLocalNid(MSG_LOCALNID_FN fn);
int RegisterCreateThreadFunc(MSG_CREATE_THREAD_FN fn);
int RegisterCfgFunc(tagMSG_CLIENT_CFG_S* config, unsigned int* maxMessageLength);
int RegInfoCheck();
int ClientInit(const char* name);
int ClientExit();

// The daemon's transport start-up: registers the msg_adapter.h adapters in
// order and the client configuration (5005, 0, 2, 100, 100, 300 s default
// time-out, 0, 0; 131072), checks the registration and starts the client.
// Returns 0, or 0xFFFFFFFF on the first step that fails (the client is not
// started then). Call once, before RegisterPID.
int StartClient();

}  // namespace msg_api
