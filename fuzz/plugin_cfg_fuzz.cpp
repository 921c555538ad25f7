// The plugin configuration file: whatever it holds, parsing ends with at
// most ten entries and no fault.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "collector/plugin_cfg_parse.h"
#include "platform/dplog.h"

namespace {
std::string g_path;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    dpax_log_level_set(0, 0);
    dpax_log_level_set(551, 0);
    char pattern[] = "/tmp/chs-plugin-cfg-fuzz-XXXXXX";
    int fd = mkstemp(pattern);
    if (fd < 0) {
        abort();
    }
    close(fd);
    g_path = pattern;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FILE* file = fopen(g_path.c_str(), "wb");
    if (file == nullptr) {
        abort();
    }
    fwrite(data, 1, size, file);
    fclose(file);
    InfoCollectorCfgParseClass parser;
    parser.parseInfoCollectCfg(g_path);
    if (parser.getPluginCfg().size() > 10) {
        __builtin_trap();
    }
    return 0;
}
