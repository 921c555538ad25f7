#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/chsctl_commands.h"

namespace chs_tools {

bool ParseNumber(const char* text, unsigned long min, unsigned long max, unsigned long& value) {
    char* end = nullptr;
    errno = 0;
    value = strtoul(text, &end, 10);
    return *text >= '0' && *text <= '9' && *end == '\0' && errno == 0 && value >= min && value <= max;
}

int TakeClientOption(int argc, char** argv, int& i, ClientOptions& options) {
    std::string arg = argv[i];
    bool hasValue = i + 1 < argc;
    if (arg == "--cluster" && hasValue) {
        options.strCluster = argv[++i];
        return 1;
    }
    if (arg == "--node" && hasValue) {
        if (!ParseNumber(argv[++i], 0, 15, options.ulNode)) {
            fprintf(stderr, "chsctl: --node takes a node id from 0 to 15\n");
            return -1;
        }
        options.bNodeGiven = true;
        return 1;
    }
    if (arg == "--timeout" && hasValue) {
        if (!ParseNumber(argv[++i], 1, 86400, options.ulTimeoutSec)) {
            fprintf(stderr, "chsctl: --timeout takes a number of seconds from 1 to 86400\n");
            return -1;
        }
        options.bTimeoutGiven = true;
        return 1;
    }
    return 0;
}

}  // namespace chs_tools
