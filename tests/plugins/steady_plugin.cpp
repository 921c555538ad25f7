// A plugin that does what it is told at once: one input driver, "steady",
// whose Start and Stop note themselves and succeed.
#include "infocollector/engine.h"
#include "test_plugin_journal.h"

extern "C" int32_t GetEngineVersion() { return INFOCOLLECT_ENGINE_VERSION; }

extern "C" int32_t RegisterPlugin(InfoCollectEngineClass* engine) {
    std::string name = "steady";
    return engine->AddInputDriver(name, new JournalInputDriver("steady", name, 0));
}
