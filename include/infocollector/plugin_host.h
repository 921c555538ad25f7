// What the host offers a plugin beyond the engine and the file functions:
// the export marker for the two entry points, the plugin's own parameters
// from the plugin configuration, and the daemon's log. The daemon exports
// these symbols; a plugin resolves them at load time (or links the host stub
// library to have them checked when it is built). Only standard headers are
// included.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Marks an entry point of a plugin built with hidden visibility
// (-fvisibility=hidden, as the plugin package sets it):
//
//   INFOCOLLECTOR_PLUGIN_EXPORT int32_t GetEngineVersion() { ... }
//   INFOCOLLECTOR_PLUGIN_EXPORT int32_t RegisterPlugin(InfoCollectEngineClass* engine) { ... }
#define INFOCOLLECTOR_PLUGIN_EXPORT extern "C" __attribute__((visibility("default")))

// The version of this interface. The major number changes when a plugin built
// against the older headers can no longer run in the host; the minor number
// when functions are added. A plugin that wants the host to check it declares
//
//   INFOCOLLECTOR_DECLARE_SDK_VERSION();
//
// once, at namespace scope. The host then refuses to load it (with a log line
// naming both versions) unless the major numbers are equal and the plugin's
// minor number is not above the host's. A plugin without the declaration is
// loaded as before.
#define INFOCOLLECTOR_SDK_VERSION_MAJOR 1
#define INFOCOLLECTOR_SDK_VERSION_MINOR 1
#define INFOCOLLECTOR_SDK_VERSION_SYMBOL "InfoCollectorSdkVersion"
#define INFOCOLLECTOR_DECLARE_SDK_VERSION()                                \
    INFOCOLLECTOR_PLUGIN_EXPORT const int32_t InfoCollectorSdkVersion =  \
        (INFOCOLLECTOR_SDK_VERSION_MAJOR << 16) | INFOCOLLECTOR_SDK_VERSION_MINOR

// One parameter of a plugin's entry in the plugin configuration:
//   "parameters": [ {"interval_sec": ["60"]}, {"keep_files": ["48"], "max_age_sec": ["604800"]} ]
// holds three parameters; "keep_files" stands in group 1.
struct PluginParameter {
    std::string strName;
    std::vector<std::string> vecValues;
    int32_t iGroup = 0;
};

// The parameters of the entry whose "name" is `plugin`, in file order (within
// a group, in ascending byte order of the names). The configuration is read
// anew on every call. 0, or -1 when the file cannot be read or has no entry of
// that name (`parameters` is then empty).
int32_t PluginGetParameters(const std::string& plugin, std::vector<PluginParameter>& parameters);

// The first value of the first parameter `name` of `plugin`, or `fallback`
// when there is none.
std::string PluginGetParameter(const std::string& plugin, const std::string& name, const std::string& fallback);

// Levels of PluginLog, as syslog numbers them.
enum PluginLogLevel : int32_t {
    PLUGIN_LOG_ERROR = 3,
    PLUGIN_LOG_WARNING = 4,
    PLUGIN_LOG_INFO = 6,
    PLUGIN_LOG_DEBUG = 7,
};

// Writes one line to the daemon's log, tagged "plugin <plugin>:". Control
// characters in `plugin` and `text` become blanks and the text is cut at 900
// bytes, so that a plugin cannot forge or flood log lines; a level the
// daemon's log level leaves out is dropped.
void PluginLog(const std::string& plugin, int32_t level, const std::string& text);
