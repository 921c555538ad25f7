#include "tools/cluster_layout.h"

#include <json/json.h>
#include <openssl/crypto.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

#include "control/collector_ccdb.h"
#include "platform/kmca.h"
#include "platform/om_ccdb.h"
#include "platform/om_cluster.h"
#include "platform/transport_tls.h"

namespace chs_tools {
namespace fs = std::filesystem;

namespace {

// Where the scripts and the sample plugin are: the source and build trees
// this chsctl was built in, or, for an installed chsctl whose trees are gone,
// the installed layout beside its own program (bin/../libexec/..., bin/../lib/...).
fs::path InstalledOr(const char* builtIn, const char* installedBelowPrefix) {
    std::error_code ec;
    if (fs::is_directory(builtIn, ec)) {
        return builtIn;
    }
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) {
        return builtIn;
    }
    fs::path installed = self.parent_path().parent_path() / installedBelowPrefix;
    return fs::is_directory(installed, ec) ? installed : fs::path(builtIn);
}

fs::path ScriptsDir() { return InstalledOr(CHS_SCRIPTS_DIR, CHS_INSTALLED_SCRIPTS_DIR); }
fs::path PluginDir() { return InstalledOr(CHS_PLUGIN_DIR, CHS_INSTALLED_PLUGIN_DIR); }

bool MakeDirs(const fs::path& dir, std::string& error) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) {
        error = "cannot create " + dir.string() + ": " + ec.message();
        return false;
    }
    fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec, ec);
    return true;
}

bool InstallProgram(const fs::path& from, const fs::path& to, std::string& error) {
    std::error_code ec;
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
    if (ec) {
        error = "cannot install " + from.string() + " as " + to.string() + ": " + ec.message();
        return false;
    }
    fs::permissions(to, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec, ec);
    return true;
}

// The plugin configuration file of a simulated node: the sample plugin.
std::string PluginConfiguration(unsigned int intervalSec) {
    Json::Value plugin;
    plugin["plugin_type"] = "input";
    plugin["name"] = "node_facts";
    plugin["plugin_lib_path"] = (PluginDir() / "libnode_facts.so").string();
    plugin["file_prefix"] = "node";
    Json::Value interval;
    interval["interval_sec"].append(std::to_string(intervalSec));
    plugin["parameters"].append(interval);
    // Retention: the newest 48 files of the node directory, none older than a week.
    Json::Value retention;
    retention["keep_files"].append("48");
    retention["max_age_sec"].append("604800");
    plugin["parameters"].append(retention);
    Json::Value root;
    root["plugin"].append(plugin);
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "  ";
    return Json::writeString(writer, root) + "\n";
}

// The agent's configuration row as the agent's installation leaves it.
bool SeedAgentConfiguration(const fs::path& root, const std::string& siteId, std::string& error) {
    if (siteId.empty() || siteId.size() >= sizeof(CCDB_COMM::tagDB_CHS_RELAYD_CFG_S::areaId)) {
        error = "the site id is a text of 1 to 63 bytes";
        return false;
    }
    if (!platform::AttachCluster((root / "cluster.json").string(), 0, (root / "node0").string(), false, error)) {
        return false;
    }
    uint32_t ret = COLLECTOR_CCDB::Init();
    if (ret == 0) {
        CCDB_COMM::tagDB_CHS_RELAYD_CFG_S row {};
        row.serviceid = 1;
        memcpy(row.areaId, siteId.data(), siteId.size());
        ret = static_cast<uint32_t>(OM_CCDB_InsertOneObj(g_collectorCcdbId, CCDB_COMM::CHS_RELAYD_CFG_TABLE, "1", &row,
                                                         sizeof(row)));
    }
    platform::DetachCluster();
    if (ret != 0) {
        error = "cannot write the agent configuration into the configuration database (result " +
                std::to_string(ret) + ")";
        return false;
    }
    return true;
}

bool WriteFile(const fs::path& path, const std::string& text, std::string& error) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.good()) {
        error = "cannot write " + path.string();
        return false;
    }
    return true;
}

// The key of one cluster; wiped however the layout ends.
struct LayoutKey {
    unsigned char bytes[platform::kClusterKeyBytes] = {};
    bool bHave = false;
    ~LayoutKey() { OPENSSL_cleanse(bytes, sizeof(bytes)); }
};

// One cluster key on every node. A node root left by an earlier, unfinished
// layout may hold a key already, and data may be encrypted under it: that key
// is kept and given to the other nodes; roots holding different keys are
// refused instead of choosing one.
bool InstallClusterKey(const fs::path& root, unsigned int nodes, std::string& error) {
    LayoutKey key;
    std::vector<fs::path> missing;
    for (unsigned int id = 0; id < nodes; ++id) {
        fs::path dir = fs::path(SimulatedNodeRoot(root.string(), id)) / "VXA/conf/kmca";
        std::error_code ec;
        fs::create_directories(dir, ec);
        if (ec || chmod(dir.c_str(), 0700) != 0) {
            error = "cannot create " + dir.string() + (ec ? ": " + ec.message() : "");
            return false;
        }
        fs::path path = dir / "cluster.key";
        struct stat info {};
        if (lstat(path.c_str(), &info) != 0) {
            missing.push_back(path);
            continue;
        }
        LayoutKey found;
        if (!platform::LoadClusterKey(path.string(), found.bytes, error)) {
            error = "the cluster key " + path.string() + " is refused: " + error;
            return false;
        }
        if (key.bHave && CRYPTO_memcmp(key.bytes, found.bytes, sizeof(key.bytes)) != 0) {
            error = "the node roots hold different cluster keys (" + path.string() + ")";
            return false;
        }
        memcpy(key.bytes, found.bytes, sizeof(key.bytes));
        key.bHave = true;
    }
    for (const fs::path& path : missing) {
        if (!key.bHave) {
            if (!platform::CreateClusterKey(path.string(), error) ||
                !platform::LoadClusterKey(path.string(), key.bytes, error)) {
                return false;
            }
            key.bHave = true;
        } else if (!platform::WriteClusterKey(path.string(), key.bytes, error)) {
            return false;
        }
    }
    return true;
}

struct SecretFile {
    std::string strPath;
    mode_t allowed;
};

std::vector<SecretFile> SecretFiles(const fs::path& root) {
    std::vector<SecretFile> files;
    for (const char* name : {"ccdb.sqlite", "ccdb.sqlite-wal", "ccdb.sqlite-shm", "peers.json"}) {
        files.push_back({(root / name).string(), 0640});
    }
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator(root, ec)) {
        std::string name = entry.path().filename().string();
        if (name.compare(0, 4, "node") == 0) {
            files.push_back({(entry.path() / "VXA/conf/kmca/cluster.key").string(), 0600});
        }
    }
    for (const fs::directory_entry& entry : fs::directory_iterator(root / "tls", ec)) {
        if (entry.path().extension() == ".key") {
            files.push_back({entry.path().string(), 0600});
        }
    }
    return files;
}

std::string OctalMode(mode_t mode) {
    char text[8];
    snprintf(text, sizeof(text), "%04o", static_cast<unsigned int>(mode & 07777));
    return text;
}

}  // namespace

std::vector<std::string> CheckSecretFileModes(const std::string& clusterDir) {
    std::vector<std::string> problems;
    for (const SecretFile& file : SecretFiles(fs::path(clusterDir))) {
        struct stat info {};
        if (lstat(file.strPath.c_str(), &info) != 0) {
            continue;
        }
        if (!S_ISREG(info.st_mode)) {
            problems.push_back(file.strPath + " holds secrets and is not a plain file; replace it with one");
        } else if ((info.st_mode & 07777 & ~file.allowed) != 0) {
            problems.push_back(file.strPath + " holds secrets and has mode " + OctalMode(info.st_mode) +
                               "; chmod " + OctalMode(info.st_mode & file.allowed) + " " + file.strPath);
        }
    }
    return problems;
}

std::string SimulatedControllerName(unsigned int id) {
    return "CTE" + std::to_string(id / 2) + "." + static_cast<char>('A' + id % 2);
}

std::string SimulatedNodeRoot(const std::string& clusterDir, unsigned int id) {
    return clusterDir + "/node" + std::to_string(id);
}

bool CreateSimulatedCluster(const std::string& dir, const ClusterLayoutOptions& options, std::string& error) {
    unsigned int nodes = options.uiNodes;
    unsigned int logLevel = options.uiLogLevel;
    if (nodes < 1 || nodes > 16) {
        error = "a cluster has 1 to 16 nodes";
        return false;
    }
    if (logLevel > 7) {
        error = "the log level is a number from 0 to 7";
        return false;
    }
    fs::path root = fs::absolute(dir);
    if (fs::exists(root / "cluster.json")) {
        error = (root / "cluster.json").string() + " exists already";
        return false;
    }
    for (const char* sub : {"run", "state", "remote", "bin"}) {
        if (!MakeDirs(root / sub, error)) {
            return false;
        }
    }
    Json::Value cluster;
    cluster["serialNumber"] = "2102350SIM" + std::to_string(100000 + nodes);
    if (options.ccdb.kind == platform::CcdbBackendKind::kEtcd) {
        std::random_device random;
        cluster["serialNumber"] = "2102350ETC" + std::to_string(100000 + random() % 900000);
        cluster["ccdb"]["backend"] = "etcd";
        for (const std::string& endpoint : options.ccdb.endpoints) {
            cluster["ccdb"]["endpoints"].append(endpoint);
        }
    }
    cluster["logLevel"] = logLevel;
    if (options.bTcpTransport) {
        cluster["transport"] = "tcp";
        cluster["tcpPortBase"] = options.uiTcpPortBase;
    }
    std::vector<uint16_t> ids;
    Json::Value list(Json::arrayValue);
    for (unsigned int id = 0; id < nodes; ++id) {
        Json::Value node;
        node["id"] = id;
        node["name"] = SimulatedControllerName(id);
        node["internalIps"].append("127.0.0." + std::to_string(id + 1));
        list.append(node);
        ids.push_back(static_cast<uint16_t>(id));
        fs::path nodeRoot = SimulatedNodeRoot(root.string(), id);
        for (const char* sub : {"VXA/conf", "VXA/script", "VXA/coffer_data", "VXA/lun_data", "var/log/chs"}) {
            if (!MakeDirs(nodeRoot / sub, error)) {
                return false;
            }
        }
        for (const char* script :
             {"collector_db_init.sh", "collector_clean_file.sh", "chs_diagnostic.py", "os_transfer_file_lib.sh"}) {
            if (!InstallProgram(ScriptsDir() / script, nodeRoot / "VXA/script" / script, error)) {
                return false;
            }
        }
        if (options.uiCollectIntervalSec < 1 ||
            !WriteFile(nodeRoot / "VXA/conf/InfoCollector.txt", PluginConfiguration(options.uiCollectIntervalSec),
                       error)) {
            if (error.empty()) {
                error = "the collection interval is at least 1 second";
            }
            return false;
        }
    }
    cluster["nodes"] = list;
    if (!InstallClusterKey(root, nodes, error)) {
        return false;
    }
    if (options.bTcpTransport && !platform::transport::MakeClusterCertificates(
                                     (root / "tls").string(), cluster["serialNumber"].asString(), ids, error)) {
        return false;
    }

    fs::path scripts = ScriptsDir();
    if (!InstallProgram(scripts / "sim" / "omm_cgroup.sh", root / "bin" / "omm_cgroup.sh", error) ||
        !InstallProgram(scripts / "sim" / "reboot", root / "bin" / "reboot", error)) {
        return false;
    }

    Json::StreamWriterBuilder writer;
    writer["indentation"] = "  ";
    {
        std::ofstream out(root / "cluster.json", std::ios::binary | std::ios::trunc);
        out << Json::writeString(writer, cluster) << "\n";
        if (!out.good()) {
            error = "cannot write " + (root / "cluster.json").string();
            return false;
        }
    }
    if (!SeedAgentConfiguration(root, options.strSiteId, error)) {
        return false;
    }
    std::vector<std::string> problems = CheckSecretFileModes(root.string());
    if (!problems.empty()) {
        error = problems.front();
        return false;
    }
    return true;
}

}  // namespace chs_tools
