// chsctl: the management command line of the information collector.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/chsctl_commands.h"
#include "tools/cluster_layout.h"

namespace {

int Usage() {
    fprintf(stderr,
            "usage: chsctl mkcluster DIR [--nodes N] [--log-level L] [--collect-interval SECONDS]\n"
            "                        [--transport unix|tcp] [--tcp-port-base PORT]\n"
            "                        [--ccdb sqlite|etcd] [--etcd-endpoint http://HOST:PORT]...\n"
            "         create a simulated cluster directory (default 1 node, log level 6, collection\n"
            "         every 3600 s by the sample plugin; tcp: nodes talk over TCP with mutual TLS,\n"
            "         certificates in DIR/tls; etcd: the configuration database is in that etcd,\n"
            "         which must answer, instead of DIR/ccdb.sqlite)\n"
            "       chsctl send --cluster DIR --node N [--timeout SECONDS] [FILE|-]\n"
            "         send a message in JSON form to an endpoint of a node and print the answer\n"
            "       chsctl --cluster DIR --node N [--timeout SECONDS] [--json] switch get\n"
            "       chsctl --cluster DIR --node N [--timeout SECONDS] [--json] switch set on|off [--oem]\n"
            "         query or set the collector switch (or, with --oem, the OEM switch) of the cluster\n"
            "       chsctl --cluster DIR --node N [--timeout SECONDS] [--json] clear-collected\n"
            "         delete everything the node has collected\n"
            "%s%s%s",
            chs_tools::kExportUsage, chs_tools::kRemoteLogUsage, chs_tools::kPackageUsage);
    return chs_tools::kExitUsage;
}

// A cluster whose secret files others can read still works, but its owner
// hears of it on every use.
void WarnAboutSecretFileModes(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (strcmp(argv[i], "--cluster") == 0) {
            for (const std::string& problem : chs_tools::CheckSecretFileModes(argv[i + 1])) {
                fprintf(stderr, "chsctl: warning: %s\n", problem.c_str());
            }
            return;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return Usage();
    }
    if (strcmp(argv[1], "mkcluster") == 0) {
        return chs_tools::RunMakeCluster(argc, argv);
    }
    WarnAboutSecretFileModes(argc, argv);
    if (strcmp(argv[1], "send") == 0) {
        return chs_tools::RunSend(argc, argv);
    }
    if (strncmp(argv[1], "--", 2) == 0) {
        return chs_tools::RunControl(argc, argv);
    }
    return Usage();
}
