// FdsaFlowMonClass: brackets one unit of work of a long-running loop with the
// platform's flow monitor (a hang detector). Start() opens a bracket with
// FDSA_FlowMonitorStartSub(module, type, &pair, 0) and keeps its handle; End()
// closes it with FDSA_FlowMonitorEndSub. A bracket still open when the object
// goes away (an exception left the unit of work) is closed by the destructor,
// so that no bracket is left open for ever.
//
// Callers use module 550 with the pair {1, 3600}; the timer clock uses type 4,
// the timer workers type 2.
//
// One object belongs to one thread; different objects may be used at once.
#pragma once

#include <cstdint>

#include "platform/fdsa.h"

class FdsaFlowMonClass {
public:
    FdsaFlowMonClass(uint32_t module, uint32_t type, FDSA_FLOW_PARA_S pair)
        : m_uiModule(module), m_uiType(type), m_pair(pair) {}
    ~FdsaFlowMonClass() { End(); }
    FdsaFlowMonClass(const FdsaFlowMonClass&) = delete;
    FdsaFlowMonClass& operator=(const FdsaFlowMonClass&) = delete;

    // Opens a bracket (closing one this object still holds open first).
    void Start();
    // Closes the open bracket, if any.
    void End();
    // 0 when no bracket is open (or the agent refused one).
    FDSA_FLOW_HANDLE Handle() const { return m_handle; }

private:
    FDSA_FLOW_HANDLE m_handle = 0;
    uint32_t m_uiModule;
    uint32_t m_uiType;
    FDSA_FLOW_PARA_S m_pair;
};
