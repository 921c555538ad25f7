// Has both entry points but registers no driver.
#include "infocollector/engine.h"
#include "test_plugin_journal.h"

extern "C" int32_t GetEngineVersion() { return INFOCOLLECT_ENGINE_VERSION; }

extern "C" int32_t RegisterPlugin(InfoCollectEngineClass*) {
    JournalNote("empty:register");
    return 0;
}
