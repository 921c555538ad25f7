#include "collector/info_collect_engine.h"

#include <dlfcn.h>

#include <exception>
#include <set>

#include "collector/driver_states.h"
#include "collector/plugin_cfg_parse.h"
#include "collector/plugin_quarantine.h"
#include "collector/shared_library_manager.h"
#include "include/infocollector/plugin_host.h"
#include "infra/chs_log.h"
#include "infra/plugin_fault.h"
#include "platform/platform_profile.h"

std::atomic<InfoCollectEngineClass*> InfoCollectEngineClass::objInfoCollectEngine{nullptr};

namespace {

// The address of `symbol` in `handle`, or null after logging. The loader's
// error state is cleared first, because a null address alone does not tell
// a missing symbol from one whose value is null.
void* LookUpSymbol(void* handle, const char* symbol) {
    (void)dlerror();
    void* address = dlsym(handle, symbol);
    const char* reason = dlerror();
    if (reason != nullptr) {
        CHS_LOG(3, LOGID_COLLECTOR, "Get function(%s) pointer failed, reason:%s.", symbol, reason);
        return nullptr;
    }
    return address;
}

// The configured name of the plugin LoadPlugin is loading on this thread, for
// the fault handler's table of plugin code; empty: name it by its path.
thread_local std::string g_loadingName;

// A plugin that declares the interface version it was built against must
// match the host's major number and not need a later minor one. true when
// it declares none.
bool SdkVersionFits(void* handle, const std::string& path) {
    (void)dlerror();
    const void* declared = dlsym(handle, INFOCOLLECTOR_SDK_VERSION_SYMBOL);
    if (dlerror() != nullptr || declared == nullptr) {
        return true;
    }
    int32_t version = *static_cast<const int32_t*>(declared);
    int32_t major = (version >> 16) & 0x7FFF;
    int32_t minor = version & 0xFFFF;
    if (major == INFOCOLLECTOR_SDK_VERSION_MAJOR && minor <= INFOCOLLECTOR_SDK_VERSION_MINOR) {
        return true;
    }
    CHS_LOG(3, LOGID_COLLECTOR,
            "Plugin %s was built for plugin interface %d.%d; this daemon offers %d.%d: not loaded.", path.c_str(),
            major, minor, INFOCOLLECTOR_SDK_VERSION_MAJOR, INFOCOLLECTOR_SDK_VERSION_MINOR);
    return false;
}

template <typename Fn>
Fn ToFunction(void* address) {
    return reinterpret_cast<Fn>(address);
}

}  // namespace

// ---- PluginClass ----

PluginClass::PluginClass(void* pHandle, GetEngineVersionFunc pfnGetEngineVersion,
                         RegisterPluginFunc pfnRegisterPlugin)
    : m_pHandle(pHandle),
      m_pUseCount(NewSizeT()),
      m_pfnGetEngineVersion(pfnGetEngineVersion),
      m_pfnRegisterPlugin(pfnRegisterPlugin) {}

PluginClass::PluginClass(const PluginClass& other)
    : m_pHandle(other.m_pHandle),
      m_pUseCount(other.m_pUseCount),
      m_pfnGetEngineVersion(other.m_pfnGetEngineVersion),
      m_pfnRegisterPlugin(other.m_pfnRegisterPlugin) {
    if (m_pUseCount != nullptr) {
        ++*m_pUseCount;
    }
}

PluginClass& PluginClass::operator=(const PluginClass& other) {
    if (this == &other) {
        return *this;
    }
    if (other.m_pUseCount != nullptr) {
        ++*other.m_pUseCount;
    }
    Release();
    m_pHandle = other.m_pHandle;
    m_pUseCount = other.m_pUseCount;
    m_pfnGetEngineVersion = other.m_pfnGetEngineVersion;
    m_pfnRegisterPlugin = other.m_pfnRegisterPlugin;
    return *this;
}

PluginClass::~PluginClass() { Release(); }

size_t* PluginClass::NewSizeT() { return new size_t(1); }

void PluginClass::Release() {
    if (m_pUseCount == nullptr) {
        return;
    }
    if (--*m_pUseCount == 0) {
        delete m_pUseCount;
        SharedLibraryManagerClass::UnloadLib(m_pHandle);
    }
    m_pHandle = nullptr;
    m_pUseCount = nullptr;
    m_pfnGetEngineVersion = nullptr;
    m_pfnRegisterPlugin = nullptr;
}

// ---- InfoCollectEngineClass ----

InfoCollectEngineClass* InfoCollectEngineClass::instance() {
    InfoCollectEngineClass* current = objInfoCollectEngine.load(std::memory_order_acquire);
    if (current != nullptr) {
        return current;
    }
    InfoCollectEngineClass* fresh = new InfoCollectEngineClass();
    if (objInfoCollectEngine.compare_exchange_strong(current, fresh, std::memory_order_acq_rel,
                                                     std::memory_order_acquire)) {
        return fresh;
    }
    // Another thread published first; `current` now holds its engine.
    delete fresh;
    return current;
}

InfoCollectEngineClass::~InfoCollectEngineClass() {
    if (driver_run::AnyInCall(this)) {
        // A driver call left behind still runs plugin code: its driver and
        // every library stay, or that thread would run into freed memory.
        CHS_LOG(2, LOGID_COLLECTOR, "A driver call is still under way: drivers and plugins are kept loaded.");
        driver_run::Forget(this);
        new std::map<std::string, PluginClass>(m_mapPlugins);
        m_mapInputDrivers.clear();
        m_mapOutputDrivers.clear();
        m_mapPlugins.clear();
        return;
    }
    driver_run::Forget(this);
    // Drivers first: their code and vtables live in the plugin libraries,
    // which go when the last PluginClass copy does.
    for (auto& output : m_mapOutputDrivers) {
        delete output.second;
    }
    m_mapOutputDrivers.clear();
    for (auto& input : m_mapInputDrivers) {
        delete input.second;
    }
    m_mapInputDrivers.clear();
    m_mapPlugins.clear();
}

void InfoCollectEngineClass::Init() {
    InfoCollectorCfgParseClass parser;
    (void)parser.parseInfoCollectCfg(platform::RealPath(INFOCOLLECTOR_CFG_FILE));
    if (parser.getDriverCallLimitSec() != 0) {
        ChsSetDriverCallLimitMs(parser.getDriverCallLimitSec() * 1000);
    }
    CHS_LOG(1, LOGID_COLLECTOR, "Each Start and Stop of an input driver may take %u ms.", ChsDriverCallLimitMs());
    ChsQuarantineInit();
    for (PluginCfgDataClass* entry : parser.getPluginCfg()) {
        CHS_LOG(0, LOGID_COLLECTOR, "Infocollector plugin type: %s, name:%s, path:%s.",
                entry->getPluginType().c_str(), entry->getName().c_str(), entry->getPluginLibPath().c_str());
        if (!ChsQuarantineSkips(entry->getName(), entry->getPluginLibPath())) {
            ChsLoadNamedPlugin(*this, entry->getName(), entry->getPluginLibPath());
        }
    }
}

void InfoCollectEngineClass::LoadPlugin(const std::string& path) {
    if (m_mapPlugins.find(path) != m_mapPlugins.end()) {
        return;
    }
    void* handle = SharedLibraryManagerClass::LoadLib(path);
    if (handle == nullptr) {
        CHS_LOG(3, LOGID_COLLECTOR, "InfoCollector load library %s failed.", path.c_str());
        return;
    }
    void* getEngineVersion = LookUpSymbol(handle, INFOCOLLECT_GET_ENGINE_VERSION_SYMBOL);
    void* registerPlugin = LookUpSymbol(handle, INFOCOLLECT_REGISTER_PLUGIN_SYMBOL);
    if (getEngineVersion == nullptr || registerPlugin == nullptr || !SdkVersionFits(handle, path)) {
        SharedLibraryManagerClass::UnloadLib(handle);
        return;
    }
    // Before any code of the plugin's own runs on the host's behalf.
    if (!PluginFaultRegister(handle, g_loadingName.empty() ? path : g_loadingName, path)) {
        CHS_LOG(2, LOGID_COLLECTOR, "A fault in plugin %s could not be traced to it.", path.c_str());
    }
    PluginClass plugin(handle, ToFunction<GetEngineVersionFunc>(getEngineVersion),
                       ToFunction<RegisterPluginFunc>(registerPlugin));
    m_mapPlugins.emplace(path, plugin);

    std::set<std::string> inputsBefore;
    for (const auto& input : m_mapInputDrivers) {
        inputsBefore.insert(input.first);
    }
    std::set<std::string> outputsBefore;
    for (const auto& output : m_mapOutputDrivers) {
        outputsBefore.insert(output.first);
    }
    // The library stays loaded even when registration goes wrong: it may have
    // left threads or callbacks behind, and unloading under them would bring
    // the daemon down.
    try {
        (void)plugin.GetRegisterPluginPtr()(this);
    } catch (const std::exception& e) {
        CHS_LOG(3, LOGID_COLLECTOR, "Register plugin %s failed, exception: %s.", path.c_str(), e.what());
        return;
    } catch (...) {
        CHS_LOG(3, LOGID_COLLECTOR, "Register plugin %s failed, unknown exception.", path.c_str());
        return;
    }
    std::string drivers;
    for (const auto& input : m_mapInputDrivers) {
        if (inputsBefore.count(input.first) == 0) {
            drivers += (drivers.empty() ? "" : ", ") + input.first + " (input)";
        }
    }
    for (const auto& output : m_mapOutputDrivers) {
        if (outputsBefore.count(output.first) == 0) {
            drivers += (drivers.empty() ? "" : ", ") + output.first + " (output)";
        }
    }
    if (drivers.empty()) {
        CHS_LOG(2, LOGID_COLLECTOR, "The plugin %s registered no driver.", path.c_str());
        return;
    }
    CHS_LOG(1, LOGID_COLLECTOR, "Loaded plugin %s, drivers: %s.", path.c_str(), drivers.c_str());
}

int32_t InfoCollectEngineClass::AddInputDriver(std::string& name, InputDriverBase* driver) {
    if (driver == nullptr) {
        CHS_LOG(1, LOGID_COLLECTOR, "The input driver of %s is null, add failed.", name.c_str());
        return -1;
    }
    if (!m_mapInputDrivers.emplace(name, driver).second) {
        CHS_LOG(1, LOGID_COLLECTOR, "The driver(%s) already exists.", name.c_str());
        return -1;
    }
    driver_run::Add(this, name, driver);
    return 0;
}

int32_t InfoCollectEngineClass::AddOutputDriver(std::string& name, OutputDriverBase* driver) {
    if (driver == nullptr) {
        CHS_LOG(1, LOGID_COLLECTOR, "The out driver of %s is null, add failed.", name.c_str());
        return -1;
    }
    if (!m_mapOutputDrivers.emplace(name, driver).second) {
        CHS_LOG(1, LOGID_COLLECTOR, "The driver(%s) already exists.", name.c_str());
        return -1;
    }
    return 0;
}

int32_t InfoCollectEngineClass::StartAllCollect() {
    return static_cast<int32_t>(driver_run::Run(this, true).size());
}

int32_t InfoCollectEngineClass::StopAllCollect() {
    return static_cast<int32_t>(driver_run::Run(this, false).size());
}

int32_t InfoCollectEngineClass::StartOneCollect(DriverTypeEnum type, const std::string& name) {
    if (type != DRIVER_TYPE_INPUT) {
        return -1;
    }
    std::vector<std::string> names{name};
    int32_t ret = -1;
    (void)driver_run::Run(this, true, &names, &ret);
    CHS_LOG(0, LOGID_COLLECTOR, "Start input driver(%s), ret(%d).", name.c_str(), ret);
    return ret;
}

int32_t InfoCollectEngineClass::StopOneCollect(DriverTypeEnum type, const std::string& name) {
    if (type != DRIVER_TYPE_INPUT) {
        return -1;
    }
    std::vector<std::string> names{name};
    int32_t ret = -1;
    (void)driver_run::Run(this, false, &names, &ret);
    CHS_LOG(0, LOGID_COLLECTOR, "Stop input driver(%s), ret(%d).", name.c_str(), ret);
    return ret;
}

int32_t InfoCollectEngineClass::Exit() { return StopAllCollect(); }

void ChsLoadNamedPlugin(InfoCollectEngineClass& engine, const std::string& name, const std::string& libPath) {
    g_loadingName = name;
    engine.LoadPlugin(libPath);
    g_loadingName.clear();
}
