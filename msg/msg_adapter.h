// The daemon's adapters for the message transport: the transport sleeps,
// allocates, logs, reads the clock, learns the local node and starts threads
// through these, so that it runs on the daemon's own services.
//
// All are plain functions, callable from any thread, registered once by
// msg_api::StartClient.
#pragma once

#include <cstdint>

#include "platform/msg_transport.h"

// Sleeps `units` x 10 ms.
void msgAdpSleep(uint32_t units);
// An array of `size` bytes, or null; released with msgAdpFree (null is ignored).
void* msgAdpAlloc(uint32_t size);
void msgAdpFree(void* pointer);
// Maps the transport's level (1, 2, 3, 4 -> daemon 3, 3, 2, 1; any other -> 0)
// and writes the line whatever the daemon's level; the platform log still
// applies its own.
void msgAdpLog(uint32_t module, uint32_t level, const char* func, uint32_t line, uint32_t logId,
               const char* fmt, ...) __attribute__((format(printf, 6, 7)));
uint32_t msgAdpLogLevel(uint32_t transportLevel);
// Wall-clock seconds since the epoch, also stored through `seconds` when it is not null.
int64_t msgAdpLocaltime(int64_t* seconds);
int64_t msgAdpTime(int64_t* seconds);
uint16_t msgAdpLocalnid(void);
// Starts a detached thread running fn(arg); 0 is stored through `threadId`
// when given. Returns 0, or -1 when no thread could be started.
int msgAdpCreateThread(void* (*fn)(void*), void* arg, uint32_t* threadId);
