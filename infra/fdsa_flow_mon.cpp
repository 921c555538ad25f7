#include "infra/fdsa_flow_mon.h"

void FdsaFlowMonClass::Start() {
    End();
    m_handle = FDSA_FlowMonitorStartSub(m_uiModule, m_uiType, &m_pair, 0);
}

void FdsaFlowMonClass::End() {
    if (m_handle == 0) {
        return;  // nothing open: the agent hands out no handle 0
    }
    FDSA_FlowMonitorEndSub(m_handle);
    m_handle = 0;
}
