// The facts the sample plugin collects about its node, as lines of text.
#pragma once

#include <string>

namespace node_facts {

// Uptime, load, memory and the disk use of the file system holding `dir`,
// one "name: value" line each; a fact that cannot be read is left out.
std::string CollectFacts(const std::string& dir);

// Seconds between two collections from the plugin's entry "node_facts" in
// the plugin configuration file: its parameter "interval_sec" (default 3600).
unsigned int ReadIntervalSec(const std::string& cfgFile, const std::string& pluginName);

}  // namespace node_facts
