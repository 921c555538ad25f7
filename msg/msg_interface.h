// The abstract message: a header of some form and a TLV body. InnerMsg (the
// transport form) and NetMgrMsg (the self-describing buffer form) implement it.
//
// The virtual slot order is fixed; add nothing in between. Implementations
// are not thread-safe unless they say otherwise.
#pragma once

#include <ostream>

class MsgInterface {
  public:
    virtual ~MsgInterface() = default;
    // Reads the message from `size` bytes at `buffer`; the bytes consumed or 0xFFFFFFFF.
    virtual unsigned int Decode(unsigned char* buffer, unsigned int size) = 0;
    // Produces the wire form in a new buffer handed out through `out`; how the
    // buffer is freed depends on the implementation.
    virtual unsigned int Encode(unsigned char*& out) = 0;
    virtual void SetSessionKey(unsigned int sessionKey) = 0;
    virtual unsigned int GetSessionKey() const = 0;
    virtual void SetResult(unsigned int result) = 0;
    virtual unsigned int GetResult() const = 0;
    virtual unsigned int GetVersion() const = 0;
    // Empties the body.
    virtual void Clear() = 0;
    // The message's text form for logs.
    virtual void Dump(std::ostream& out) const = 0;
};
