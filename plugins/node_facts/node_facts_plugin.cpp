// Sample collection plugin "node_facts": one input driver that, while
// started, collects facts of its node into node_facts_<time>.tgz files in the
// node directory, records each file in the record database and hands it to
// the remote-service agent of its node. After each collection it applies its
// retention: its own files older than the maximum age go, then the cleaning
// script keeps the newest files of the node directory up to the count; the
// records of its files that are gone go with them.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <ctime>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "infocollector/collector_db.h"
#include "infocollector/collector_dir.h"
#include "infocollector/engine.h"
#include "infocollector/file_handoff.h"
#include "infocollector/host_paths.h"
#include "node_facts/node_facts.h"

namespace {

const char* const kPluginName = "node_facts";
// The agent delivers to the remote support service it is configured for; the
// address only names that destination in the agent's records.
const char* const kRemoteServiceAddress = "remote-support";
constexpr int kFileTypeCollected = 0;
constexpr unsigned int kSendTimeoutSec = 60;
const char* const kOwnPrefix = "node_facts_";
const char* const kOwnSuffix = ".tgz";

// This plugin's files directly in `dir`: regular files (a link is never
// taken for one) named node_facts_*.tgz, with their modification times.
std::vector<std::pair<std::string, time_t>> OwnFiles(const std::string& dir) {
    std::vector<std::pair<std::string, time_t>> files;
    DIR* handle = opendir(dir.c_str());
    if (handle == nullptr) {
        return files;
    }
    const std::string prefix = kOwnPrefix;
    const std::string suffix = kOwnSuffix;
    while (struct dirent* entry = readdir(handle)) {
        std::string name = entry->d_name;
        struct stat info {};
        if (name.size() > prefix.size() + suffix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0 &&
            lstat((dir + name).c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
            files.emplace_back(dir + name, info.st_mtime);
        }
    }
    closedir(handle);
    return files;
}

// Retention of the node directory `nodeDir` (ending in '/').
void ApplyRetention(const std::string& nodeDir, const node_facts::Settings& settings) {
    std::vector<std::pair<std::string, time_t>> files = OwnFiles(nodeDir);
    time_t now = time(nullptr);
    for (const auto& file : files) {
        if (now - file.second > static_cast<time_t>(settings.uiMaxAgeSec)) {
            unlink(file.first.c_str());
        }
    }
    CleanTarFile(nodeDir, std::to_string(settings.uiKeepFiles));
    for (const auto& file : files) {
        struct stat info {};
        if (lstat(file.first.c_str(), &info) != 0 && errno == ENOENT) {
            deletePluginRecordByFileName(file.first);
        }
    }
}

class NodeFactsDriver : public InputDriverBase {
public:
    ~NodeFactsDriver() override { Stop(); }

    int32_t Start() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_thread.joinable()) {
            return 0;
        }
        m_bStop = false;
        m_settings = node_facts::ReadSettings(InfocollectorRealPath(INFOCOLLECTOR_PLUGIN_CFG_FILE), kPluginName);
        m_thread = std::thread(&NodeFactsDriver::Run, this);
        return 0;
    }

    // Ends the collection thread promptly: it waits on a condition, not a sleep.
    int32_t Stop() override {
        std::thread worker;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_bStop = true;
            m_cond.notify_all();
            worker.swap(m_thread);
        }
        if (worker.joinable()) {
            worker.join();
        }
        return 0;
    }

private:
    void Run() {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_bStop) {
            lock.unlock();
            CollectOnce();
            lock.lock();
            m_cond.wait_for(lock, std::chrono::seconds(m_settings.uiIntervalSec), [this] { return m_bStop; });
        }
    }

    // One file: the facts are written into a work directory below "node/temp/",
    // packed into the node directory and recorded.
    void CollectOnce() {
        std::string nodeDir = InfocollectorGetPath(INFO_COLLECTOR_PATH_NODE);
        std::string tempDir = InfocollectorGetPath(INFO_COLLECTOR_PATH_NODE_TEMP);
        if (TestAndRecoverSomeCollectorDir(tempDir, "750") != 0) {
            return;
        }
        char stamp[32];
        time_t now = time(nullptr);
        struct tm local {};
        localtime_r(&now, &local);
        strftime(stamp, sizeof(stamp), "%Y%m%d%H%M%S", &local);
        std::string stem = "node_facts_" + std::string(stamp) + "_" + std::to_string(++m_uiSequence);
        std::string workDir = tempDir + stem;
        if (CreateDir(workDir, "750") != 0) {
            return;
        }
        {
            std::ofstream out(workDir + "/facts.txt", std::ios::trunc);
            out << node_facts::CollectFacts(nodeDir);
        }
        std::string archive = nodeDir + stem + ".tgz";
        if (CompressDirFile(archive, workDir) == 0) {
            insertPluginRecord(archive, INFO_COLLECTOR_PATH_NODE);
            // Fire and forget: the daemon logs the agent's answer, and the
            // recorded file stays for the next packaging run if the hand-off
            // fails, so there is nothing for the plugin to retry.
            pluginSendFile(archive, kFileTypeCollected, kRemoteServiceAddress, nullptr, kSendTimeoutSec);
        }
        DeleteDir(workDir);
        ApplyRetention(nodeDir, m_settings);
    }

    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::thread m_thread;
    bool m_bStop = false;
    node_facts::Settings m_settings;
    unsigned int m_uiSequence = 0;
};

}  // namespace

extern "C" int32_t GetEngineVersion() { return INFOCOLLECT_ENGINE_VERSION; }

extern "C" int32_t RegisterPlugin(InfoCollectEngineClass* engine) {
    std::string name = kPluginName;
    NodeFactsDriver* driver = new NodeFactsDriver();
    if (engine->AddInputDriver(name, driver) != 0) {
        delete driver;  // not taken: the engine kept the one it had
        return -1;
    }
    return 0;
}
