// Registers what the engine must refuse: a second input driver under a name
// in use, and null drivers. A refused driver stays the plugin's to delete.
#include "infocollector/engine.h"
#include "test_plugin_journal.h"

extern "C" int32_t GetEngineVersion() { return INFOCOLLECT_ENGINE_VERSION; }

extern "C" int32_t RegisterPlugin(InfoCollectEngineClass* engine) {
    std::string name = "dup";
    for (int32_t i = 0; i < 2; ++i) {
        JournalInputDriver* driver = new JournalInputDriver("dup", name + std::to_string(i), i);
        int32_t ret = engine->AddInputDriver(name, driver);
        JournalNote("dup:add_input:" + std::to_string(i) + "=" + std::to_string(ret));
        if (ret != 0) {
            delete driver;
        }
    }
    std::string nullName = "nothing";
    JournalNote("dup:add_null_input=" + std::to_string(engine->AddInputDriver(nullName, nullptr)));
    JournalNote("dup:add_null_output=" + std::to_string(engine->AddOutputDriver(nullName, nullptr)));
    return 0;
}
