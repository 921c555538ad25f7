// The single-run wrapper of long message handlers: MsgSingleRun<Handler>
// is registered in the handler table in place of Handler. It hands the
// request to a detached worker thread and returns at once, so the dispatcher
// is never held; while one request of this handler is being served, the next
// is answered at once with BusyResult and an empty description, never queued.
//
// Two guards per instance: the running flag, read at dispatch, and an atomic
// exchange in the worker, which refuses a request that slipped past the flag.
// The worker owns its heap copy of the request and destroys it. Handler
// exceptions are swallowed; both guards are cleared afterwards in any case,
// so the next request is served.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <thread>

#include "core/trace_point.h"
#include "infra/chs_log.h"
#include "infra/fdsa_flow_mon.h"
#include "msg/inner_msg.h"

constexpr uint32_t SINGLE_RUN_BUSY = 0xFFFFFFFF;
constexpr uint32_t SINGLE_RUN_FLOW_MODULE = 550;
constexpr uint32_t SINGLE_RUN_FLOW_TYPE = 5;
constexpr FDSA_FLOW_PARA_S SINGLE_RUN_FLOW_PAIR = {1, 3600};
constexpr const char* TP_SINGLE_RUN_SLEEP = "TP_MON_CHS_MsgSingleRunInner_Sleep2H";

// The guards of one instance; one object per (Handler, BusyResult).
template <void (*Handler)(InnerMsg&), uint32_t BusyResult>
struct SingleRunState {
    static inline std::atomic<bool> running{false};
    static inline std::atomic<int> guard{0};
};

template <void (*Handler)(InnerMsg&), uint32_t BusyResult = SINGLE_RUN_BUSY>
void MsgSingleRunInner(InnerMsg* request, std::atomic<bool>* running) {
    using State = SingleRunState<Handler, BusyResult>;
    if (State::guard.exchange(1, std::memory_order_acquire) == 1) {
        request->PostSimpleAckMsg(BusyResult, "");
        delete request;
        return;
    }
    {
        FdsaFlowMonClass flowMon(SINGLE_RUN_FLOW_MODULE, SINGLE_RUN_FLOW_TYPE, SINGLE_RUN_FLOW_PAIR);
        flowMon.Start();
        ChsTpCheckPoint(TP_SINGLE_RUN_SLEEP);
        running->store(true);
        try {
            Handler(*request);
        } catch (...) {
            CHS_LOG(3, LOGID_EXPORT, "Single run handler threw, opcode:%u.",
                    request->GetMsgInfo().uiMsgOPCode);
        }
        running->store(false);
        flowMon.End();
    }
    delete request;
    State::guard.store(0, std::memory_order_release);
}

template <void (*Handler)(InnerMsg&), uint32_t BusyResult = SINGLE_RUN_BUSY>
void MsgSingleRun(InnerMsg& msg) {
    using State = SingleRunState<Handler, BusyResult>;
    if (State::running.load()) {
        msg.PostSimpleAckMsg(BusyResult, "");
        return;
    }
    InnerMsg* copy = nullptr;
    try {
        copy = new InnerMsg(msg);
        std::thread(MsgSingleRunInner<Handler, BusyResult>, copy, &State::running).detach();
    } catch (...) {
        // No worker: the request would otherwise go unanswered until its
        // sender times out.
        delete copy;
        CHS_LOG(3, LOGID_EXPORT, "Failed to start single run worker, opcode:%u.",
                msg.GetMsgInfo().uiMsgOPCode);
        msg.PostSimpleAckMsg(BusyResult, "");
    }
}
