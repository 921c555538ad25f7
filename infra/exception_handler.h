// Fatal-signal handler: logs the signal, its siginfo fields and a call stack
// through the platform log's signal-safe writer, then ends the process
// (SIGRTMAX-3 and SIGPIPE return instead). The handler is async-signal-safe:
// it allocates nothing and takes no lock, so a signal that lands while another
// thread logs cannot deadlock it. It is not re-entrant; each signal is reset
// to its default action on first delivery.
#pragma once

#include <csignal>

constexpr int kExceptionSignalCount = 8;
extern const char* const kExceptionSignalNames[kExceptionSignalCount];

bool installException();

// The handler itself, for tests that call it with a siginfo of their own.
void excptProc(int signo, siginfo_t* info, void* context);
