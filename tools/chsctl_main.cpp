// chsctl: the management command line of the information collector.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/chsctl_commands.h"
#include "tools/cluster_layout.h"

namespace {

using chs_tools::ControlOptions;

const char* const kStatusUsage =
    "       chsctl [OPTIONS] status\n"
    "         every node of the cluster at a glance\n";

// What a subcommand needs from the global options.
enum class Needs { kNothing, kCluster, kClusterAndNode };

struct Subcommand {
    const char* pName;
    const char* const* ppUsage;
    int (*pRun)(const ControlOptions&);
    Needs needs;
};

const Subcommand kSubcommands[] = {
    {"switch", &chs_tools::kSwitchUsage, chs_tools::RunSwitch, Needs::kClusterAndNode},
    {"clear-collected", &chs_tools::kClearCollectedUsage, chs_tools::RunClearCollected,
     Needs::kClusterAndNode},
    {"export", &chs_tools::kExportUsage, chs_tools::RunExport, Needs::kClusterAndNode},
    {"remote-log", &chs_tools::kRemoteLogUsage, chs_tools::RunRemoteLog, Needs::kClusterAndNode},
    {"package", &chs_tools::kPackageUsage, chs_tools::RunPackage, Needs::kClusterAndNode},
    {"plugin", &chs_tools::kPluginUsage, chs_tools::RunPlugin, Needs::kClusterAndNode},
    {"status", &kStatusUsage, chs_tools::RunStatus, Needs::kCluster},
    {"send", &chs_tools::kSendUsage, chs_tools::RunSend, Needs::kClusterAndNode},
    {"mkcluster", &chs_tools::kMakeClusterUsage, chs_tools::RunMakeCluster, Needs::kNothing},
};

const char* const kSynopsis =
    "usage: chsctl [OPTIONS] SUBCOMMAND [ARGUMENTS]   (OPTIONS go before or after the subcommand)\n"
    "       chsctl --help | help [SUBCOMMAND] | SUBCOMMAND --help | --version\n";

const char* const kOptionsText =
    "OPTIONS:\n"
    "  --cluster DIR|FILE  the cluster directory or its cluster.json; without it $CHS_CLUSTER,\n"
    "                      else the cluster of the build tree (./chs cluster up makes it)\n"
    "  --node N            the node (0 to 15) whose daemon is asked\n"
    "  --timeout SECONDS   how long a request waits for its answer (1 to 86400, default 30)\n"
    "  --json              print one JSON document on standard output instead of text\n"
    "  --                  every later word belongs to the subcommand\n"
    "exit status: 0 done, 1 failed or refused, 2 bad command line, 3 node unreachable,\n"
    "             4 no answer in time\n";

const Subcommand* FindSubcommand(const std::string& name) {
    for (const Subcommand& subcommand : kSubcommands) {
        if (name == subcommand.pName) {
            return &subcommand;
        }
    }
    return nullptr;
}

int UsageError() {
    fprintf(stderr, "%s(chsctl --help lists the subcommands and options)\n", kSynopsis);
    return chs_tools::kExitUsage;
}

// chsctl --help, help [SUBCOMMAND], SUBCOMMAND --help: on standard output.
int Help(const std::vector<std::string>& topic) {
    if (topic.empty()) {
        printf("%s\nSUBCOMMAND is one of:\n", kSynopsis);
        for (const Subcommand& subcommand : kSubcommands) {
            printf("%s", *subcommand.ppUsage);
        }
        printf("\n%s", kOptionsText);
        return chs_tools::kExitOk;
    }
    const Subcommand* subcommand = topic.size() == 1 ? FindSubcommand(topic[0]) : nullptr;
    if (subcommand == nullptr) {
        fprintf(stderr, "chsctl: no help on \"%s\": not a subcommand\n", topic[0].c_str());
        return UsageError();
    }
    printf("usage:\n%s", *subcommand->ppUsage);
    if (subcommand->needs != Needs::kNothing) {
        printf("\n%s", kOptionsText);
    }
    return chs_tools::kExitOk;
}

// A cluster whose secret files others can read still works, but its owner
// hears of it on every use.
void WarnAboutSecretFileModes(const std::string& clusterDir) {
    for (const std::string& problem : chs_tools::CheckSecretFileModes(clusterDir)) {
        fprintf(stderr, "chsctl: warning: %s\n", problem.c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    ControlOptions options;
    if (!chs_tools::ParseCommandLine(argc, argv, options)) {
        return UsageError();
    }
    const std::vector<std::string>& words = options.vecWords;
    if (options.bVersion) {
        printf("chsctl %s\n", chs_tools::kVersion);
        return chs_tools::kExitOk;
    }
    if (!words.empty() && words[0] == "help") {
        return Help(std::vector<std::string>(words.begin() + 1, words.end()));
    }
    if (options.bHelp) {
        return Help(words.empty() ? words : std::vector<std::string>{words[0]});
    }
    if (words.empty()) {
        fprintf(stderr, "chsctl: no subcommand\n");
        return UsageError();
    }
    const Subcommand* subcommand = FindSubcommand(words[0]);
    if (subcommand == nullptr) {
        fprintf(stderr, "chsctl: unknown %s %s\n", words[0][0] == '-' ? "option" : "subcommand",
                words[0].c_str());
        return UsageError();
    }
    // Checking a downloaded bundle asks no node.
    bool local = words[0] == "export" && words.size() >= 2 && words[1] == "verify";
    if (subcommand->needs == Needs::kNothing || local) {
        return subcommand->pRun(options);
    }
    if (subcommand->needs == Needs::kClusterAndNode && !options.bNodeGiven) {
        fprintf(stderr, "chsctl: %s asks the daemon of one node: give --node N\nusage:\n%s",
                subcommand->pName, *subcommand->ppUsage);
        return chs_tools::kExitUsage;
    }
    if (!chs_tools::ResolveCluster(options)) {
        return chs_tools::kExitUsage;
    }
    WarnAboutSecretFileModes(options.strCluster);
    return subcommand->pRun(options);
}
