// chsctl: the management command line of the information collector.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/cluster_layout.h"

namespace {

int Usage() {
    fprintf(stderr,
            "usage: chsctl mkcluster DIR [--nodes N] [--log-level L]\n"
            "       create a simulated cluster directory (default 1 node, log level 6)\n");
    return 2;
}

bool ParseNumber(const char* text, unsigned long min, unsigned long max, unsigned long& value) {
    char* end = nullptr;
    errno = 0;
    value = strtoul(text, &end, 10);
    return *text >= '0' && *text <= '9' && *end == '\0' && errno == 0 && value >= min && value <= max;
}

int MakeCluster(int argc, char** argv) {
    if (argc < 3) {
        return Usage();
    }
    unsigned long nodes = 1;
    unsigned long level = 6;
    for (int i = 3; i < argc; ++i) {
        if (strcmp(argv[i], "--nodes") == 0 && i + 1 < argc) {
            if (!ParseNumber(argv[++i], 1, 16, nodes)) {
                fprintf(stderr, "chsctl: --nodes takes a number from 1 to 16\n");
                return 2;
            }
        } else if (strcmp(argv[i], "--log-level") == 0 && i + 1 < argc) {
            if (!ParseNumber(argv[++i], 0, 7, level)) {
                fprintf(stderr, "chsctl: --log-level takes a number from 0 to 7\n");
                return 2;
            }
        } else {
            return Usage();
        }
    }
    std::string error;
    if (!chs_tools::CreateSimulatedCluster(argv[2], static_cast<unsigned int>(nodes),
                                           static_cast<unsigned int>(level), error)) {
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
