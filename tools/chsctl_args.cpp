// The command-line grammar shared by every chsctl subcommand.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/chsctl_commands.h"

namespace chs_tools {
namespace {

// The cluster ./chs cluster up lays out in this build tree. The tools know
// the build tree through the directory of its plugins.
std::string BuildTreeCluster() {
    std::string plugins = CHS_PLUGIN_DIR;
    size_t slash = plugins.find_last_of('/');
    return (slash == std::string::npos ? std::string(".") : plugins.substr(0, slash)) + "/cluster";
}

// Takes the value of the global option argv[i] into `options`; false after
// printing why.
bool TakeGlobalValue(const std::string& option, const char* value, ControlOptions& options) {
    if (option == "--cluster") {
        if (*value == '\0') {
            fprintf(stderr, "chsctl: --cluster takes the cluster directory or its cluster.json\n");
            return false;
        }
        options.strCluster = value;
        options.bClusterGiven = true;
        return true;
    }
    if (option == "--node") {
        if (!ParseNumber(value, 0, 15, options.ulNode)) {
            fprintf(stderr, "chsctl: --node takes a node id from 0 to 15, not \"%s\"\n", value);
            return false;
        }
        options.bNodeGiven = true;
        return true;
    }
    if (!ParseNumber(value, 1, 86400, options.ulTimeoutSec)) {
        fprintf(stderr, "chsctl: --timeout takes a number of seconds from 1 to 86400, not \"%s\"\n", value);
        return false;
    }
    options.bTimeoutGiven = true;
    return true;
}

}  // namespace

const char* const kVersion = CHS_VERSION;

bool ParseNumber(const char* text, unsigned long min, unsigned long max, unsigned long& value) {
    char* end = nullptr;
    errno = 0;
    value = strtoul(text, &end, 10);
    return *text >= '0' && *text <= '9' && *end == '\0' && errno == 0 && value >= min && value <= max;
}

bool ParseCommandLine(int argc, char** argv, ControlOptions& options) {
    bool subcommandOnly = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (subcommandOnly) {
            options.vecWords.push_back(arg);
        } else if (arg == "--") {
            subcommandOnly = true;
        } else if (arg == "--json") {
            options.bJson = true;
        } else if (arg == "--help" || arg == "-h") {
            options.bHelp = true;
        } else if (arg == "--version") {
            options.bVersion = true;
        } else if (arg == "--cluster" || arg == "--node" || arg == "--timeout") {
            if (i + 1 >= argc) {
                fprintf(stderr, "chsctl: %s needs a value\n", arg.c_str());
                return false;
            }
            if (!TakeGlobalValue(arg, argv[++i], options)) {
                return false;
            }
        } else {
            options.vecWords.push_back(arg);
        }
    }
    return true;
}

bool ResolveCluster(ControlOptions& options) {
    const char* source = nullptr;
    if (!options.bClusterGiven) {
        const char* env = getenv("CHS_CLUSTER");
        if (env != nullptr && *env != '\0') {
            options.strCluster = env;
            source = "from CHS_CLUSTER";
        } else {
            options.strCluster = BuildTreeCluster();
            source = "the build tree's";
        }
    }
    const std::string& given = options.strCluster;
    struct stat info {};
    if (stat(given.c_str(), &info) != 0) {
        std::string from = source != nullptr ? std::string(" (") + source + ")" : std::string();
        fprintf(stderr, "chsctl: cluster %s%s: %s\n", given.c_str(), from.c_str(), strerror(errno));
        return false;
    }
    std::string dir = given;
    if (S_ISREG(info.st_mode)) {
        // The file the daemon takes; the cluster's other files lie beside it.
        size_t slash = given.find_last_of('/');
        std::string name = slash == std::string::npos ? given : given.substr(slash + 1);
        if (name != "cluster.json") {
            fprintf(stderr, "chsctl: --cluster takes the cluster directory or its cluster.json, not %s\n",
                    given.c_str());
            return false;
        }
        dir = slash == std::string::npos ? "." : slash == 0 ? "/" : given.substr(0, slash);
    } else if (!S_ISDIR(info.st_mode)) {
        fprintf(stderr, "chsctl: cluster %s is neither a directory nor a cluster.json\n", given.c_str());
        return false;
    } else {
        while (dir.size() > 1 && dir.back() == '/') {
            dir.pop_back();
        }
        if (access((dir + "/cluster.json").c_str(), F_OK) != 0) {
            fprintf(stderr,
                    "chsctl: %s holds no cluster.json (chsctl mkcluster or ./chs cluster up lays one out)\n",
                    dir.c_str());
            return false;
        }
    }
    options.strCluster = dir;
    if (source != nullptr) {
        fprintf(stderr, "chsctl: cluster %s (%s)\n", dir.c_str(), source);
    }
    return true;
}

}  // namespace chs_tools
