// The facts the sample plugin collects about its node, as lines of text.
#pragma once

#include <string>

namespace node_facts {

// Uptime, load, memory and the disk use of the file system holding `dir`,
// one "name: value" line each; a fact that cannot be read is left out.
std::string CollectFacts(const std::string& dir);

// The plugin's settings, from its entry in the plugin configuration file.
// Each parameter is a one-element array of a decimal text; a missing or
// unusable value (not a number, out of range) keeps the default.
struct Settings {
    unsigned int uiIntervalSec = 3600;      // "interval_sec", 1 to 86400: between two collections
    unsigned int uiKeepFiles = 48;          // "keep_files", 1 to 100000: newest files kept in node/
    unsigned int uiMaxAgeSec = 7 * 86400;   // "max_age_sec", 60 to 31536000: older own files go
};
Settings ReadSettings(const std::string& cfgFile, const std::string& pluginName);

}  // namespace node_facts
