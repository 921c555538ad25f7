// The plugin configuration file: whatever it holds, parsing ends with at
// most ten entries and no fault. The text is handed over as a stream (the
// file form only adds the open).
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "collector/plugin_cfg_parse.h"
#include "platform/dplog.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    dpax_log_level_set(0, 0);
    dpax_log_level_set(551, 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::istringstream text(std::string(reinterpret_cast<const char*>(data), size));
    InfoCollectorCfgParseClass parser;
    parser.parseInfoCollectCfg(text);
    if (parser.getPluginCfg().size() > 10) {
        __builtin_trap();
    }
    return 0;
}
