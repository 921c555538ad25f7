// Host interface: where the system's own paths ("/VXA/conf/...") really are.
// On a controller they are what they say; on a node of a simulated cluster
// they lie below the node's root. Plugins that read the daemon's files (their
// entry in the plugin configuration file, for example) ask the host.
#pragma once

#include <string>

// The real path of an absolute system path; relative paths come back unchanged.
std::string InfocollectorRealPath(const std::string& systemPath);

// The plugin configuration file, as a system path.
constexpr const char* INFOCOLLECTOR_PLUGIN_CFG_FILE = "/VXA/conf/InfoCollector.txt";
