#include "collector/plugin_cfg_parse.h"

#include <fstream>
#include <memory>
#include <new>

#include "infra/chs_log.h"

void PluginCfgDataClass::loadCfg(const Json::Value& entry) {
    m_strPluginType = entry["plugin_type"].asString();
    m_strName = entry["name"].asString();
    m_strPluginLibPath = entry["plugin_lib_path"].asString();
    m_strFilePath = entry["file_path"].asString();
    m_iFileInterval = entry["file_interval"].asInt();
    m_iFileSwitch = entry["file_switch"].asInt();
    m_iFileLimit = entry["file_limit"].asInt();
    m_strFilePrefix = entry["file_prefix"].asString();
    loadCfgExt(entry);
}

void PluginCfgDataClass::loadCfgExt(const Json::Value& entry) {
    const Json::Value& groups = entry["parameters"];
    // The JSON library counts a scalar as empty; a scalar here is a broken
    // file all the same, and is reported like any other wrong type.
    if (!groups.isNull() && !groups.isArray()) {
        throw Json::LogicError("\"parameters\" is not an array");
    }
    int32_t groupNum = static_cast<int32_t>(groups.size());
    if (groupNum < 1) {
        m_iParaGroupNum = groupNum;
        return;
    }
    for (int32_t i = 0; i < groupNum && i < PLUGIN_CFG_MAX_GROUP_NUM; ++i) {
        const Json::Value& group = groups[static_cast<Json::ArrayIndex>(i)];
        tagPluginParaGroup& paraGroup = m_paraGroup[i];
        // Member order of the library: ascending byte order of the names.
        Json::Value::Members names = group.getMemberNames();
        int32_t typeNum = static_cast<int32_t>(names.size());
        for (int32_t j = 0; j < typeNum && j < PLUGIN_CFG_MAX_TYPE_NUM; ++j) {
            TypeValueMapClass& record = paraGroup.typeValue[j];
            record.strType = names[j];
            const Json::Value& values = group[names[j]];
            int32_t valueNum = static_cast<int32_t>(values.size());
            for (int32_t k = 0; k < valueNum && k < PLUGIN_CFG_MAX_VALUE_NUM; ++k) {
                record.strValue[k] = values[static_cast<Json::ArrayIndex>(k)].asString();
            }
            if (valueNum < PLUGIN_CFG_MAX_VALUE_NUM) {
                record.iValueNum = valueNum;
            }
        }
        if (typeNum < PLUGIN_CFG_MAX_TYPE_NUM) {
            paraGroup.iTypeNum = typeNum;
        }
    }
    if (groupNum < PLUGIN_CFG_MAX_GROUP_NUM) {
        m_iParaGroupNum = groupNum;
    }
}

InfoCollectorCfgParseClass::~InfoCollectorCfgParseClass() {
    for (PluginCfgDataClass* entry : m_vecPluginCfg) {
        delete entry;
    }
    m_vecPluginCfg.clear();
}

int32_t InfoCollectorCfgParseClass::parseInfoCollectCfg(const std::string& path) {
    std::ifstream cfgFile;
    try {
        cfgFile.open(path, std::ios::in | std::ios::binary);
        if (!cfgFile.is_open()) {
            CHS_LOG(3, LOGID_COLLECTOR, "Open the cfg file failed.");
        }
    } catch (...) {
        if (cfgFile.is_open()) {
            cfgFile.close();
        }
        CHS_LOG(3, LOGID_COLLECTOR, "There are some exceptions occured when openning the cfg file.");
    }

    parseInfoCollectCfg(cfgFile);
    cfgFile.close();
    return 0;
}

int32_t InfoCollectorCfgParseClass::parseInfoCollectCfg(std::istream& in) {
    try {
        Json::CharReaderBuilder builder;
        Json::Value root;
        std::string errors;
        if (!Json::parseFromStream(builder, in, &root, &errors)) {
            CHS_LOG(3, LOGID_COLLECTOR, "Failed to parse the cfg file.");
            return 0;
        }
        const Json::Value& limit = static_cast<const Json::Value&>(root)["driver_call_limit_sec"];
        if (limit.isUInt() && limit.asUInt() >= 1 && limit.asUInt() <= PLUGIN_CFG_MAX_CALL_LIMIT_SEC) {
            m_uiDriverCallLimitSec = limit.asUInt();
        } else if (!limit.isNull()) {
            CHS_LOG(3, LOGID_COLLECTOR, "Ignored \"driver_call_limit_sec\": not a number of seconds from 1 to %u.",
                    PLUGIN_CFG_MAX_CALL_LIMIT_SEC);
        }
        const Json::Value& plugins = static_cast<const Json::Value&>(root)["plugin"];
        Json::ArrayIndex pluginNum = plugins.size();
        // Entries past the tenth are not even read: each costs a large
        // record, and a file of thousands would only burn time.
        for (Json::ArrayIndex i = 0; i < pluginNum && m_vecPluginCfg.size() < INFOCOLLECTOR_MAX_PLUGIN_NUM; ++i) {
            std::unique_ptr<PluginCfgDataClass> entry(new PluginCfgDataClass());
            entry->loadCfg(plugins[i]);
            try {
                m_vecPluginCfg.push_back(entry.get());
                entry.release();
            } catch (const std::bad_alloc&) {
                CHS_LOG(3, LOGID_COLLECTOR, "Add the plugin into vector failed.");
            }
        }
    } catch (...) {
        CHS_LOG(3, LOGID_COLLECTOR, "There are some exceptions when parsing the cfg file.");
    }
    return 0;
}
