#include "node_facts/node_facts.h"

#include <json/json.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>

namespace node_facts {
namespace {

std::string FirstLine(const char* path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

}  // namespace

std::string CollectFacts(const std::string& dir) {
    std::ostringstream facts;
    char host[256] = {0};
    if (gethostname(host, sizeof(host) - 1) == 0) {
        facts << "host: " << host << "\n";
    }
    time_t now = time(nullptr);
    char stamp[32];
    struct tm local {};
    localtime_r(&now, &local);
    strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &local);
    facts << "time: " << stamp << "\n";

    std::string uptime = FirstLine("/proc/uptime");
    if (!uptime.empty()) {
        facts << "uptime_seconds: " << uptime.substr(0, uptime.find(' ')) << "\n";
    }
    std::string load = FirstLine("/proc/loadavg");
    if (!load.empty()) {
        facts << "load: " << load << "\n";
    }
    std::ifstream meminfo("/proc/meminfo");
    for (std::string line; std::getline(meminfo, line);) {
        if (line.rfind("MemTotal:", 0) == 0 || line.rfind("MemFree:", 0) == 0 ||
            line.rfind("MemAvailable:", 0) == 0) {
            facts << line << "\n";
        }
    }
    struct statvfs fs {};
    if (statvfs(dir.c_str(), &fs) == 0) {
        unsigned long long total = static_cast<unsigned long long>(fs.f_blocks) * fs.f_frsize / (1024 * 1024);
        unsigned long long avail = static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize / (1024 * 1024);
        facts << "disk_total_mb: " << total << "\n" << "disk_available_mb: " << avail << "\n";
    }
    return facts.str();
}

Settings ReadSettings(const std::string& cfgFile, const std::string& pluginName) {
    Settings settings;
    std::ifstream in(cfgFile, std::ios::binary);
    Json::CharReaderBuilder builder;
    Json::Value root;
    std::string errors;
    if (!in || !Json::parseFromStream(builder, in, &root, &errors) || !root.isObject() ||
        !root["plugin"].isArray()) {
        return settings;
    }
    struct Parameter {
        const char* pcName;
        unsigned long ulMin;
        unsigned long ulMax;
        unsigned int* pValue;
    };
    const Parameter parameters[] = {
        {"interval_sec", 1, 86400, &settings.uiIntervalSec},
        {"keep_files", 1, 100000, &settings.uiKeepFiles},
        {"max_age_sec", 60, 31536000, &settings.uiMaxAgeSec},
    };
    for (const Json::Value& entry : root["plugin"]) {
        if (!entry.isObject() || entry["name"].asString() != pluginName || !entry["parameters"].isArray()) {
            continue;
        }
        for (const Json::Value& group : entry["parameters"]) {
            for (const Parameter& parameter : parameters) {
                const Json::Value& values = group.isObject() ? group[parameter.pcName] : Json::Value();
                if (!values.isArray() || values.empty() || !values[0].isString()) {
                    continue;
                }
                const char* text = values[0].asCString();
                char* end = nullptr;
                unsigned long value = strtoul(text, &end, 10);
                if (*text >= '0' && *text <= '9' && end != nullptr && *end == '\0' && value >= parameter.ulMin &&
                    value <= parameter.ulMax) {
                    *parameter.pValue = static_cast<unsigned int>(value);
                }
            }
        }
    }
    return settings;
}

}  // namespace node_facts
