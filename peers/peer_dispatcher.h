// PeerDispatcher: one process, several transport endpoints. Each module
// registers its own process id with the transport; requests arriving for any
// of them are decoded on the transport's reader thread, queued, and handled on
// a small pool of worker threads, so that a module told to delay does not hold
// up the reader or the other endpoints.
//
// Before a module sees a request, the dispatcher applies the fault mode of
// the request's behaviour, or else the module's (peer_fault.h). A request whose body cannot be decoded is answered with
// PEER_ERR_BAD_REQUEST without reaching the module.
//
// The transport's entry is a plain function, so at most one dispatcher can be
// started per process; it lives until the process ends (there is no orderly
// shutdown of the transport). Modules handed to Add() belong to the dispatcher.
// Add() and Start() are called from one thread at start-up; everything after
// that is thread-safe.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "msg/inner_msg.h"

namespace chs_peers {

class PeerModule {
  public:
    virtual ~PeerModule() = default;
    virtual uint16_t Pid() const = 0;
    // Notices are never answered, so a "fail" mode does not apply to them.
    virtual bool IsNotice(const InnerMsg& /*request*/) const { return false; }
    // The behaviour `request` asks for, by the name its fault override uses
    // (peer_fault.h); empty when only the endpoint's mode applies.
    virtual std::string Behaviour(const InnerMsg& /*request*/) const { return ""; }
    // Called on a worker thread; must answer the request itself (or not, for
    // a notice). May run concurrently with other requests of the same module.
    virtual void Handle(InnerMsg& request) = 0;
};

// Answers `request` with `code` in cell 4095 and `why` in cell 4094 (when not
// empty); logs when the answer cannot be posted.
void AnswerResult(InnerMsg& request, uint32_t code, const std::string& why);

class PeerDispatcher {
  public:
    static PeerDispatcher& Instance();

    // Starts the worker threads; false when already started.
    bool Start(unsigned int workers);
    // Registers the module's endpoint with the transport (which must be
    // started). false, with the module dropped, when the transport refuses.
    bool Add(std::unique_ptr<PeerModule> module);

    // Requests waiting beyond this many are answered PEER_ERR_BUSY at once.
    static constexpr size_t kQueueLimit = 256;

  private:
    PeerDispatcher() = default;
    static int Entry(void* transportMessage);
    void Enqueue(void* transportMessage);
    void Work();
    void Process(InnerMsg& request);

    std::map<uint16_t, std::unique_ptr<PeerModule>> m_modules;
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::deque<std::unique_ptr<InnerMsg>> m_queue;
    std::vector<std::thread> m_workers;
};

}  // namespace chs_peers
