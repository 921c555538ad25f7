// The subcommands of chsctl. Each takes the whole command line and returns
// the process exit status.
#pragma once

#include <string>
#include <vector>

namespace chs_tools {

// Exit statuses shared by the subcommands.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;        // bad command line or malformed input
constexpr int kExitUnreachable = 3;  // no endpoint listens at the destination
constexpr int kExitTimeout = 4;      // no answer in time

// A decimal number from `min` to `max`, digits only.
bool ParseNumber(const char* text, unsigned long min, unsigned long max, unsigned long& value);

// Where a request goes and how long it may wait: --cluster DIR, --node N,
// --timeout SECONDS (1 to 86400).
struct ClientOptions {
    std::string strCluster;
    unsigned long ulNode = 0;
    bool bNodeGiven = false;
    unsigned long ulTimeoutSec = 30;
    bool bTimeoutGiven = false;
};

// Takes argv[i] (and its value, moving i past it) when it is one of the
// client options. 1 taken, 0 not a client option, -1 a bad value (printed).
int TakeClientOption(int argc, char** argv, int& i, ClientOptions& options);

// The global-option form: the client options, --json, and the words of the
// subcommand (everything after the global options, --json taken out).
struct ControlOptions : ClientOptions {
    bool bJson = false;
    std::vector<std::string> vecWords;
};

int RunMakeCluster(int argc, char** argv);
int RunSend(int argc, char** argv);
// The global-option form: chsctl --cluster DIR --node N ... switch|clear-collected|export.
int RunControl(int argc, char** argv);
// chsctl ... export start|status|download|clear; `options.vecWords` begins
// with "export".
int RunExport(const ControlOptions& options);
// chsctl ... remote-log start|stop|show; `options.vecWords` begins with "remote-log".
int RunRemoteLog(const ControlOptions& options);
// chsctl ... package.
int RunPackage(const ControlOptions& options);
// chsctl ... status: every node of the cluster at a glance.
int RunStatus(const ControlOptions& options);

// The usage lines of the export, remote-log and package subcommands, each beginning with blanks where
// "usage: " stands on the first line of a usage text.
extern const char* const kExportUsage;
extern const char* const kRemoteLogUsage;
extern const char* const kPackageUsage;

}  // namespace chs_tools
