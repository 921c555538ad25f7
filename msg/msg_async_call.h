// Receivers of asynchronous answers. A callback posted with a request is
// called exactly once, with the answer (msg_rsp) or with the time-out answer
// (timeout), and then destroyed by whoever called it.
#pragma once

class InnerMsg;

class MsgAsyncCall {
public:
    virtual void msg_rsp(InnerMsg& answer) = 0;
    virtual void timeout(InnerMsg& answer) = 0;
    virtual ~MsgAsyncCall() = default;
};

// A callback made of two plain functions; a null one is not called.
class MsgAsyncFun : public MsgAsyncCall {
public:
    using Fn = void (*)(InnerMsg&);
    MsgAsyncFun(Fn onAnswer, Fn onTimeout) : m_pfnRsp(onAnswer), m_pfnTimeout(onTimeout) {}
    void msg_rsp(InnerMsg& answer) override {
        if (m_pfnRsp != nullptr) {
            m_pfnRsp(answer);
        }
    }
    void timeout(InnerMsg& answer) override {
        if (m_pfnTimeout != nullptr) {
            m_pfnTimeout(answer);
        }
    }

private:
    Fn m_pfnRsp;
    Fn m_pfnTimeout;
};
