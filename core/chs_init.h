// Start-up of the daemon (CHS_Init) and its once-a-minute supervision.
// Only the main thread calls these.
#pragma once

#include <cstdint>
#include <string>

int32_t CHS_Init();
void CHS_CheckEveryMinute();
// Runs the supervision loop; returns only after `cycles` cycles when it is not
// 0 (tests), never when it is 0 (the daemon).
void CHS_SupervisionLoop(uint32_t cycles = 0);

// Makes SIGTERM and SIGINT end the daemon cleanly: the handler only writes
// the signal's number to a pipe; a thread of its own reads it, stops every
// input driver (each within the driver time limit, all in parallel, a stuck
// one left behind), logs, closes the log, leaves the cluster (giving up the
// presence lock) and ends the process with status 0. Install after the
// fatal-signal handler, which this replaces for SIGTERM. False (logged) when
// the pipe, the thread or the handler cannot be had.
bool CHS_InstallShutdownOnSignals();

// Tunables with the daemon's values; tests lower them.
extern uint32_t g_uiSupervisionPeriodMs;  // 60000
extern uint32_t g_uiCurlRetryMs;          // 3000
