// Exceptions of the message layer. They report programming faults (a missing
// tag, a value that cannot be copied, a body too big to encode); decoders of
// wire bytes never raise them, they log and return failure values instead.
// Every message handler catches them and answers with a failure code.
//
// Immutable after construction; safe to read from any thread.
#pragma once

#include <exception>
#include <string>

class MsgException : public std::exception {
  public:
    // The text is "Exception:" followed by `reason`.
    explicit MsgException(const std::string& reason = "", unsigned int code = 0);

    const char* what() const noexcept override { return m_text.c_str(); }
    unsigned int GetCode() const noexcept { return m_code; }

  private:
    unsigned int m_code;
    std::string m_text;
};

// Raised when a value cannot be copied into a cell (code 0xFFFFFFFF, empty reason).
class CException : public std::exception {
  public:
    explicit CException(const std::string& reason = "", unsigned int code = 0);

    const char* what() const noexcept override { return m_text.c_str(); }
    unsigned int GetCode() const noexcept { return m_code; }

  private:
    unsigned int m_code;
    std::string m_text;
};
