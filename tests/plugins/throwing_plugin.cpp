// Plugin code that throws: from a driver's Start/Stop and from RegisterPlugin
// after one driver went in. The host must survive both.
#include <stdexcept>

#include "infocollector/engine.h"
#include "test_plugin_journal.h"

namespace {
class ThrowingInputDriver : public InputDriverBase {
  public:
    int32_t Start() override { throw std::runtime_error("start refused"); }
    int32_t Stop() override { throw 42; }
};
}  // namespace

extern "C" int32_t GetEngineVersion() { return INFOCOLLECT_ENGINE_VERSION; }

extern "C" int32_t RegisterPlugin(InfoCollectEngineClass* engine) {
    std::string name = "boom";
    engine->AddInputDriver(name, new ThrowingInputDriver());
    throw std::runtime_error("registration broke");
}
