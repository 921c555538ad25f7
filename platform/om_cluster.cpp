#include "platform/om_cluster.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <pwd.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>
#include <optional>
#include <chrono>
#include <cctype>

#include "platform/dplog.h"
#include "platform/etcd_presence.h"
#include "platform/om_file_copy.h"
#include "platform/platform_profile.h"
#include "platform/platform_state.h"

namespace platform {
namespace {

constexpr unsigned int kPlatformModule = 0;

// Never destroyed: threads still running while the exit handlers run (message
// tasks, timers, transports) keep asking for the master and the live nodes.
ClusterConfig& g_cluster = *new ClusterConfig();
uint16_t g_localNode = 0;
int g_presenceFd = -1;

// With the etcd backend, liveness comes from leases (etcd_presence.h); the
// presence lock then only keeps a second daemon of the node off this machine.
std::mutex g_leaseMutex;
std::shared_ptr<EtcdPresence>& g_leases = *new std::shared_ptr<EtcdPresence>();  // never destroyed, as above

std::shared_ptr<EtcdPresence> Leases() {
    std::lock_guard<std::mutex> lock(g_leaseMutex);
    return g_leases;
}

void SetLeases(std::shared_ptr<EtcdPresence> leases) {
    std::shared_ptr<EtcdPresence> old;
    {
        std::lock_guard<std::mutex> lock(g_leaseMutex);
        old.swap(g_leases);
        g_leases = std::move(leases);
    }
    // `old` revokes its lease here, outside the lock, unless a caller still uses it.
}

std::mutex g_lunMutex;
// Held while the callback runs: once a registration returns, no call of the
// callback it replaced is still running.
std::mutex g_lunCallMutex;
std::atomic<OM_LUN_STATUS_CHANGE_FN> g_lunCallback{nullptr};
bool g_lunThreadStarted = false;

std::string PresencePath(uint16_t nodeId) {
    return g_cluster.strDir + "/run/node" + std::to_string(nodeId) + ".presence";
}

std::string CurrentOwner() {
    std::string user = std::to_string(getuid());
    std::string group = std::to_string(getgid());
    if (struct passwd* pw = getpwuid(getuid())) {
        user = pw->pw_name;
    }
    if (struct group* gr = getgrgid(getgid())) {
        group = gr->gr_name;
    }
    return user + ":" + group;
}

std::string ProcessName() {
    char path[512] = {0};
    ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (length <= 0) {
        return "process";
    }
    std::string full(path, static_cast<size_t>(length));
    size_t slash = full.find_last_of('/');
    return slash == std::string::npos ? full : full.substr(slash + 1);
}

Profile ProfileFor(const ClusterConfig& cluster, const std::string& root) {
    Profile profile;
    profile.strRoot = root;
    profile.strClusterDir = cluster.strDir;
    if (root != "/") {
        // A simulated node: the daemon already has the rights it needs, files
        // go to the current user and there is no inner VRF.
        profile.strSudoPrefix = "";
        profile.strOperOwner = CurrentOwner();
        profile.strExportOwner = CurrentOwner();
        profile.strVrfWrapper = "";
        profile.strResetProgram = cluster.strDir + "/bin/reboot";
        profile.strCgroupProgram = cluster.strDir + "/bin/omm_cgroup.sh";
    }
    if (!cluster.strSudoPrefix.empty()) profile.strSudoPrefix = cluster.strSudoPrefix;
    if (!cluster.strOperOwner.empty()) profile.strOperOwner = cluster.strOperOwner;
    if (!cluster.strExportOwner.empty()) profile.strExportOwner = cluster.strExportOwner;
    if (!cluster.strVrfWrapper.empty()) profile.strVrfWrapper = cluster.strVrfWrapper;
    if (!cluster.strResetProgram.empty()) profile.strResetProgram = cluster.strResetProgram;
    if (!cluster.strCgroupProgram.empty()) profile.strCgroupProgram = cluster.strCgroupProgram;
    return profile;
}

bool MakeDir(const std::string& dir) {
    if (mkdir(dir.c_str(), 0750) == 0 || errno == EEXIST) {
        return true;
    }
    return false;
}

bool HoldPresence(uint16_t nodeId, std::string& error) {
    if (!MakeDir(g_cluster.strDir + "/run")) {
        error = "cannot create " + g_cluster.strDir + "/run: " + strerror(errno);
        return false;
    }
    std::string path = PresencePath(nodeId);
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0) {
        error = "cannot open " + path + ": " + strerror(errno);
        return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        error = "node " + std::to_string(nodeId) + " already has a running daemon (" + path + " is held)";
        close(fd);
        return false;
    }
    std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(fd, 0) != 0 || write(fd, pid.data(), pid.size()) < 0) {
        // The pid in the file is for people; the lock is what counts.
    }
    g_presenceFd = fd;
    return true;
}

// Looks at the LUN status whenever the state overrides change.
void LunWatch() {
    std::optional<long long> last;
    state::ChangeWaiter changes;
    for (;;) {
        std::optional<long long> status = state::GetNumber("lun_status");
        if (status && status != last) {
            last = status;
            std::lock_guard<std::mutex> call(g_lunCallMutex);
            OM_LUN_STATUS_CHANGE_FN callback = g_lunCallback.load();
            if (callback != nullptr) {
                dplog_standard(kPlatformModule, 6, __func__, __LINE__, 0, "LUN status changes to %lld.", *status);
                callback(static_cast<int32_t>(*status));
            }
        }
        changes.Wait();
    }
}

}  // namespace

const ClusterConfig& Cluster() { return g_cluster; }

bool AttachCluster(const std::string& clusterFile, uint16_t nodeId, const std::string& nodeRoot, bool holdPresence,
                   std::string& error) {
    ClusterConfig cluster;
    if (!ClusterConfig::Load(clusterFile, cluster, error)) {
        return false;
    }
    if (cluster.FindNode(nodeId) == nullptr) {
        error = "node " + std::to_string(nodeId) + " is not a node of " + clusterFile;
        return false;
    }
    struct stat st {};
    if (nodeRoot.empty() || nodeRoot[0] != '/' || stat(nodeRoot.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = "node root " + (nodeRoot.empty() ? std::string("(empty)") : nodeRoot) +
                " is not an existing absolute directory";
        return false;
    }
    g_cluster = cluster;
    g_localNode = nodeId;
    if (holdPresence && !HoldPresence(nodeId, error)) {
        g_cluster = ClusterConfig();
        return false;
    }
    SetProfile(ProfileFor(cluster, nodeRoot));
    state::SetDir(cluster.strDir + "/state");
    LogSetDefaultLevel(cluster.uiLogLevel);
    if (cluster.ccdb.kind == CcdbBackendKind::kEtcd) {
        auto leases = std::make_shared<EtcdPresence>(cluster.ccdb, cluster.strSerialNumber);
        if (holdPresence) {
            leases->Hold(nodeId);
        }
        SetLeases(std::move(leases));
    }
    return true;
}

void DetachCluster() {
    SetLeases(nullptr);
    if (g_presenceFd >= 0) {
        close(g_presenceFd);
        g_presenceFd = -1;
    }
    g_cluster = ClusterConfig();
    g_localNode = 0;
    state::SetDir("");
    SetProfile(Profile());
}

bool IsNodeOnline(uint16_t nodeId) {
    if (g_cluster.FindNode(nodeId) == nullptr || state::IsSet("node" + std::to_string(nodeId) + "_offline")) {
        return false;
    }
    if (nodeId == g_localNode && g_presenceFd >= 0) {
        return true;
    }
    if (std::shared_ptr<EtcdPresence> leases = Leases()) {
        return (leases->OnlineMap() >> nodeId & 1u) != 0;
    }
    int fd = open(PresencePath(nodeId).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool held = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);  // also drops our shared lock if we got it
    return held;
}

}  // namespace platform

using platform::g_cluster;

int OMClusterInit(int processType, unsigned int processFlags, int processSubType, const char* nodeIdText,
                  const char* nodeRoot, const char* clusterFile) {
    std::string error;
    if (nodeIdText == nullptr || nodeRoot == nullptr || clusterFile == nullptr) {
        error = "missing argument; usage: infocollector -m INFOCOLLECTOR <cluster.json> <node-id> -r <node-root>";
    } else {
        char* end = nullptr;
        errno = 0;
        unsigned long id = strtoul(nodeIdText, &end, 10);
        if (*nodeIdText == '\0' || *end != '\0' || errno != 0 || id >= platform::kMaxNodes ||
            !isdigit(static_cast<unsigned char>(*nodeIdText))) {
            error = std::string("node id '") + nodeIdText + "' is not a number from 0 to 15";
        } else if (platform::AttachCluster(clusterFile, static_cast<uint16_t>(id), nodeRoot, true, error)) {
            std::string logPath = platform::RealPath("/var/log/chs/" + platform::ProcessName() + ".log");
            if (!platform::LogOpen(logPath)) {
                fprintf(stderr, "warning: cannot open log file %s: %s\n", logPath.c_str(), strerror(errno));
            }
            dplog_standard(platform::kPlatformModule, 6, __func__, __LINE__, 0,
                           "Process (%d, 0x%x, %d) attached to cluster %s as node %lu, root %s.", processType,
                           processFlags, processSubType, clusterFile, id, nodeRoot);
            // Without it other nodes cannot fetch this node's files; the daemon still runs.
            int serviceResult = platform::StartFileService();
            if (serviceResult != 0) {
                dplog_standard(platform::kPlatformModule, 3, __func__, __LINE__, 0,
                               "File service not registered (transport error %d).", serviceResult);
            }
            return 0;
        }
    }
    fprintf(stderr, "infocollector: cluster initialisation failed: %s\n", error.c_str());
    return -1;
}

int OMLIB_ShmInit(void) {
    // Nodes share state through files and sockets under the cluster directory;
    // there is no segment to attach, only the directory to make sure of.
    if (g_cluster.strDir.empty()) {
        return -1;
    }
    return platform::MakeDir(g_cluster.strDir + "/run") ? 0 : -1;
}

int OM_RegOmmLunStatusChangeFunc(OM_LUN_STATUS_CHANGE_FN callback) {
    {
        std::lock_guard<std::mutex> call(platform::g_lunCallMutex);
        platform::g_lunCallback.store(callback);
    }
    std::lock_guard<std::mutex> lock(platform::g_lunMutex);
    if (!platform::g_lunThreadStarted) {
        std::thread(platform::LunWatch).detach();
        platform::g_lunThreadStarted = true;
    }
    return 0;
}

int getLocalCtrlPowerOnPhase(uint32_t* phase) {
    if (phase == nullptr) {
        return -1;
    }
    std::optional<long long> value = platform::state::GetNumber("power_on_phase");
    *phase = value ? static_cast<uint32_t>(*value) : 1;
    return 0;
}

int OMLIB_getLocalNodeID(uint16_t* nodeId) {
    if (nodeId == nullptr || g_cluster.nodes.empty()) {
        return -1;
    }
    *nodeId = platform::g_localNode;
    return 0;
}

int OMLIB_getMasterNodeID(uint16_t* nodeId) {
    if (nodeId == nullptr || g_cluster.nodes.empty()) {
        return -1;
    }
    if (g_cluster.iMaster >= 0) {
        *nodeId = static_cast<uint16_t>(g_cluster.iMaster);
        return 0;
    }
    for (uint16_t id = 0; id < platform::kMaxNodes; ++id) {
        if (platform::IsNodeOnline(id)) {
            *nodeId = id;
            return 0;
        }
    }
    return -1;
}

int OMLIB_getAliveNodeBitMap(uint32_t* bitMap) {
    if (bitMap == nullptr) {
        return -1;
    }
    *bitMap = 0;
    if (g_cluster.nodes.empty()) {
        return -1;
    }
    for (const platform::NodeConfig& node : g_cluster.nodes) {
        if (platform::IsNodeOnline(node.usId)) {
            *bitMap |= 1u << node.usId;
        }
    }
    return 0;
}

int OM_GetClusterCfgNodesNum(uint32_t* count) {
    if (count == nullptr || g_cluster.nodes.empty()) {
        return -1;
    }
    *count = static_cast<uint32_t>(g_cluster.nodes.size());
    return 0;
}

int GET_NODE_NAME(uint16_t nodeId, char* name, uint32_t size) {
    const platform::NodeConfig* node = g_cluster.FindNode(nodeId);
    if (name == nullptr || node == nullptr || size <= node->strName.size()) {
        return -1;
    }
    memcpy(name, node->strName.c_str(), node->strName.size() + 1);
    return 0;
}

int CONVERT_CTRLNAME_TO_NODE_ID(const char* name, uint16_t* nodeId) {
    if (name == nullptr || nodeId == nullptr) {
        return -1;
    }
    const platform::NodeConfig* node = g_cluster.FindNode(std::string(name));
    if (node == nullptr) {
        return -1;
    }
    *nodeId = node->usId;
    return 0;
}

int OMLIB_getClusterSN(char* serial, uint32_t size) {
    if (serial == nullptr || g_cluster.nodes.empty() || size <= g_cluster.strSerialNumber.size()) {
        return -1;
    }
    memcpy(serial, g_cluster.strSerialNumber.c_str(), g_cluster.strSerialNumber.size() + 1);
    return 0;
}

int OMLIB_IsOemMode(bool* oem) {
    if (oem == nullptr) {
        return -1;
    }
    *oem = platform::state::IsSet("oem_mode");
    return 0;
}

int OMLIB_getAllUpgradeMode(bool* upgrading) {
    if (upgrading == nullptr) {
        return -1;
    }
    *upgrading = platform::state::IsSet("upgrade_mode");
    return 0;
}

int OM_TestDiskMount(const char* path) {
    if (path == nullptr || *path == '\0') {
        return -1;
    }
    std::optional<std::string> unmounted = platform::state::Get("unmounted");
    if (unmounted) {
        std::istringstream lines(*unmounted);
        std::string line;
        while (std::getline(lines, line)) {
            if (line == path) {
                return 1;
            }
        }
    }
    struct statvfs st {};
    return statvfs(platform::RealPath(path).c_str(), &st) == 0 ? 0 : 1;
}

int OMLIB_GetInternalMgmtIPByNID(uint16_t nodeId, tagOM_INTERNAL_IP_S* ips) {
    const platform::NodeConfig* node = g_cluster.FindNode(nodeId);
    if (ips == nullptr || node == nullptr) {
        return -1;
    }
    memset(ips, 0, sizeof(*ips));
    for (const std::string& ip : node->vecInternalIps) {
        memcpy(ips->acIp[ips->uiIpNum], ip.c_str(), ip.size());  // sizes checked on load
        ++ips->uiIpNum;
    }
    return 0;
}

int OM_IsDNSAddrDeployed(bool* deployed) {
    if (deployed == nullptr) {
        return -1;
    }
    std::optional<std::string> text = platform::state::Get("dns");
    *deployed = text ? *text != "0" : g_cluster.bDns;
    return 0;
}

int NET_GetServerCanConnectIp(const char* host, uint16_t /*port*/, char* ip, uint32_t size, uint32_t tries,
                              uint32_t /*timeoutSec*/) {
    if (host == nullptr || ip == nullptr || size == 0) {
        return -1;
    }
    struct addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    int rc = EAI_AGAIN;
    struct addrinfo* result = nullptr;
    for (uint32_t attempt = 0; attempt < (tries == 0 ? 1 : tries) && rc == EAI_AGAIN; ++attempt) {
        rc = getaddrinfo(host, nullptr, &hints, &result);
    }
    if (rc != 0) {
        return rc == EAI_NONAME || rc == EAI_NODATA ? 2 : -1;
    }
    char text[INET6_ADDRSTRLEN] = {0};
    const void* addr = result->ai_family == AF_INET
                           ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr)
                           : static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(result->ai_addr)->sin6_addr);
    const char* ok = inet_ntop(result->ai_family, addr, text, sizeof(text));
    freeaddrinfo(result);
    if (ok == nullptr || strlen(text) >= size) {
        return -1;
    }
    memcpy(ip, text, strlen(text) + 1);
    return 0;
}
