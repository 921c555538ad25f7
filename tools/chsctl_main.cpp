// chsctl: the management command line of the information collector.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/cluster_layout.h"

namespace {

int Usage() {
    fprintf(stderr,
            "usage: chsctl mkcluster DIR [--nodes N]   create a simulated cluster directory (default 1 node)\n");
    return 2;
}

int MakeCluster(int argc, char** argv) {
    if (argc < 3) {
        return Usage();
    }
    unsigned long nodes = 1;
    for (int i = 3; i < argc; ++i) {
        if (strcmp(argv[i], "--nodes") == 0 && i + 1 < argc) {
            char* end = nullptr;
            nodes = strtoul(argv[++i], &end, 10);
            if (*end != '\0' || nodes == 0 || nodes > 16) {
                fprintf(stderr, "chsctl: --nodes takes a number from 1 to 16\n");
                return 2;
            }
        } else {
            return Usage();
        }
    }
    std::string error;
    if (!chs_tools::CreateSimulatedCluster(argv[2], static_cast<unsigned int>(nodes), error)) {
        fprintf(stderr, "chsctl: %s\n", error.c_str());
        return 1;
    }
    printf("cluster of %lu node(s) created in %s\n", nodes, argv[2]);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return Usage();
    }
    if (strcmp(argv[1], "mkcluster") == 0) {
        return MakeCluster(argc, argv);
    }
    return Usage();
}
