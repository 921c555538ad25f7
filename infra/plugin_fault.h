// Which plugin's code was running when the daemon faulted, and the quarantine
// that keeps such a plugin out of the next start.
//
// When a plugin is loaded its code ranges are registered here. The fatal-
// signal handler asks, for the faulting instruction and each frame of the
// stack, whether it lies in a plugin; the first one found is named in the log
// and appended to the quarantine file, all without allocating or locking.
// The daemon reads the quarantine file at start-up and does not load a plugin
// it lists; `chsctl plugin release NAME` removes the entry again.
//
// Registration and the file functions run on ordinary threads; PluginFaultFind
// and PluginFaultRecord are async-signal-safe.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr size_t kPluginFaultMaxPlugins = 16;

// The quarantine file as the system names it; below the node root in a
// simulated cluster. One line per plugin: name, a tab, the library path.
constexpr const char* PLUGIN_QUARANTINE_FILE = "/VXA/conf/plugin_quarantine.txt";

// Records the loadable segments of the library `dlHandle` as plugin `name`.
// false when the table is full or the library's ranges cannot be read.
bool PluginFaultRegister(void* dlHandle, const std::string& name, const std::string& libPath);

// Where PluginFaultRecord appends (a real path); set before any plugin runs.
void PluginFaultSetQuarantineFile(const std::string& realPath);

// Signal-safe. The registered plugin whose code holds `address`, or -1.
int PluginFaultFind(uintptr_t address);
// Signal-safe. The name of registered plugin `index` ("" when out of range).
const char* PluginFaultName(int index);
// Signal-safe. Appends plugin `index` to the quarantine file (no link is
// followed; the file is created 0640). false when it cannot be written.
bool PluginFaultRecord(int index);

// A quarantined plugin.
struct QuarantinedPlugin {
    std::string strName;
    std::string strLibPath;
};

// The entries of the quarantine file at `realPath`, each name once; empty
// when there is no file. At most 64 entries of 4 KiB lines are read.
std::vector<QuarantinedPlugin> PluginQuarantineRead(const std::string& realPath);
// Removes every entry named `name` by writing the rest to a new file renamed
// over the old. 1 removed, 0 not quarantined, -1 the file cannot be rewritten.
int PluginQuarantineRelease(const std::string& realPath, const std::string& name);
