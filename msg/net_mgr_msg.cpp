#include "msg/net_mgr_msg.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "infra/byte_order.h"
#include "infra/chs_log.h"
#include "msg/msg_exception.h"

namespace {

const char kInvalidPrefix[] = "TLV V3 message is invalid,reason is : ";
constexpr unsigned int kHeadSize = sizeof(Q7XMsgHeadV3);

// Every field between host and wire order; the conversion is its own inverse.
Q7XMsgHeadV3 ConvertHead(const Q7XMsgHeadV3& in) {
    Q7XMsgHeadV3 out;
    out.uiMagicNumber = chs_convertEndianess(in.uiMagicNumber);
    out.uiVersion = chs_convertEndianess(in.uiVersion);
    out.uiResult = chs_convertEndianess(in.uiResult);
    out.uiSessionKey = chs_convertEndianess(in.uiSessionKey);
    out.usNodeNum = chs_convertEndianess(in.usNodeNum);
    out.usReserve1 = chs_convertEndianess(in.usReserve1);
    out.usReserve2 = chs_convertEndianess(in.usReserve2);
    out.usSerialNum = chs_convertEndianess(in.usSerialNum);
    out.uiLength = chs_convertEndianess(in.uiLength);
    return out;
}

}  // namespace

Q7XMsgHeadV3 MakeFreshQ7XMsgHeadV3() {
    Q7XMsgHeadV3 head;
    head.uiMagicNumber = Q7X_MSG_MAGIC_NUMBER;
    head.uiVersion = Q7X_MSG_VERSION_V3;
    head.uiResult = 0;
    head.uiSessionKey = 0xFFFFFFFF;
    head.usNodeNum = Q7X_MSG_NODE_NUM_UNSET;
    head.usReserve1 = 0xFFFF;
    head.usReserve2 = 0xFFFF;
    head.usSerialNum = 0xFFFF;
    head.uiLength = 0;
    return head;
}

NetMgrMsg::NetMgrMsg() : m_head(MakeFreshQ7XMsgHeadV3()) {}

unsigned int NetMgrMsg::CheckValid(const unsigned char* buffer, unsigned int size, Q7XMsgHeadV3& head) {
    if (buffer == nullptr || size < kHeadSize) {
        CHS_LOG(3, LOGID_MSG, "TLV V3 message is invalid,pBuf is null or uiBufSize is not enough!");
        return MSG_CODEC_FAILURE;
    }
    Q7XMsgHeadV3 wire;
    memcpy(&wire, buffer, kHeadSize);
    head = ConvertHead(wire);
    // 64-bit sum: a length field near 4 GiB must not wrap around to a small match.
    if (static_cast<uint64_t>(size) != static_cast<uint64_t>(head.uiLength) + kHeadSize) {
        CHS_LOG_PRINT(3, LOGID_MSG, kInvalidPrefix,
                      "(uiBufSize != pHead->uiLength + sizeof(Q7XMsgHeadV3)) -> ", size,
                      " != ", head.uiLength, " + ", kHeadSize, " msg serail ", head.usSerialNum);
        return MSG_CODEC_FAILURE;
    }
    if (head.uiMagicNumber != Q7X_MSG_MAGIC_NUMBER) {
        CHS_LOG_PRINT(3, LOGID_MSG, kInvalidPrefix, "received magic number is ", head.uiMagicNumber);
        return MSG_CODEC_FAILURE;
    }
    if (head.uiVersion != Q7X_MSG_VERSION_V3) {
        CHS_LOG_PRINT(3, LOGID_MSG, kInvalidPrefix, "received version is ", head.uiVersion);
        return MSG_CODEC_FAILURE;
    }
    return 0;
}

unsigned int NetMgrMsg::Decode(unsigned char* buffer, unsigned int size) {
    Q7XMsgHeadV3 head = MakeFreshQ7XMsgHeadV3();
    if (CheckValid(buffer, size, head) != 0) {
        return MSG_CODEC_FAILURE;
    }
    // Decode into a scratch body so that a bad message leaves this one intact.
    MsgObject body;
    unsigned int read = body.decode(buffer + kHeadSize, head.uiLength);
    if (read == MSG_CODEC_FAILURE) {
        std::string reason =
            "it failed to parse record: (position = uiBufSize - head.uiLength - pos) -> position = " +
            std::to_string(size) + " - " + std::to_string(head.uiLength) + " - " + std::to_string(0) +
            " msg serail " + std::to_string(head.usSerialNum);
        CHS_LOG(3, LOGID_MSG, "TLV V3 message is invalid,reason is : %s.", reason.c_str());
        return MSG_CODEC_FAILURE;
    }
    std::swap(m_body, body);
    m_head.uiResult = head.uiResult;
    m_head.uiSessionKey = head.uiSessionKey;
    m_head.usNodeNum = head.usNodeNum;
    m_head.usReserve1 = head.usReserve1;
    m_head.usReserve2 = head.usReserve2;
    m_head.usSerialNum = head.usSerialNum;
    m_head.uiLength = head.uiLength;
    return kHeadSize + read;
}

unsigned int NetMgrMsg::Encode(unsigned char*& out) {
    out = nullptr;
    unsigned int bodyLength = m_body.length();
    if (bodyLength > MSG_CODEC_FAILURE - 1 - kHeadSize) {
        throw MsgException("too big body to encode", MSG_CODEC_FAILURE);
    }
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[kHeadSize + bodyLength]);
    if (!buffer) {
        throw MsgException("", MSG_CODEC_FAILURE);
    }
    m_head.uiLength = bodyLength;
    Q7XMsgHeadV3 wire = ConvertHead(m_head);
    memcpy(buffer.get(), &wire, kHeadSize);
    unsigned int written = m_body.encode(buffer.get() + kHeadSize, bodyLength);
    if (written == MSG_CODEC_FAILURE) {
        throw MsgException("", MSG_CODEC_FAILURE);
    }
    out = buffer.release();
    return written;
}

void NetMgrMsg::Dump(std::ostream& out) const {
    out << "{";
    if (m_head.uiResult != 0) {
        out << "R=" << m_head.uiResult;
    }
    if (m_head.usNodeNum != Q7X_MSG_NODE_NUM_UNSET) {
        out << " N=" << m_head.usNodeNum << " ";
    }
    out << "S=" << m_head.usSerialNum;
    // Only the tail of the session key goes to the log: the key authenticates the session.
    std::string key = std::to_string(m_head.uiSessionKey);
    out << ",SK=*" << (key.size() > 3 ? key.substr(key.size() - 3) : key);
    m_body.dump(out);
    out << "}";
}
