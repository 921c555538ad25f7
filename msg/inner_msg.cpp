#include "msg/inner_msg.h"

#include <cstring>
#include <new>
#include <sstream>

#include "core/omlib.h"
#include "infra/chs_log.h"
#include "infra/timer_drv.h"
#include "msg/msg_api.h"
#include "msg/msg_decode_log.h"
#include "msg/msg_exception.h"

namespace {

uint64_t NowSeconds() { return TimerDrvClass::AbsMilliSecond() / 1000; }

// The private data of a posted request: the callback pointer in bytes 8..15.
tagPrivateData PrivateDataFor(MsgAsyncCall* callback) {
    tagPrivateData data {};
    memcpy(data.aucData + 8, &callback, sizeof(callback));
    return data;
}

MsgRecord* ErrorRecord(unsigned long long code, unsigned int errorCode, const std::string& description) {
    MsgRecord* record = new MsgRecord(code);
    try {
        record->appendInner(CTLVCell::NewUInt32(MSG_TAG_ERROR_CODE, errorCode));
        if (!description.empty()) {
            record->appendInner(CTLVCell::NewString(MSG_TAG_DESCRIPTION, description));
        }
    } catch (...) {
        delete record;
        throw;
    }
    return record;
}

}  // namespace

uint32_t MsgCellValue32(const CTLVCell& cell) {
    if (!CTLVCell::IsNumericalType(cell.GetType())) {
        return 0;
    }
    const unsigned char* value = cell.GetValue();
    unsigned int length = cell.GetLength() < 4 ? cell.GetLength() : 4;
    uint32_t result = 0;
    for (unsigned int i = 0; value != nullptr && i < length; ++i) {
        result |= static_cast<uint32_t>(value[i]) << (8 * i);
    }
    return result;
}

InnerMsg::InnerMsg() : m_info(), m_ulCreated(NowSeconds()) {
    msg_api::InitMsgInfo(&m_info);
}

InnerMsg::InnerMsg(const InnerMsg& other)
    : MsgInterface(),
      m_body(other.m_body),
      m_info(other.m_info),
      m_pOrigin(other.m_pOrigin != nullptr ? msg_api::CopyMsg(other.m_pOrigin) : nullptr),
      m_pCallback(other.m_pCallback),
      m_ulCreated(other.m_ulCreated) {}

InnerMsg& InnerMsg::operator=(const InnerMsg& other) {
    if (this == &other) {
        return *this;
    }
    m_body = other.m_body;
    m_info = other.m_info;
    ReleaseOrigin();
    m_pOrigin = other.m_pOrigin != nullptr ? msg_api::CopyMsg(other.m_pOrigin) : nullptr;
    m_pCallback = other.m_pCallback;
    m_ulCreated = other.m_ulCreated;
    return *this;
}

InnerMsg::~InnerMsg() { ReleaseOrigin(); }

void InnerMsg::ReleaseOrigin() {
    if (m_pOrigin != nullptr) {
        msg_api::FreeMsg(m_pOrigin);
        m_pOrigin = nullptr;
    }
}

void* InnerMsg::EncodeBody(const MsgObject& body, unsigned int& length) {
    // A record over the 16-bit record length makes the body codec raise;
    // every send path reports that as a failure instead.
    try {
        length = body.length();
    } catch (const std::exception& e) {
        CHS_LOG(3, LOGID_MSG, "The message body cannot be encoded: %s.", e.what());
        length = 0;
        return nullptr;
    }
    void* buffer = msg_api::AllocMsg(length);
    if (buffer == nullptr) {
        return nullptr;
    }
    unsigned int written = MSG_CODEC_FAILURE;
    try {
        written = body.encode(static_cast<unsigned char*>(buffer), length);
    } catch (const std::exception& e) {
        CHS_LOG(3, LOGID_MSG, "The message body cannot be encoded: %s.", e.what());
    }
    if (written == MSG_CODEC_FAILURE || written == 0) {
        msg_api::FreeMsg(buffer);
        return nullptr;
    }
    length = written;
    return buffer;
}

unsigned int InnerMsg::Encode(unsigned char*& out) {
    unsigned int length = 0;
    void* buffer = EncodeBody(m_body, length);
    if (buffer == nullptr) {
        return MSG_CODEC_FAILURE;
    }
    m_info.uiMsgLength = length;
    out = static_cast<unsigned char*>(buffer);
    return length;
}

unsigned int InnerMsg::Decode(unsigned char* transportMessage, unsigned int /*size*/) {
    ReleaseOrigin();
    if (transportMessage == nullptr) {
        return MSG_CODEC_FAILURE;
    }
    m_pOrigin = msg_api::CopyMsg(transportMessage);
    if (msg_api::GetMsgInfo(transportMessage, &m_info) != 0) {
        CHS_LOG(3, LOGID_MSG, "Failed to get msg info from origin msg.");
        return MSG_CODEC_FAILURE;
    }
    if (m_info.uiMsgState != 0) {
        m_body.clear();
        return 0;
    }
    // The length in the record must not send the decoder past the bytes the
    // transport actually holds.
    if (m_info.uiMsgLength > msg_api::GetMsgLength(transportMessage)) {
        if (MsgDecodeLogAllowed()) {
            CHS_LOG(3, LOGID_MSG, "Message length %u is over the %u bytes received.", m_info.uiMsgLength,
                    msg_api::GetMsgLength(transportMessage));
        }
        m_body.clear();
        return MSG_CODEC_FAILURE;
    }
    return m_body.decode(transportMessage, m_info.uiMsgLength);
}

bool InnerMsg::PostAsyncMsg(MsgAsyncCall* callback) {
    unsigned int length = 0;
    void* buffer = (m_info.uiMsgOPCode == 0 || m_body.empty()) ? nullptr : EncodeBody(m_body, length);
    if (buffer == nullptr) {
        delete callback;
        return false;
    }
    m_info.uiMsgLength = length;
    tagPrivateData data = PrivateDataFor(callback);
    int ret = msg_api::PostAsyncMsg(buffer, &m_info, callback != nullptr ? &data : nullptr);
    if (ret != 0) {
        // A post that failed at once is never answered: nothing else will
        // ever call or free this callback.
        delete callback;
        return false;
    }
    return true;
}

bool InnerMsg::SendSyncMsg(InnerMsg& answer) {
    unsigned int length = 0;
    void* buffer = (m_info.uiMsgOPCode == 0 || m_body.empty()) ? nullptr : EncodeBody(m_body, length);
    if (buffer == nullptr) {
        return false;
    }
    m_info.uiMsgLength = length;
    void* reply = nullptr;
    msg_api::SendSyncMsg(buffer, &m_info, &reply);
    if (reply == nullptr) {
        return false;
    }
    bool decoded = false;
    if (msg_api::GetMsgInfo(reply, &answer.m_info) == 0) {
        unsigned int available = msg_api::GetMsgLength(reply);
        unsigned int size = answer.m_info.uiMsgLength < available ? answer.m_info.uiMsgLength : available;
        decoded = answer.m_body.decode(static_cast<unsigned char*>(reply), size) != MSG_CODEC_FAILURE;
    }
    msg_api::FreeMsg(reply);
    return decoded;
}

unsigned int InnerMsg::SimpleSyncMsg(InnerMsg& answer) {
    return SendSyncMsg(answer) ? answer.TryGetErrorCode() : 0xFFFFFFFF;
}

unsigned int InnerMsg::Multicast(uint32_t nodeMask, Callback onAnswer, Callback onTimeout) {
    unsigned int posted = 0;
    for (uint16_t node = 0; node < 16; ++node) {
        if ((nodeMask & (1u << node)) == 0) {
            continue;
        }
        m_info.usReceiverBID = node;
        // A notification without callbacks posts none: nothing would ever
        // free a callback that no answer comes back for.
        MsgAsyncCall* callback = nullptr;
        if (onAnswer != nullptr || onTimeout != nullptr) {
            callback = new (std::nothrow) MsgAsyncFun(onAnswer, onTimeout);
        }
        if ((callback != nullptr || (onAnswer == nullptr && onTimeout == nullptr)) && PostAsyncMsg(callback)) {
            ++posted;
            continue;
        }
        CHS_LOG(2, LOGID_MSG, "Failed to post msg to node %u.", node);
        if (onAnswer != nullptr) {
            InnerMsg substitute;
            substitute.m_info.usSenderBID = node;
            substitute.SetResult(MSG_STATE_POST_FAILED);
            onAnswer(substitute);
        }
    }
    return posted;
}

unsigned int InnerMsg::Broadcast(Callback onAnswer, Callback onTimeout) {
    uint32_t online = 0;
    omlib::getOnlineMap(online);
    return Multicast(online, onAnswer, onTimeout);
}

unsigned int InnerMsg::BroadcastExcludeSelf(Callback onAnswer, Callback onTimeout) {
    uint32_t online = 0;
    omlib::getOnlineMap(online);
    uint16_t local = omlib::getLocalNidInUser();
    if (local > 16) {
        CHS_LOG(3, LOGID_MSG, "Failed to get local node id.");
        return 0;
    }
    online &= ~(1u << local);
    return Multicast(online, onAnswer, onTimeout);
}

bool InnerMsg::PostAckMsg(MsgObject& body) {
    if (m_pOrigin == nullptr || body.empty()) {
        return false;
    }
    unsigned int length = 0;
    void* buffer = EncodeBody(body, length);
    return buffer != nullptr && msg_api::PostAckMsg(m_pOrigin, buffer, length) == 0;
}

bool InnerMsg::RefuseMsg() { return m_pOrigin != nullptr && msg_api::RefuseMsg(m_pOrigin) == 0; }

bool InnerMsg::PostSimpleAckMsg(unsigned int errorCode, const std::string& description) {
    try {
        MsgObject body;
        body.append(ErrorRecord(m_body.empty() ? 0 : m_body[0].GetCode(), errorCode, description));
        return PostAckMsg(body);
    } catch (...) {
        CHS_LOG(2, LOGID_MSG, "Failed to send msg response, opcode:%u, errcode:%u.", m_info.uiMsgOPCode, errorCode);
        return false;
    }
}

void InnerMsg::SimpleSetErrorMsg(unsigned int errorCode, const std::string& description,
                                 unsigned long long recordCode) {
    m_body.append(ErrorRecord(recordCode, errorCode, description));
}

unsigned int InnerMsg::TryGetErrorCode() const {
    if (m_info.uiMsgState != 0) {
        return 0xFFFFFFFF;
    }
    for (const MsgRecord& record : m_body) {
        const CTLVCell* cell = record.find(MSG_TAG_ERROR_CODE);
        if (cell != nullptr && CTLVCell::IsNumericalType(cell->GetType())) {
            uint32_t code = MsgCellValue32(*cell);
            return code == 1 ? 0 : code;
        }
    }
    return 0;
}

bool InnerMsg::IsTimeOut() const {
    if (m_info.uiMsgTimeout == 0) {
        return false;
    }
    uint64_t waited = NowSeconds() - m_ulCreated;
    if (waited > m_info.uiMsgTimeout && m_info.usMsgType == MSG_TYPE_REQUEST) {
        std::ostringstream dump;
        Dump(dump);
        CHS_LOG_PRINT(2, LOGID_MSG, "The request message have waited for ", waited,
                      "(s) in msg queue, it should be dropped.", dump.str());
        return true;
    }
    if (waited > 10) {
        std::ostringstream dump;
        Dump(dump);
        CHS_LOG_PRINT(2, LOGID_MSG, "The request message have waited for ", waited, "(s) in msg queue.", dump.str());
    }
    return false;
}

void InnerMsg::Dump(std::ostream& out) const {
    out << " sendBid:" << m_info.usSenderBID << " sendPid:" << m_info.usSenderPID
        << " recvBid:" << m_info.usReceiverBID << " recvPid:" << m_info.usReceiverPID
        << " msgType:" << m_info.usMsgType << " msgCode:" << m_info.uiMsgOPCode
        << " msgState:" << static_cast<int32_t>(m_info.uiMsgState);
    // Masks hide cells in this text only; the message itself stays as it is.
    MsgObject masked(m_body);
    Msg_SetPrintMask(masked, m_info.uiMsgOPCode);
    masked.dump(out);
}
