// A well-formed plugin: two input drivers (registered out of name order) and
// an output driver that shares a name with one of them.
#include "infocollector/engine.h"
#include "test_plugin_journal.h"

extern "C" int32_t GetEngineVersion() { return INFOCOLLECT_ENGINE_VERSION; }

extern "C" int32_t RegisterPlugin(InfoCollectEngineClass* engine) {
    JournalNote("good:register");
    std::string beta = "beta";
    std::string alpha = "alpha";
    int32_t ret = engine->AddInputDriver(beta, new JournalInputDriver("good", beta, 5));
    JournalNote("good:add_input:beta=" + std::to_string(ret));
    ret = engine->AddInputDriver(alpha, new JournalInputDriver("good", alpha, 0));
    JournalNote("good:add_input:alpha=" + std::to_string(ret));
    ret = engine->AddOutputDriver(alpha, new JournalOutputDriver("good", alpha));
    JournalNote("good:add_output:alpha=" + std::to_string(ret));
    return 0;
}
