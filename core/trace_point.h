// Fault-injection trace points. At fixed places the daemon tests whether a
// marker file in "/VXA/coffer_data/omm/chs/" is readable and, if so, runs
// ChsTpHandler on it. The marker's first line selects what happens:
//   "<anything>%<number>"          override the place's result value
//   "sleep#<ms>$<limit>"           sleep
//   "resetOS#$<limit>"             forced restart of the controller
//   "<other>#<argument>$<limit>"   the place's own handler with the argument
// One process-wide run counter, shared by all markers, bounds the runs of
// lines that carry a limit.
#pragma once

#include <cstdint>
#include <string>

constexpr const char* kTracePointDir = "/VXA/coffer_data/omm/chs/";

// The real path of marker `name` below the node root.
std::string TracePointPath(const std::string& name);

// Runs the trace point of marker `name` when its file is readable; a missing
// marker costs one access test. Every place of the daemon goes through this.
void ChsTpCheckPoint(const char* name, int (*handler)(void*) = nullptr, void* defaultArgument = nullptr,
                     int* result = nullptr);

void ChsTpHandler(std::string path, int (*handler)(void*), void* defaultArgument, int* result);
std::string GetOperInfo(std::string& path);
int ChsTpModifyValue(std::string& line, int* result);
void ChsDoCallback(int (*handler)(void*), void* argument, int* result);
void ChsResetLocalBoard();

// Handlers; the argument is a NUL-terminated text.
int ChsTpMallocCallback(void* arg);   // size in bytes: hold that much memory
int ChsTpCpuCallback(void* arg);      // busy milliseconds: keep the thread occupied
int ChsTpHandlerCallback(void* arg);  // count: hold that many open files

// Process-wide run counter; tests read it.
uint32_t ChsTpRunTimes();

// How long the memory and file handlers hold what they took (600000 ms);
// tests lower it.
extern uint32_t g_uiTpHoldMs;
// Upper bound of the CPU handler's busy period (600000 ms).
extern uint32_t g_uiTpCpuMaxMs;
