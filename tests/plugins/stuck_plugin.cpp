// A plugin whose Stop blocks: input driver "stuck" notes the start of its
// Stop, then waits (up to 120 s) until the file named by the environment
// variable CHS_TEST_PLUGIN_RELEASE exists, and notes the end.
#include <sys/stat.h>
#include <unistd.h>

#include "infocollector/engine.h"
#include "test_plugin_journal.h"

namespace {

bool Released() {
    const char* path = std::getenv("CHS_TEST_PLUGIN_RELEASE");
    struct stat st {};
    return path != nullptr && stat(path, &st) == 0;
}

class StuckInputDriver : public InputDriverBase {
  public:
    int32_t Start() override {
        JournalNote("stuck:start");
        return 0;
    }
    int32_t Stop() override {
        JournalNote("stuck:stop:begin");
        for (int i = 0; i < 1200 && !Released(); ++i) {
            usleep(100000);
        }
        JournalNote("stuck:stop:end");
        return 0;
    }
};

}  // namespace

extern "C" int32_t GetEngineVersion() { return INFOCOLLECT_ENGINE_VERSION; }

extern "C" int32_t RegisterPlugin(InfoCollectEngineClass* engine) {
    std::string name = "stuck";
    return engine->AddInputDriver(name, new StuckInputDriver());
}
