// Lacks "GetEngineVersion": the engine must unload it without registering.
#include "infocollector/engine.h"
#include "test_plugin_journal.h"

extern "C" int32_t RegisterPlugin(InfoCollectEngineClass* engine) {
    JournalNote("no_version:register");
    std::string name = "no_version";
    JournalInputDriver* driver = new JournalInputDriver("no_version", name, 0);
    if (engine->AddInputDriver(name, driver) != 0) {
        delete driver;
    }
    return 0;
}
