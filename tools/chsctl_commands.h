// The subcommands of chsctl. One grammar serves them all: the global options
// (--cluster, --node, --timeout, --json) go before or after the subcommand;
// ParseCommandLine takes them out and leaves the subcommand's own words.
// Each Run... function takes the parsed command line and returns the process
// exit status.
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

// Where a request goes and how long it may wait: --cluster, --node N,
// --timeout SECONDS (1 to 86400). strCluster is the cluster directory once
// ResolveCluster has run.
struct ClientOptions {
    std::string strCluster;
    unsigned long ulNode = 0;
    bool bNodeGiven = false;
    unsigned long ulTimeoutSec = 30;
    bool bTimeoutGiven = false;
};

// The whole command line: the global options, --json, --help/-h, --version
// and the words of the subcommand in their order (global options taken out;
// after a "--" every word belongs to the subcommand).
struct ControlOptions : ClientOptions {
    bool bClusterGiven = false;
    bool bJson = false;
    bool bHelp = false;
    bool bVersion = false;
    std::vector<std::string> vecWords;
};

// "chsctl VERSION" names this version.
extern const char* const kVersion;

// Parses argv[1..]. false after printing why on standard error.
bool ParseCommandLine(int argc, char** argv, ControlOptions& options);

// Turns the cluster of the command line into its directory: --cluster names
// the directory or its cluster.json; without it CHS_CLUSTER, else the cluster
// of this build tree (where ./chs cluster up makes it). A cluster that was
// not given is named on standard error with where it came from. false after
// printing why.
bool ResolveCluster(ControlOptions& options);

// chsctl mkcluster DIR ...; vecWords begins with "mkcluster".
int RunMakeCluster(const ControlOptions& options);
// chsctl send [FILE|-]: a message in its JSON form; the answer is printed in
// the same wire form, --json or not.
int RunSend(const ControlOptions& options);
// chsctl switch get|set; vecWords begins with "switch".
int RunSwitch(const ControlOptions& options);
// chsctl plugin release NAME.
int RunPlugin(const ControlOptions& options);
// chsctl clear-collected.
int RunClearCollected(const ControlOptions& options);
// chsctl ... export start|status|download|clear; `options.vecWords` begins
// with "export".
int RunExport(const ControlOptions& options);
// chsctl ... remote-log start|stop|show; `options.vecWords` begins with "remote-log".
int RunRemoteLog(const ControlOptions& options);
// chsctl ... package.
int RunPackage(const ControlOptions& options);
// chsctl ... status: every node of the cluster at a glance.
int RunStatus(const ControlOptions& options);

// The usage lines of the subcommands, each beginning with blanks where
// "usage: " stands on the first line of a usage text; the global options
// are written [OPTIONS].
extern const char* const kMakeClusterUsage;
extern const char* const kSendUsage;
extern const char* const kSwitchUsage;
extern const char* const kClearCollectedUsage;
extern const char* const kPluginUsage;
extern const char* const kExportUsage;
extern const char* const kRemoteLogUsage;
extern const char* const kPackageUsage;

}  // namespace chs_tools
