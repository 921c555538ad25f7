// The description of a cluster in cluster.json:
//
//   {
//     "serialNumber": "2102351234567890",
//     "master": 0,                       optional; default: lowest online node
//     "logLevel": 6,                     optional; platform level 0..7
//     "dns": false,                      optional; names resolve only with DNS
//     "transport": "unix",               optional; "tcp": a node reaches the endpoints of other nodes
//     "tcpPortBase": 20000,              over TCP with mutual TLS (platform/transport_tls.h) at the
//                                        first internal address of their node, port base + pid for
//                                        pids below 1024, base + 1024 + (pid - 0xF000) for the
//                                        platform's services; other pids are not reachable over TCP
//     "profile": { "sudoPrefix": "", "operOwner": "...", "exportOwner": "...",
//                  "vrfWrapper": "", "resetProgram": "..." },     optional
//     "nodes": [ { "id": 0, "name": "CTE0.A", "internalIps": ["127.0.0.1"] } ],
//     "ccdb": { "backend": "etcd",                                 optional; default "sqlite"
//               "endpoints": ["http://127.0.0.1:2379"] }
//   }
//
// Load() checks everything before it is trusted: ids 0..15 and unique, names
// of 1 to 8 bytes and unique, at most 16 addresses of at most 15 bytes each.
// The configuration database is <dir>/ccdb.sqlite unless "ccdb" names the
// etcd backend; that one needs 1 to 8 endpoints of the form
// http://HOST:PORT (no user, path or query) and a serial number, which
// names the cluster's part of the store.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

constexpr uint16_t kMaxNodes = 16;
constexpr size_t kMaxControllerName = 8;
constexpr size_t kMaxInternalIps = 16;
constexpr uint16_t kDefaultTcpPortBase = 20000;
constexpr uint32_t kTcpPortSpan = 1024 + 4096;  // ports from the base on that endpoints may take

struct NodeConfig {
    uint16_t usId = 0;
    std::string strName;
    std::vector<std::string> vecInternalIps;
};

constexpr size_t kMaxCcdbEndpoints = 8;

enum class CcdbBackendKind { kSqlite, kEtcd };

struct CcdbConfig {
    CcdbBackendKind kind = CcdbBackendKind::kSqlite;
    std::vector<std::string> endpoints;  // etcd: "http://HOST:PORT", tried in order

    bool operator==(const CcdbConfig& other) const {
        return kind == other.kind && endpoints == other.endpoints;
    }
};

// An etcd endpoint as "ccdb" takes it: http://HOST:PORT, a trailing slash allowed.
bool ValidCcdbEndpoint(const std::string& url);

struct ClusterConfig {
    std::string strFile;  // path of cluster.json
    std::string strDir;   // its directory
    std::string strSerialNumber;
    int iMaster = -1;  // -1: the lowest online node
    unsigned int uiLogLevel = 6;
    bool bDns = false;
    bool bTcpTransport = false;  // "transport": "tcp"; every node then has an IPv4 internal address
    uint16_t usTcpPortBase = kDefaultTcpPortBase;
    std::string strSudoPrefix;
    std::string strOperOwner;
    std::string strExportOwner;
    std::string strVrfWrapper;
    std::string strResetProgram;
    std::string strCgroupProgram;
    std::vector<NodeConfig> nodes;
    CcdbConfig ccdb;

    // false with a one-line reason in `error`.
    static bool Load(const std::string& path, ClusterConfig& out, std::string& error);

    const NodeConfig* FindNode(uint16_t id) const;
    const NodeConfig* FindNode(const std::string& name) const;
};

}  // namespace platform
