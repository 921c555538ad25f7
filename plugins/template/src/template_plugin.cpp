// Template collection plugin: one input driver that, while started, writes a
// small file into the node directory every "interval_sec" seconds, records it,
// hands it to the remote-service agent (and logs what became of it), then keeps
// the newest "keep_files" files of its own.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>

#include "infocollector/collector_db.h"
#include "infocollector/collector_dir.h"
#include "infocollector/engine.h"
#include "infocollector/file_handoff.h"
#include "infocollector/plugin_host.h"

namespace {

// The "name" of this plugin's entry in the plugin configuration.
const char* const kPluginName = "template_plugin";
constexpr int kFileTypeCollected = 0;
constexpr unsigned int kSendTimeoutSec = 60;

// The outcome of a hand-off. It runs on a daemon message thread, possibly
// after Stop returned, so it needs nothing of the driver (the context is
// null) and only logs. A file that was not delivered stays recorded and is
// packed by the next packaging run, so there is nothing to retry.
void OnSendResult(const std::string& file, PluginSendOutcome outcome, uint32_t code, void* /*context*/) {
    std::string name = file.substr(file.rfind('/') + 1);
    if (outcome == PLUGIN_SEND_DELIVERED) {
        PluginLog(kPluginName, PLUGIN_LOG_INFO, "hand-off of " + name + ": delivered");
    } else if (outcome == PLUGIN_SEND_REFUSED) {
        char hex[16];
        snprintf(hex, sizeof(hex), "0x%08X", static_cast<unsigned int>(code));
        PluginLog(kPluginName, PLUGIN_LOG_WARNING, "hand-off of " + name + ": refused, code " + hex);
    } else {
        PluginLog(kPluginName, PLUGIN_LOG_WARNING, "hand-off of " + name + ": no answer in time");
    }
}

class TemplateDriver : public InputDriverBase {
public:
    ~TemplateDriver() override { Stop(); }

    // Called by the host when collection is switched on. Return quickly: the
    // work runs on the driver's own thread.
    int32_t Start() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_thread.joinable()) {
            return 0;
        }
        m_intervalSec = IntervalSec();
        m_keepFiles = PluginGetParameter(kPluginName, "keep_files", "10");
        m_stop = false;
        m_thread = std::thread(&TemplateDriver::Run, this);
        PluginLog(kPluginName, PLUGIN_LOG_INFO, "started, a file every " + std::to_string(m_intervalSec) + " s");
        return 0;
    }

    // Called when collection is switched off and when the daemon ends. Wake
    // the thread and wait for it: nothing of the plugin may run afterwards.
    int32_t Stop() override {
        std::thread worker;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
            m_wake.notify_all();
            worker.swap(m_thread);
        }
        if (worker.joinable()) {
            worker.join();
        }
        return 0;
    }

private:
    // "interval_sec": 1 to 86400 seconds; anything else is logged and 60 taken.
    static unsigned long IntervalSec() {
        std::string text = PluginGetParameter(kPluginName, "interval_sec", "60");
        char* end = nullptr;
        unsigned long value = strtoul(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || value < 1 || value > 86400) {
            PluginLog(kPluginName, PLUGIN_LOG_WARNING, "interval_sec \"" + text + "\" is not 1 to 86400; 60 taken");
            return 60;
        }
        return value;
    }

    void Run() {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_stop) {
            lock.unlock();
            CollectOnce();
            lock.lock();
            m_wake.wait_for(lock, std::chrono::seconds(m_intervalSec), [this] { return m_stop; });
        }
    }

    void CollectOnce() {
        char stamp[32];
        time_t now = time(nullptr);
        struct tm local {};
        localtime_r(&now, &local);
        strftime(stamp, sizeof(stamp), "%Y%m%d%H%M%S", &local);
        std::string name;
        if (GenCollectorFileName(0, stamp, "template_", ".txt", name) != 0) {
            PluginLog(kPluginName, PLUGIN_LOG_WARNING, "no file name: serial number or time zone unknown");
            return;
        }
        std::string path = InfocollectorGetPath(INFO_COLLECTOR_PATH_NODE) + name;
        FILE* out = fopen(path.c_str(), "wx");
        if (out == nullptr) {
            PluginLog(kPluginName, PLUGIN_LOG_WARNING, "cannot create " + path);
            return;
        }
        fprintf(out, "collected by %s at %s, file %u\n", kPluginName, stamp, ++m_sequence);
        fclose(out);
        insertPluginRecord(path, INFO_COLLECTOR_PATH_NODE);
        if (pluginSendFileWithResult(path, kFileTypeCollected, "remote-support", OnSendResult, nullptr,
                                     kSendTimeoutSec) != 0) {
            PluginLog(kPluginName, PLUGIN_LOG_WARNING, "hand-off of " + name + " refused");
        }
        CleanTarFile(InfocollectorGetPath(INFO_COLLECTOR_PATH_NODE), m_keepFiles);
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::thread m_thread;
    bool m_stop = false;
    unsigned long m_intervalSec = 60;
    std::string m_keepFiles = "10";
    unsigned int m_sequence = 0;
};

}  // namespace

// Lets the host refuse this library when its interface no longer matches.
INFOCOLLECTOR_DECLARE_SDK_VERSION();

INFOCOLLECTOR_PLUGIN_EXPORT int32_t GetEngineVersion() { return INFOCOLLECT_ENGINE_VERSION; }

INFOCOLLECTOR_PLUGIN_EXPORT int32_t RegisterPlugin(InfoCollectEngineClass* engine) {
    std::string name = kPluginName;
    TemplateDriver* driver = new TemplateDriver();
    if (engine->AddInputDriver(name, driver) != 0) {
        delete driver;  // not taken: a driver of that name is registered already
        return -1;
    }
    return 0;
}
