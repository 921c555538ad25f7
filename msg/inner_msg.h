// InnerMsg: every request, answer and notification of the daemon. The
// transport's message information record plus a TLV body, with the
// operations to send requests (synchronously, posted with a callback, to
// several nodes), to answer a received request, the error-code conventions of
// answers, the extra-information document of requests, the queue time-out
// test and the JSON form.
//
// An InnerMsg is used by one thread at a time. It owns its body and the copy
// of the transport message it was decoded from; it does not own its callback.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "msg/chs_wire.h"
#include "msg/msg_async_call.h"
#include "msg/msg_interface.h"
#include "msg/msg_object.h"
#include "platform/msg_transport.h"

namespace Json {
class Value;
}

// Reserved tags of the first record of a body.
constexpr unsigned short MSG_TAG_ERROR_CODE = 4095;
constexpr unsigned short MSG_TAG_DESCRIPTION = 4094;
// The general-command operation code whose key comes from the body.
constexpr uint32_t MSG_OPCODE_GENERAL = chs_wire::OPCODE_GENERAL;

class InnerMsg : public MsgInterface {
public:
    using Callback = void (*)(InnerMsg&);

    InnerMsg();
    InnerMsg(const InnerMsg& other);
    InnerMsg& operator=(const InnerMsg& other);
    ~InnerMsg() override;

    // MsgInterface
    unsigned int Decode(unsigned char* transportMessage, unsigned int size) override;
    unsigned int Encode(unsigned char*& out) override;
    void SetSessionKey(unsigned int key) override { m_info.uiSessionKey = key; }
    unsigned int GetSessionKey() const override { return m_info.uiSessionKey; }
    void SetResult(unsigned int result) override { m_info.uiMsgState = result; }
    unsigned int GetResult() const override { return m_info.uiMsgState; }
    unsigned int GetVersion() const override { return 0; }
    void Clear() override { m_body.clear(); }
    void Dump(std::ostream& out) const override;

    tagMsgInfo& GetMsgInfo() { return m_info; }
    const tagMsgInfo& GetMsgInfo() const { return m_info; }
    MsgObject& GetBody() { return m_body; }
    const MsgObject& GetBody() const { return m_body; }
    MsgAsyncCall* GetCallBack() const { return m_pCallback; }
    void SetCallBack(MsgAsyncCall* callback) { m_pCallback = callback; }
    uint64_t GetCreatedTime() const { return m_ulCreated; }  // monotonic seconds
    void SetCreatedTime(uint64_t seconds) { m_ulCreated = seconds; }
    bool HasOrigin() const { return m_pOrigin != nullptr; }

    // Sending. Each needs a non-zero operation code and a non-empty body; a
    // body that cannot be encoded (a record over 65535 bytes) fails the send.
    // None of them raises.
    // PostAsyncMsg takes `callback` in every case: it is destroyed when the
    // message cannot be posted, else it belongs to the answer path.
    bool PostAsyncMsg(MsgAsyncCall* callback);
    bool SendSyncMsg(InnerMsg& answer);
    unsigned int SimpleSyncMsg(InnerMsg& answer);
    // Posts to every node of `nodeMask` (bits 0..15) in ascending order; a
    // node that cannot be posted to (unreachable, or a body that cannot be
    // encoded) gets a substitute answer with result 1, and the loop goes on.
    // Without callbacks nothing is kept for the answers. Returns the number
    // of nodes posted to.
    unsigned int Multicast(uint32_t nodeMask, Callback onAnswer, Callback onTimeout);
    unsigned int Broadcast(Callback onAnswer, Callback onTimeout);
    unsigned int BroadcastExcludeSelf(Callback onAnswer, Callback onTimeout);

    // Answering a received request.
    bool PostAckMsg(MsgObject& body);
    bool PostSimpleAckMsg(unsigned int errorCode, const std::string& description);
    // Answers at once with state 2 and no body: this process cannot take the
    // request now. Nothing is sent for a request that wants no answer.
    bool RefuseMsg();
    void SimpleSetErrorMsg(unsigned int errorCode, const std::string& description, unsigned long long recordCode);
    unsigned int TryGetErrorCode() const;

    // The extra-information document of a request (cell 4094 of the first record).
    bool SetExtraInfo(const std::string& key, const std::string& value);
    bool GetExtraInfo(const std::string& key, std::string& value, bool& usable) const;

    bool IsTimeOut() const;

    // JSON form: {"msgHdr": {...}, "msgBody": [{"cmd": code, "cells": [...]}]}.
    // Deserialization returns false when something in `root` could not be
    // taken as it stands (it then applies what it could).
    void Serialization(Json::Value& root) const;
    bool Deserialization(const Json::Value& root);
    void Serialization(const std::string& path) const;
    void Deserialization(const std::string& path);

private:
    // Encodes `body` into a fresh transport buffer; null when it cannot
    // (nothing to encode, no buffer, encoding failed).
    static void* EncodeBody(const MsgObject& body, unsigned int& length);
    void ReleaseOrigin();

    MsgObject m_body;
    tagMsgInfo m_info;
    void* m_pOrigin = nullptr;
    MsgAsyncCall* m_pCallback = nullptr;
    uint64_t m_ulCreated = 0;
};

// The numeric value of a cell as error codes and sub-commands are read: the
// little-endian value of its first 1 to 4 bytes. 0 for a non-numeric cell.
uint32_t MsgCellValue32(const CTLVCell& cell);

// Print masks: cells of tag `tag` in records of key `command` (or of the
// general command's sub-command) are shown as "******" in dumps.
void Msg_SetPrintMask(unsigned int subCommand, unsigned long long command, unsigned int tag);
bool Msg_IsNeedPrintMask(unsigned int subCommand, unsigned long long command, unsigned int tag);
bool Msg_IsGeneralCmd(unsigned long long code);
void Msg_SetPrintMask(InnerMsg& message);
void Msg_SetPrintMask(MsgObject& body, uint32_t opCode);
