#include "msg/msg_api.h"

#include "msg/msg_adapter.h"

namespace msg_api {
namespace {

constexpr int kStartFailed = static_cast<int>(0xFFFFFFFF);
constexpr unsigned int kMaxMessageLength = 0x20000;

}  // namespace

void* AllocMsg(unsigned int length, const char* func, unsigned int line) {
    return MSG_AllocMsg(length, MSG_API_MODULE, func, line);
}

void* CopyMsg(void* message, const char* func, unsigned int line) {
    return MSG_CopyMsg(message, MSG_API_MODULE, func, line);
}

void FreeMsg(void* message) {
    if (message != nullptr) {
        MSG_FreeMsg(message);
    }
}

unsigned int GetMsgLength(void* message) { return MSG_GetMsgLength(message); }

int InitMsgInfo(tagMsgInfo* info) { return MSG_InitMsgInfo(info); }
int GetMsgInfo(void* message, tagMsgInfo* info) { return MSG_GetMsgInfo(message, info); }
const tagPrivateData* GetPrivateData(void* message) { return MSG_GetPrivateData(message); }
uint64_t GetMsgSource(void* message) { return MSG_GetMsgSource(message); }

int PostAsyncMsg(void* buffer, const tagMsgInfo* info, const tagPrivateData* privateData) {
    return MSG_PostAsyncMsg(buffer, info, privateData);
}
int SendSyncMsg(void* buffer, const tagMsgInfo* info, void** answer) {
    return MSG_SendSyncMsg(buffer, info, answer);
}
int PostAckMsg(void* request, void* buffer, unsigned int length) {
    return MSG_PostAckMsg(request, buffer, length);
}
int RefuseMsg(void* request) { return MSG_RefuseMsg(request); }
void SetSendBatching(bool on) { MSG_SetSendBatching(on); }

int RegisterPID(unsigned int pid, MSG_ENTRY_FN entry) { return MSG_RegisterPID(pid, entry); }
int UnRegisterPID(unsigned int pid) { return MSG_UnRegisterPID(pid); }

int RegisterSleepFunc(MSG_SLEEP_FN fn) { return Msg_RegisterSleepFunc(fn); }
int RegisterMallocFunc(MSG_MALLOC_FN fn) { return Msg_RegisterMallocFunc(fn); }
int RegisterFreeFunc(MSG_FREE_FN fn) { return Msg_RegisterFreeFunc(fn); }
int RegisterLogIntfFunc(MSG_LOG_FN fn) { return Msg_RegisterLogIntfFunc(fn); }
int RegisterLocaltimeFunc(MSG_TIME_FN fn) { return Msg_RegisterLocaltimeFunc(fn); }
int RegisterGettimeFunc(MSG_TIME_FN fn) { return Msg_RegisterGettimeFunc(fn); }
int RegisterGetLocalNid(MSG_LOCALNID_FN fn) { return Msg_RegisterGetLocalNid(fn); }
int RegisterCreateThreadFunc(MSG_CREATE_THREAD_FN fn) { return Msg_RegisterCreateThreadFunc(fn); }
int RegisterCfgFunc(tagMSG_CLIENT_CFG_S* config, unsigned int* maxMessageLength) {
    return Msg_RegisterCfgFunc(config, maxMessageLength);
}
int RegInfoCheck() { return MSG_RegInfoCheck(); }
int ClientInit(const char* name) { return MSG_ClientInit(name); }
int ClientExit() { return MSG_ClientExit(); }

int StartClient() {
    // Registration results are not looked at: a missing adapter shows in RegInfoCheck.
    RegisterSleepFunc(msgAdpSleep);
    RegisterMallocFunc(msgAdpAlloc);
    RegisterFreeFunc(msgAdpFree);
    RegisterLogIntfFunc(msgAdpLog);
    RegisterLocaltimeFunc(msgAdpLocaltime);
    RegisterGettimeFunc(msgAdpTime);
    RegisterGetLocalNid(msgAdpLocalnid);
    RegisterCreateThreadFunc(msgAdpCreateThread);

    tagMSG_CLIENT_CFG_S config{};
    config.usPort = 5005;
    config.usReserve1 = 0;
    config.uiThreadNum = 2;
    config.uiSendQueueLen = 100;
    config.uiRecvQueueLen = 100;
    config.uiDefaultTimeout = 300;
    config.usReserve2 = 0;
    config.usReserve3 = 0;
    unsigned int maxMessageLength = kMaxMessageLength;
    if (RegisterCfgFunc(&config, &maxMessageLength) != 0 || RegInfoCheck() != 0 || ClientInit("") != 0) {
        return kStartFailed;
    }
    return 0;
}

}  // namespace msg_api
