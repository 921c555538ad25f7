// NetMgrMsg: a TLV body behind a self-describing 28-byte header, so that a
// message can be checked and decoded from a plain byte buffer.
//
// Not thread-safe: one thread at a time. Decode never raises and never reads
// outside the given buffer.
#pragma once

#include <cstdint>
#include <ostream>

#include "msg/msg_interface.h"
#include "msg/msg_object.h"

constexpr unsigned int Q7X_MSG_MAGIC_NUMBER = 0x55555555;
constexpr unsigned int Q7X_MSG_VERSION_V3 = 3;
constexpr unsigned short Q7X_MSG_NODE_NUM_UNSET = 65533;

// The header as it stands on the wire, every field little-endian.
#pragma pack(push, 1)
struct Q7XMsgHeadV3 {
    unsigned int uiMagicNumber;
    unsigned int uiVersion;
    unsigned int uiResult;
    unsigned int uiSessionKey;
    unsigned short usNodeNum;
    // Carried from the buffer into the object and back; their meaning is the sender's.
    unsigned short usReserve1;
    unsigned short usReserve2;
    unsigned short usSerialNum;
    unsigned int uiLength;  // body length in bytes
};
#pragma pack(pop)
static_assert(sizeof(Q7XMsgHeadV3) == 28, "Q7XMsgHeadV3 is 28 bytes on the wire");

// A header with the values of a fresh message: magic, version 3, result 0,
// session key 0xFFFFFFFF, node number 65533, other 16-bit fields 0xFFFF, length 0.
Q7XMsgHeadV3 MakeFreshQ7XMsgHeadV3();

class NetMgrMsg : public MsgInterface {
  public:
    NetMgrMsg();
    ~NetMgrMsg() override = default;

    // 0 when `buffer` holds a valid header for exactly `size` bytes, else
    // 0xFFFFFFFF (logged). `head` receives what could be read of the header.
    static unsigned int CheckValid(const unsigned char* buffer, unsigned int size, Q7XMsgHeadV3& head);

    // Returns 28 + the body bytes, or 0xFFFFFFFF; on failure the object is left unchanged.
    unsigned int Decode(unsigned char* buffer, unsigned int size) override;
    // Allocates 28 + body length bytes (the caller frees them with delete[]),
    // writes header and body, and returns the body bytes written. Raises
    // MsgException when the body cannot be encoded; `out` is then null.
    unsigned int Encode(unsigned char*& out) override;

    void SetSessionKey(unsigned int sessionKey) override { m_head.uiSessionKey = sessionKey; }
    unsigned int GetSessionKey() const override { return m_head.uiSessionKey; }
    void SetResult(unsigned int result) override { m_head.uiResult = result; }
    unsigned int GetResult() const override { return m_head.uiResult; }
    unsigned int GetVersion() const override { return m_head.uiVersion; }
    void Clear() override { m_body.clear(); }
    // "{" ["R=" result] [" N=" node " "] "S=" serial ",SK=*" last three digits of
    // the session key, the body dump, "}".
    void Dump(std::ostream& out) const override;

    const Q7XMsgHeadV3& GetHead() const { return m_head; }
    void SetNodeNum(unsigned short nodeNum) { m_head.usNodeNum = nodeNum; }
    void SetSerialNum(unsigned short serialNum) { m_head.usSerialNum = serialNum; }

    MsgObject& GetBody() { return m_body; }
    const MsgObject& GetBody() const { return m_body; }

  private:
    Q7XMsgHeadV3 m_head;
    MsgObject m_body;
};
