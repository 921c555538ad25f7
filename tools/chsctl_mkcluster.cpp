// chsctl mkcluster: creates the directory of a simulated cluster.
#include <cstdio>
#include <cstring>
#include <string>

#include "tools/chsctl_commands.h"
#include "platform/cluster_config.h"
#include "tools/cluster_layout.h"

namespace chs_tools {
namespace {

int MakeClusterUsage() {
    fprintf(stderr,
            "usage: chsctl mkcluster DIR [--nodes N] [--log-level L] [--collect-interval SECONDS]\n"
            "                            [--transport unix|tcp] [--tcp-port-base PORT]\n"
            "                            [--ccdb sqlite|etcd] [--etcd-endpoint http://HOST:PORT]...\n");
    return kExitUsage;
}

}  // namespace

int RunMakeCluster(int argc, char** argv) {
    if (argc < 3) {
        return MakeClusterUsage();
    }
    unsigned long nodes = 1;
    unsigned long level = 6;
    unsigned long interval = 3600;
    ClusterLayoutOptions options;
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
        } else if (strcmp(argv[i], "--collect-interval") == 0 && i + 1 < argc) {
            if (!ParseNumber(argv[++i], 1, 86400, interval)) {
                fprintf(stderr, "chsctl: --collect-interval takes a number of seconds from 1 to 86400\n");
                return kExitUsage;
            }
        } else if (strcmp(argv[i], "--transport") == 0 && i + 1 < argc) {
            ++i;
            if (strcmp(argv[i], "unix") != 0 && strcmp(argv[i], "tcp") != 0) {
                fprintf(stderr, "chsctl: --transport takes unix or tcp\n");
                return kExitUsage;
            }
            options.bTcpTransport = strcmp(argv[i], "tcp") == 0;
        } else if (strcmp(argv[i], "--tcp-port-base") == 0 && i + 1 < argc) {
            unsigned long base = 0;
            if (!ParseNumber(argv[++i], 1024, 65536 - platform::kTcpPortSpan, base)) {
                fprintf(stderr, "chsctl: --tcp-port-base takes a port from 1024 to %u\n",
                        65536 - platform::kTcpPortSpan);
                return kExitUsage;
            }
            options.uiTcpPortBase = static_cast<unsigned int>(base);
        } else if (strcmp(argv[i], "--ccdb") == 0 && i + 1 < argc) {
            ++i;
            if (strcmp(argv[i], "sqlite") != 0 && strcmp(argv[i], "etcd") != 0) {
                fprintf(stderr, "chsctl: --ccdb takes sqlite or etcd\n");
                return kExitUsage;
            }
            options.ccdb.kind =
                strcmp(argv[i], "etcd") == 0 ? platform::CcdbBackendKind::kEtcd : platform::CcdbBackendKind::kSqlite;
        } else if (strcmp(argv[i], "--etcd-endpoint") == 0 && i + 1 < argc) {
            if (!platform::ValidCcdbEndpoint(argv[++i]) ||
                options.ccdb.endpoints.size() >= platform::kMaxCcdbEndpoints) {
                fprintf(stderr, "chsctl: --etcd-endpoint takes http://HOST:PORT, at most %zu times\n",
                        platform::kMaxCcdbEndpoints);
                return kExitUsage;
            }
            std::string endpoint = argv[i];
            if (endpoint.back() == '/') {
                endpoint.pop_back();
            }
            options.ccdb.endpoints.push_back(endpoint);
        } else {
            return MakeClusterUsage();
        }
    }
    if ((options.ccdb.kind == platform::CcdbBackendKind::kEtcd) == options.ccdb.endpoints.empty()) {
        fprintf(stderr, "chsctl: --ccdb etcd needs --etcd-endpoint, and only it takes one\n");
        return kExitUsage;
    }
    std::string error;
    options.uiNodes = static_cast<unsigned int>(nodes);
    options.uiLogLevel = static_cast<unsigned int>(level);
    options.uiCollectIntervalSec = static_cast<unsigned int>(interval);
    if (!CreateSimulatedCluster(argv[2], options, error)) {
        fprintf(stderr, "chsctl: %s\n", error.c_str());
        return kExitFailed;
    }
    printf("cluster of %lu node(s) created in %s\n", nodes, argv[2]);
    return 0;
}

}  // namespace chs_tools
