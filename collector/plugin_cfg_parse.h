// The plugin configuration file: a JSON object whose "plugin" array lists the
// collection plugins the engine loads at start-up, one object per plugin,
// and whose optional "driver_call_limit_sec" (1 to 600) bounds each Start and
// Stop of an input driver.
//
// Reading never fails towards the caller: a file that cannot be opened or
// parsed, or an entry of the wrong shape, is logged and yields fewer (or no)
// entries. The entries are owned by the parser that made them.
// Not thread safe; the engine parses once on the start-up thread.
#pragma once

#include <json/json.h>

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

// The file as the system names it; map it with platform::RealPath.
constexpr const char* INFOCOLLECTOR_CFG_FILE = "/VXA/conf/InfoCollector.txt";

constexpr size_t INFOCOLLECTOR_MAX_PLUGIN_NUM = 10;
constexpr int32_t PLUGIN_CFG_MAX_GROUP_NUM = 20;
constexpr int32_t PLUGIN_CFG_MAX_TYPE_NUM = 20;   // parameter names per group
constexpr int32_t PLUGIN_CFG_MAX_VALUE_NUM = 20;  // values per parameter name
constexpr uint32_t PLUGIN_CFG_MAX_CALL_LIMIT_SEC = 600;

// One parameter name with its values. A name with PLUGIN_CFG_MAX_VALUE_NUM or
// more values keeps the first ones but a count of 0: readers must treat such
// a record as empty.
class TypeValueMapClass {
  public:
    std::string strType;
    std::string strValue[PLUGIN_CFG_MAX_VALUE_NUM];
    int32_t iValueNum = 0;
};

// One parameter group (one object of "parameters"). As with values, a group
// with PLUGIN_CFG_MAX_TYPE_NUM or more names keeps a count of 0.
struct tagPluginParaGroup {
    TypeValueMapClass typeValue[PLUGIN_CFG_MAX_TYPE_NUM];
    int32_t iTypeNum = 0;
};

// One plugin entry. Polymorphic so that a plugin-specific entry can read
// more of its object by replacing loadCfgExt.
class PluginCfgDataClass {
  public:
    PluginCfgDataClass() = default;
    virtual ~PluginCfgDataClass() = default;

    virtual std::string getFilePath() { return m_strFilePath; }
    virtual std::string getFilePrefix() { return m_strFilePrefix; }
    // Reads the fixed keys of `entry`, then loadCfgExt(entry). Throws the
    // JSON library's exceptions for values of the wrong type.
    virtual void loadCfg(const Json::Value& entry);
    // Reads "parameters".
    virtual void loadCfgExt(const Json::Value& entry);

    const std::string& getPluginType() const { return m_strPluginType; }
    const std::string& getName() const { return m_strName; }
    const std::string& getPluginLibPath() const { return m_strPluginLibPath; }
    int32_t getParaGroupNum() const { return m_iParaGroupNum; }
    // `index` below PLUGIN_CFG_MAX_GROUP_NUM.
    const tagPluginParaGroup& getParaGroup(int32_t index) const { return m_paraGroup[index]; }
    int32_t getFileInterval() const { return m_iFileInterval; }
    int32_t getFileSwitch() const { return m_iFileSwitch; }
    int32_t getFileLimit() const { return m_iFileLimit; }

  protected:
    std::string m_strPluginType;
    std::string m_strName;
    std::string m_strPluginLibPath;
    tagPluginParaGroup m_paraGroup[PLUGIN_CFG_MAX_GROUP_NUM];
    int32_t m_iParaGroupNum = 0;
    std::string m_strFilePath;
    int32_t m_iFileInterval = -1;
    int32_t m_iFileSwitch = -1;
    int32_t m_iFileLimit = -1;
    std::string m_strFilePrefix;
};

class InfoCollectorCfgParseClass {
  public:
    InfoCollectorCfgParseClass() = default;
    ~InfoCollectorCfgParseClass();
    InfoCollectorCfgParseClass(const InfoCollectorCfgParseClass&) = delete;
    InfoCollectorCfgParseClass& operator=(const InfoCollectorCfgParseClass&) = delete;

    // Appends the entries of the file at `path` (a real path) to the list,
    // at most INFOCOLLECTOR_MAX_PLUGIN_NUM in all. Always 0.
    int32_t parseInfoCollectCfg(const std::string& path);
    // The same for the text read from `in`.
    int32_t parseInfoCollectCfg(std::istream& in);

    // In file order; valid until this parser is destroyed.
    const std::vector<PluginCfgDataClass*>& getPluginCfg() const { return m_vecPluginCfg; }
    // "driver_call_limit_sec", or 0 when absent or not a number of 1 to 600
    // (logged).
    uint32_t getDriverCallLimitSec() const { return m_uiDriverCallLimitSec; }

  private:
    std::vector<PluginCfgDataClass*> m_vecPluginCfg;
    uint32_t m_uiDriverCallLimitSec = 0;
};
