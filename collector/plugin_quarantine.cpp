#include "collector/plugin_quarantine.h"

#include <mutex>
#include <stdexcept>
#include <thread>

#include "collector/driver_states.h"
#include "collector/info_collect_engine.h"
#include "control/capi_alarm.h"
#include "control/collector_switch.h"
#include "infra/chs_log.h"
#include "msg/chs_wire.h"
#include "platform/platform_profile.h"

namespace {

constexpr size_t kReleaseNameMax = 128;

std::mutex g_mutex;
std::string g_realFile;                     // the quarantine file, real path
std::vector<QuarantinedPlugin> g_listed;    // read at start-up
std::vector<QuarantinedPlugin> g_skipped;   // not loaded by this start

void RaiseQuarantineEntry(const std::string& name) {
    try {
        std::thread([name] {
            (void)capi_alarm::CHS_SendAlarm(chs_wire::PID_COLLECTOR, chs_wire::EVENT_PLUGIN_QUARANTINED,
                                            CHS_OPLOG_ENTRY_TYPE, capi_alarm::ParaFormat(name), 0);
        }).detach();
    } catch (const std::exception& e) {
        CHS_LOG(2, LOGID_COLLECTOR, "The operation-log entry of quarantined plugin %s is not sent: %s.",
                name.c_str(), e.what());
    }
}

void Answer(InnerMsg& msg, uint32_t result, const std::string& description) {
    try {
        MsgObject body;
        MsgRecord* record = &body.AddRecord(chs_wire::OPCODE_PLUGIN_RELEASE);
        record->AppendInt32(chs_wire::TAG_RESULT, static_cast<int32_t>(result));
        record->AppendString(chs_wire::TAG_DESCRIPTION, description);
        if (!msg.PostAckMsg(body)) {
            CHS_LOG(3, LOGID_COLLECTOR, "The answer of a plugin release is not posted.");
        }
    } catch (const std::exception& e) {
        CHS_LOG(3, LOGID_COLLECTOR, "The answer of a plugin release is not built: %s.", e.what());
    }
}

// Loads a released plugin that this start skipped and, when collection is
// on, starts the drivers it brought. The text for the answer.
std::string LoadReleased(const QuarantinedPlugin& plugin) {
    std::lock_guard<std::mutex> switchLock(g_mutexSwitchStatus);
    InfoCollectEngineClass* engine = InfoCollectEngineClass::instance();
    std::vector<ChsDriverState> before = ChsCollectDriverStates();
    ChsLoadNamedPlugin(*engine, plugin.strName, plugin.strLibPath);
    std::vector<std::string> fresh;
    for (const ChsDriverState& state : ChsCollectDriverStates()) {
        bool known = false;
        for (const ChsDriverState& old : before) {
            known = known || old.strName == state.strName;
        }
        if (!known) {
            fresh.push_back(state.strName);
        }
    }
    if (fresh.empty()) {
        return "released; the plugin registered no driver (see the node's log)";
    }
    if (!PLUGIN_SWITCH_STATUS) {
        return "released and loaded; its drivers start when collection is switched on";
    }
    std::vector<std::string> failed = driver_run::Run(engine, true, &fresh);
    return failed.empty() ? "released, loaded and started"
                          : "released and loaded; " + std::to_string(failed.size()) + " driver(s) failed to start";
}

}  // namespace

void ChsQuarantineInit() {
    std::string file = platform::RealPath(PLUGIN_QUARANTINE_FILE);
    PluginFaultSetQuarantineFile(file);
    std::vector<QuarantinedPlugin> listed = PluginQuarantineRead(file);
    std::lock_guard<std::mutex> lock(g_mutex);
    g_realFile = file;
    g_listed = std::move(listed);
    g_skipped.clear();
}

bool ChsQuarantineSkips(const std::string& name, const std::string& libPath) {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        bool listed = false;
        for (const QuarantinedPlugin& entry : g_listed) {
            listed = listed || entry.strName == name;
        }
        if (!listed) {
            return false;
        }
        g_skipped.push_back(QuarantinedPlugin{name, libPath});
    }
    CHS_LOG(3, LOGID_COLLECTOR,
            "Plugin %s (%s) is quarantined after a fault in its code and is not loaded; "
            "\"chsctl plugin release %s\" lets it load again.",
            name.c_str(), libPath.c_str(), name.c_str());
    RaiseQuarantineEntry(name);
    return true;
}

std::vector<QuarantinedPlugin> ChsQuarantinedPlugins() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_skipped;
}

void HandleReleasePlugin(InnerMsg& msg) {
    std::string name;
    try {
        if (msg.GetBody().empty()) {
            throw std::out_of_range("no record");
        }
        name = static_cast<const char*>(msg.GetBody()[0][chs_wire::PLUGIN_RELEASE_TAG_NAME]);
    } catch (const std::exception&) {
        Answer(msg, chs_wire::RESULT_PLUGIN_NOT_QUARANTINED, "the request names no plugin");
        return;
    }
    if (name.empty() || name.size() > kReleaseNameMax) {
        Answer(msg, chs_wire::RESULT_PLUGIN_NOT_QUARANTINED, "no such plugin name");
        return;
    }
    std::string file;
    QuarantinedPlugin skipped;
    bool wasSkipped = false;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        file = g_realFile;
        for (auto it = g_skipped.begin(); it != g_skipped.end(); ++it) {
            if (it->strName == name) {
                skipped = *it;
                wasSkipped = true;
                g_skipped.erase(it);
                break;
            }
        }
    }
    int released = file.empty() ? 0 : PluginQuarantineRelease(file, name);
    if (released < 0) {
        CHS_LOG(3, LOGID_COLLECTOR, "Plugin %s cannot be released: %s cannot be rewritten.", name.c_str(),
                file.c_str());
        if (wasSkipped) {
            std::lock_guard<std::mutex> lock(g_mutex);
            g_skipped.push_back(skipped);
        }
        Answer(msg, chs_wire::RESULT_PLUGIN_RELEASE_FAILED, "the quarantine file cannot be rewritten");
        return;
    }
    if (released == 0 && !wasSkipped) {
        Answer(msg, chs_wire::RESULT_PLUGIN_NOT_QUARANTINED, "plugin " + name + " is not quarantined");
        return;
    }
    CHS_LOG(1, LOGID_COLLECTOR, "Plugin %s is released from quarantine.", name.c_str());
    Answer(msg, 0, wasSkipped ? LoadReleased(skipped) : "released; it loads at the next start");
}
