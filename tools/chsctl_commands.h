// The subcommands of chsctl. Each takes the whole command line and returns
// the process exit status.
#pragma once

namespace chs_tools {

// Exit statuses shared by the subcommands.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;        // bad command line or malformed input
constexpr int kExitUnreachable = 3;  // no endpoint listens at the destination
constexpr int kExitTimeout = 4;      // no answer in time

// A decimal number from `min` to `max`, digits only.
bool ParseNumber(const char* text, unsigned long min, unsigned long max, unsigned long& value);

int RunMakeCluster(int argc, char** argv);
int RunSend(int argc, char** argv);
// The global-option form: chsctl --cluster DIR --node N ... switch|clear-collected.
int RunControl(int argc, char** argv);

}  // namespace chs_tools
