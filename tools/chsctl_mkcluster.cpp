// chsctl mkcluster: creates the directory of a simulated cluster.
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/chsctl_commands.h"
#include "tools/cluster_layout.h"

namespace chs_tools {
namespace {

int MakeClusterUsage() {
    fprintf(stderr, "usage: chsctl mkcluster DIR [--nodes N] [--log-level L]\n");
    return kExitUsage;
}

}  // namespace

int RunMakeCluster(int argc, char** argv) {
    if (argc < 3) {
        return MakeClusterUsage();
    }
    unsigned long nodes = 1;
    unsigned long level = 6;
    for (int i = 3; i < argc; ++i) {
        if (strcmp(argv[i], "--nodes") == 0 && i + 1 < argc) {
            if (!ParseNumber(argv[++i], 1, 16, nodes)) {
                fprintf(stderr, "chsctl: --nodes takes a number from 1 to 16\n");
                return kExitUsage;
            }
        } else if (strcmp(argv[i], "--log-level") == 0 && i + 1 < argc) {
            if (!ParseNumber(argv[++i], 0, 7, level)) {
                fprintf(stderr, "chsctl: --log-level takes a number from 0 to 7\n");
                return kExitUsage;
            }
        } else {
            return MakeClusterUsage();
        }
    }
    std::string error;
    if (!chs_tools::CreateSimulatedCluster(argv[2], static_cast<unsigned int>(nodes),
                                           static_cast<unsigned int>(level), error)) {
        fprintf(stderr, "chsctl: %s\n", error.c_str());
        return kExitFailed;
    }
    printf("cluster of %lu node(s) created in %s\n", nodes, argv[2]);
    return 0;
}

}  // namespace chs_tools
