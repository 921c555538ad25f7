// chsctl mkcluster: creates the directory of a simulated cluster.
#include <json/json.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/cluster_config.h"
#include "tools/chsctl_commands.h"
#include "tools/chsctl_json.h"
#include "tools/cluster_layout.h"

namespace chs_tools {

const char* const kMakeClusterUsage =
    "       chsctl mkcluster DIR [--nodes N] [--log-level L] [--collect-interval SECONDS]\n"
    "                        [--transport unix|tcp] [--tcp-port-base PORT]\n"
    "                        [--ccdb sqlite|etcd] [--etcd-endpoint http://HOST:PORT]...\n"
    "         create a simulated cluster directory (default 1 node, log level 6, collection\n"
    "         every 3600 s by the sample plugin; tcp: nodes talk over TCP with mutual TLS,\n"
    "         certificates in DIR/tls; etcd: the configuration database is in that etcd,\n"
    "         which must answer, instead of DIR/ccdb.sqlite)\n";

namespace {

int MakeClusterUsage() {
    fprintf(stderr, "usage:\n%s", kMakeClusterUsage);
    return kExitUsage;
}

}  // namespace

int RunMakeCluster(const ControlOptions& command) {
    const std::vector<std::string>& words = command.vecWords;
    // A directory named like an option is a mistyped command line, not a
    // cluster to lay out.
    if (words.size() < 2 || words[1].empty() || words[1][0] == '-') {
        fprintf(stderr, "chsctl: mkcluster takes the directory to create first\n");
        return MakeClusterUsage();
    }
    if (command.bClusterGiven || command.bNodeGiven || command.bTimeoutGiven) {
        fprintf(stderr, "chsctl: mkcluster takes no --cluster, --node or --timeout\n");
        return MakeClusterUsage();
    }
    std::vector<const char*> argv;
    for (const std::string& word : words) {
        argv.push_back(word.c_str());
    }
    const int argc = static_cast<int>(argv.size());
    unsigned long nodes = 1;
    unsigned long level = 6;
    unsigned long interval = 3600;
    ClusterLayoutOptions options;
    for (int i = 2; i < argc; ++i) {
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
            options.ccdb.kind = strcmp(argv[i], "etcd") == 0 ? platform::CcdbBackendKind::kEtcd
                                                             : platform::CcdbBackendKind::kSqlite;
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
    if (!CreateSimulatedCluster(words[1], options, error)) {
        fprintf(stderr, "chsctl: %s\n", error.c_str());
        return kExitFailed;
    }
    if (command.bJson) {
        Json::Value document(Json::objectValue);
        document["cluster"] = words[1];
        document["nodes"] = static_cast<Json::UInt64>(nodes);
        PrintJsonDocument(document);
    } else {
        printf("cluster of %lu node(s) created in %s\n", nodes, words[1].c_str());
    }
    return kExitOk;
}

}  // namespace chs_tools
