// The collector's message-handler table and its registration with the
// daemon's message engine (endpoint 551).
//
// The table is constant. InitInfoCollectMsgHandler runs once, on the start-up
// thread, before requests arrive; the engine owns the registered handlers for
// the life of the process.
#pragma once

#include <cstdint>

#include "msg/msg_process.h"

struct tagCOLLECTOR_MSG_FUNC_ENTRY {
    unsigned long long ullKey;
    unsigned long long ullSubKey;  // used as 32-bit
    void (*pfnHandle)(InnerMsg&);
    unsigned long long ullPri;  // MSG_PRI, used as 32-bit
};

constexpr unsigned int COLLECTOR_MSG_FUNC_NUM = 15;
extern const tagCOLLECTOR_MSG_FUNC_ENTRY g_COLLECTOR_MSG_Func_Entry[COLLECTOR_MSG_FUNC_NUM];

// Handlers of the table.
void HandleSetSwitch(InnerMsg& request);
void HandleQueryCollectorSwitch(InnerMsg& request);
void HandleCollectorSwitchDbChange(InnerMsg& request);
void handleExportFile(InnerMsg& request);
void processDelFileFromPeer(InnerMsg& request);
void processQueryDiagDataStatus(InnerMsg& request);
void handleExportDiagnoseFileForSingleRun(InnerMsg& request);
void handleGetExportStatusForSingelRun(InnerMsg& request);
void handleDownLoadFileHandleForSingleRun(InnerMsg& request);
void handleClearExportDataForSingelRun(InnerMsg& request);
void HandlePkgCollectorFile(InnerMsg& request);
void handleRemoteLogCollect(InnerMsg& request);
void handleStopRemoteLogCollect(InnerMsg& request);
void HandleCollectorSwichChange(InnerMsg& request);
void HandleClearAllCollectorFile(InnerMsg& request);

// Initialises the message engine for 551 and registers the table in order.
// 0, or -1 when a registration fails (the entries after it stay unregistered).
int InitInfoCollectMsgHandler();

// Builds the handler object of one table entry; null when it cannot. Tests
// replace it to make a registration fail; the default allocates a
// MsgHandleWrapper.
using CollectorHandlerFactory = MsgHandle* (*)(void (*function)(InnerMsg&), uint32_t priority);
extern CollectorHandlerFactory g_pfnCollectorHandlerFactory;
MsgHandle* NewCollectorHandler(void (*function)(InnerMsg&), uint32_t priority);
