// The collection engine as a plugin sees it: the driver interfaces a plugin
// implements, the engine it registers its drivers with, and the two entry
// points the host looks up in the plugin library. The daemon's engine is
// compiled from this same header, so host and plugins cannot disagree on a
// layout. Only standard headers are included: a plugin builds against
// include/ and nothing else of the daemon's tree.
//
// A plugin library
//   - is a shared object whose file name ends in ".so" (and holds ".so"
//     nowhere else in its path),
//   - is opened with RTLD_NOW, so every host function it uses must exist in
//     the daemon (the daemon exports its symbols; a plugin links no daemon
//     library),
//   - exports, with C linkage and exactly these names:
//
//       extern "C" int32_t GetEngineVersion();
//           Required to be present; the host never calls it. Return
//           INFOCOLLECT_ENGINE_VERSION.
//       extern "C" int32_t RegisterPlugin(InfoCollectEngineClass* engine);
//           Called once, on the daemon's main thread during start-up, right
//           after loading. Register the plugin's drivers with
//           engine->AddInputDriver / AddOutputDriver. The result is ignored.
//
// A library lacking either symbol is unloaded without RegisterPlugin being
// called. A library, once registered, stays loaded for the life of the
// process.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

constexpr int32_t INFOCOLLECT_ENGINE_VERSION = 1;

constexpr const char* INFOCOLLECT_GET_ENGINE_VERSION_SYMBOL = "GetEngineVersion";
constexpr const char* INFOCOLLECT_REGISTER_PLUGIN_SYMBOL = "RegisterPlugin";

class InfoCollectEngineClass;

typedef int32_t (*GetEngineVersionFunc)();
typedef int32_t (*RegisterPluginFunc)(InfoCollectEngineClass* engine);

// 0 is the input side; every other value names the output side.
enum DriverTypeEnum {
    DRIVER_TYPE_INPUT = 0,
    DRIVER_TYPE_OUTPUT = 1,
};

// A driver that produces data. The engine starts and stops it when the
// collector switch changes and stops it when the daemon ends (SIGTERM,
// SIGINT). Each Start and Stop runs on a thread of its own, in parallel with
// those of the other drivers, and is given a time limit (10 s by default): a
// call that overruns is logged, its driver shown as stuck and left behind,
// and the others go on. A driver never sees two of its calls at once: while
// one has not returned, the engine makes no other; when a late call returns
// after the switch changed, the engine makes the call that matches the switch. Once registered, the engine owns the object
// and deletes it (through this virtual destructor) before the plugin's
// library is unloaded.
class InputDriverBase {
  public:
    virtual ~InputDriverBase() {}
    virtual int32_t Start() = 0;
    virtual int32_t Stop() = 0;
};

// A driver that consumes data. The engine only keeps and finally deletes it.
class OutputDriverBase {
  public:
    virtual ~OutputDriverBase() {}
};

// One loaded plugin library: a copyable handle whose copies share one use
// count. The last copy to go unloads the library. Copies are made only on
// the loading thread; the count is not atomic.
class PluginClass {
  public:
    PluginClass() {}
    // Takes over `pHandle` (from SharedLibraryManagerClass::LoadLib) and
    // starts the use count at 1.
    PluginClass(void* pHandle, GetEngineVersionFunc pfnGetEngineVersion,
                RegisterPluginFunc pfnRegisterPlugin);
    PluginClass(const PluginClass& other);
    PluginClass& operator=(const PluginClass& other);
    ~PluginClass();

    void* GetHandle() const { return m_pHandle; }
    GetEngineVersionFunc GetEngineVersionPtr() const { return m_pfnGetEngineVersion; }
    RegisterPluginFunc GetRegisterPluginPtr() const { return m_pfnRegisterPlugin; }
    size_t UseCount() const { return m_pUseCount == nullptr ? 0 : *m_pUseCount; }

    // A fresh use count holding 1.
    static size_t* NewSizeT();

  private:
    void Release();

    void* m_pHandle = nullptr;
    size_t* m_pUseCount = nullptr;
    GetEngineVersionFunc m_pfnGetEngineVersion = nullptr;
    RegisterPluginFunc m_pfnRegisterPlugin = nullptr;
};

// The process-wide registry of plugins and of the drivers they provide.
//
// Thread safety: instance() may be called from any thread. Plugins are
// loaded and drivers registered on the main thread during start-up; later
// starts and stops of all drivers are serialised by the caller (the switch
// handler's mutex). The run state of the drivers is kept, behind a lock of
// its own, by the host (collector/driver_states.h).
class InfoCollectEngineClass {
  public:
    // The single instance, created on first use; it lives until the process
    // ends.
    static InfoCollectEngineClass* instance();

    // Reads "/VXA/conf/InfoCollector.txt" (below the node root), takes its
    // driver time limit ("driver_call_limit_sec", 10 s when absent) and loads
    // every plugin it lists, in file order, logging each one with its drivers.
    void Init();
    // Loads one plugin library and lets it register its drivers, unless
    // `path` is loaded already. Failures are logged, never thrown.
    void LoadPlugin(const std::string& path);

    // Register a driver under a name unique on its side (input and output
    // names are separate). 0 on success: the engine then owns `driver`.
    // -1 for a null driver or a name in use: the caller keeps `driver`.
    int32_t AddInputDriver(std::string& name, InputDriverBase* driver);
    int32_t AddOutputDriver(std::string& name, OutputDriverBase* driver);

    // Start()/Stop() every input driver, in parallel and within the time
    // limit: the number of drivers whose call failed, threw, overran or
    // could not be made (0 when all answered 0).
    int32_t StartAllCollect();
    int32_t StopAllCollect();
    // Start()/Stop() one input driver within the time limit: its result, or
    // -1 when `type` is not the input side, no such driver exists, or the
    // call threw, overran or could not be made.
    int32_t StartOneCollect(DriverTypeEnum type, const std::string& name);
    int32_t StopOneCollect(DriverTypeEnum type, const std::string& name);
    // Stops every input driver; the result of StopAllCollect().
    int32_t Exit();

    // Deletes every output driver, then every input driver, then lets go of
    // the plugins (unloading their libraries); while a driver call left
    // behind has not returned, drivers and libraries are kept instead. The single instance is never
    // destroyed; engines made by a derived class (tests) are.
    ~InfoCollectEngineClass();
    InfoCollectEngineClass(const InfoCollectEngineClass&) = delete;
    InfoCollectEngineClass& operator=(const InfoCollectEngineClass&) = delete;

  protected:
    InfoCollectEngineClass() {}

  private:
    static std::atomic<InfoCollectEngineClass*> objInfoCollectEngine;

    // Keyed by the library path of the configuration.
    std::map<std::string, PluginClass> m_mapPlugins;
    std::map<std::string, InputDriverBase*> m_mapInputDrivers;
    std::map<std::string, OutputDriverBase*> m_mapOutputDrivers;
};
