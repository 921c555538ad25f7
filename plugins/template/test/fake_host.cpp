#include "fake_host.h"

#include <string>

#include "infocollector/collector_db.h"
#include "infocollector/collector_dir.h"
#include "infocollector/engine.h"
#include "infocollector/file_handoff.h"
#include "infocollector/plugin_host.h"

extern "C" int32_t RegisterPlugin(InfoCollectEngineClass* engine);

namespace fake_host {

State& Host() {
    static State state;
    return state;
}

namespace {
struct FakeEngine : InfoCollectEngineClass {};
}  // namespace

int RegisterWithFakeEngine() {
    static FakeEngine engine;
    return RegisterPlugin(&engine);
}

size_t AnswerSends(PluginSendOutcome outcome, uint32_t code) {
    std::vector<State::PendingSend> answering;
    {
        std::lock_guard<std::mutex> lock(Host().mutex);
        answering.swap(Host().pending);
    }
    // Outside the lock: a result function calls host functions (PluginLog).
    for (const State::PendingSend& send : answering) {
        send.onResult(send.file, outcome, code, send.context);
    }
    return answering.size();
}

}  // namespace fake_host

using fake_host::Host;

// The engine's members that a plugin reaches.
std::atomic<InfoCollectEngineClass*> InfoCollectEngineClass::objInfoCollectEngine{nullptr};
InfoCollectEngineClass::~InfoCollectEngineClass() {}
PluginClass::~PluginClass() {}
int32_t InfoCollectEngineClass::AddInputDriver(std::string& name, InputDriverBase* driver) {
    std::lock_guard<std::mutex> lock(Host().mutex);
    if (driver == nullptr || !Host().drivers.emplace(name, driver).second) {
        return -1;
    }
    return 0;
}

// Host functions.
std::string PluginGetParameter(const std::string&, const std::string& name, const std::string& fallback) {
    std::lock_guard<std::mutex> lock(Host().mutex);
    auto found = Host().parameters.find(name);
    return found == Host().parameters.end() ? fallback : found->second;
}

void PluginLog(const std::string& plugin, int32_t level, const std::string& text) {
    std::lock_guard<std::mutex> lock(Host().mutex);
    Host().logged.push_back(plugin + " " + std::to_string(level) + " " + text);
}

std::string InfocollectorGetPath(INFO_COLLECTOR_PATH_TYPE) {
    std::lock_guard<std::mutex> lock(Host().mutex);
    return Host().nodeDir;
}

int GenCollectorFileName(int, const std::string& time, const std::string& prefix, const std::string& suffix,
                         std::string& name) {
    name = prefix + "TESTSERIAL_SP0_" + time + "UTC+00000" + suffix;
    return 0;
}

int32_t insertPluginRecord(std::string name, int) {
    std::lock_guard<std::mutex> lock(Host().mutex);
    Host().recorded.push_back(name);
    return 0;
}

// Queued, never answered from within the call: the test answers with AnswerSends.
int pluginSendFileWithResult(const std::string& file, int, const std::string&, PluginSendResultFunc onResult,
                             void* context, unsigned int) {
    if (onResult == nullptr) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(Host().mutex);
    Host().sent.push_back(file);
    Host().pending.push_back({file, onResult, context});
    return 0;
}

int32_t CleanTarFile(std::string, std::string) { return 0; }
