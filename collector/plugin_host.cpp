// Parameters and logging for plugins (include/infocollector/plugin_host.h).
#include "include/infocollector/plugin_host.h"

#include "collector/plugin_cfg_parse.h"
#include "include/infocollector/host_paths.h"
#include "infra/chs_log.h"
#include "infra/string_util.h"

namespace {

constexpr size_t kPluginLogTextMax = 900;
constexpr size_t kPluginNameMax = 64;

// The daemon's own levels: 3 error, 2 warning, 1 information, 0 debug.
unsigned int HostLevel(int32_t level) {
    if (level <= PLUGIN_LOG_ERROR) {
        return 3;
    }
    if (level <= PLUGIN_LOG_WARNING) {
        return 2;
    }
    return level <= PLUGIN_LOG_INFO ? 1 : 0;
}

}  // namespace

int32_t PluginGetParameters(const std::string& plugin, std::vector<PluginParameter>& parameters) {
    parameters.clear();
    InfoCollectorCfgParseClass parser;
    parser.parseInfoCollectCfg(InfocollectorRealPath(INFOCOLLECTOR_CFG_FILE));
    for (const PluginCfgDataClass* entry : parser.getPluginCfg()) {
        if (entry->getName() != plugin) {
            continue;
        }
        for (int32_t g = 0; g < entry->getParaGroupNum() && g < PLUGIN_CFG_MAX_GROUP_NUM; ++g) {
            const tagPluginParaGroup& group = entry->getParaGroup(g);
            for (int32_t t = 0; t < group.iTypeNum && t < PLUGIN_CFG_MAX_TYPE_NUM; ++t) {
                const TypeValueMapClass& record = group.typeValue[t];
                PluginParameter parameter;
                parameter.strName = record.strType;
                parameter.vecValues.assign(record.strValue, record.strValue + record.iValueNum);
                parameter.iGroup = g;
                parameters.push_back(std::move(parameter));
            }
        }
        return 0;
    }
    return -1;
}

std::string PluginGetParameter(const std::string& plugin, const std::string& name, const std::string& fallback) {
    std::vector<PluginParameter> parameters;
    PluginGetParameters(plugin, parameters);
    for (const PluginParameter& parameter : parameters) {
        if (parameter.strName == name && !parameter.vecValues.empty()) {
            return parameter.vecValues.front();
        }
    }
    return fallback;
}

void PluginLog(const std::string& plugin, int32_t level, const std::string& text) {
    CHS_LOG(HostLevel(level), LOGID_COLLECTOR, "plugin %s: %s", OneLine(plugin, kPluginNameMax, ' ').c_str(),
            OneLine(text, kPluginLogTextMax, ' ').c_str());
}
