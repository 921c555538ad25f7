#include "msg/msg_exception.h"

namespace {
const char kExceptionPrefix[] = "Exception:";
}  // namespace

MsgException::MsgException(const std::string& reason, unsigned int code)
    : m_code(code), m_text(kExceptionPrefix + reason) {}

CException::CException(const std::string& reason, unsigned int code)
    : m_code(code), m_text(kExceptionPrefix + reason) {}
