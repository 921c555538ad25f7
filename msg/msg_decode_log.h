// Bounds the log lines that decoding the messages of one connection can
// write: a peer sending malformed bodies in a loop must not fill the log and
// rotate everything older away.
//
// While a MsgDecodeLogScope for a source (the connection a message came by,
// msg_api::GetMsgSource) lives on a thread, every decode log line of that
// thread asks MsgDecodeLogAllowed first: each source may write
// MSG_DECODE_LOG_BUDGET lines a minute; the first one past it says that the
// rest is suppressed. Without a scope (source 0, messages made here) every
// line is written.
//
// Thread-safe; a scope belongs to the thread that made it.
#pragma once

#include <cstdint>

constexpr unsigned int MSG_DECODE_LOG_BUDGET = 10;

class MsgDecodeLogScope {
  public:
    explicit MsgDecodeLogScope(uint64_t source);
    ~MsgDecodeLogScope();
    MsgDecodeLogScope(const MsgDecodeLogScope&) = delete;
    MsgDecodeLogScope& operator=(const MsgDecodeLogScope&) = delete;

  private:
    uint64_t m_ulPrevious;
};

bool MsgDecodeLogAllowed();
