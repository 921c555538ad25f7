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

// Tunables with the daemon's values; tests lower them.
extern uint32_t g_uiSupervisionPeriodMs;  // 60000
extern uint32_t g_uiCurlRetryMs;          // 3000
