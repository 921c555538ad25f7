#include "platform/platform_state.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

namespace platform {
namespace state {
namespace {

std::mutex g_mutex;
// Never destroyed: threads still running while the exit handlers run read the
// node flags (an offline node, the upgrade mode) through them.
std::string& g_dir = *new std::string();
std::map<std::string, std::string>& g_values = *new std::map<std::string, std::string>();

std::string TrimSpace(const std::string& text) {
    const char* ws = " \t\r\n";
    size_t begin = text.find_first_not_of(ws);
    if (begin == std::string::npos) {
        return "";
    }
    size_t end = text.find_last_not_of(ws);
    return text.substr(begin, end - begin + 1);
}

}  // namespace

void SetDir(const std::string& dir) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_dir = dir;
}

std::string Dir() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_dir;
}

std::optional<std::string> Get(const std::string& name) {
    std::string dir;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = g_values.find(name);
        if (it != g_values.end()) {
            return it->second;
        }
        dir = g_dir;
    }
    // Names are fixed by the platform code, never taken from a request, but a
    // separator in one would still leave the state directory: refuse it.
    if (dir.empty() || name.empty() || name.find('/') != std::string::npos) {
        return std::nullopt;
    }
    std::ifstream in(dir + "/" + name, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return TrimSpace(text.str());
}

std::optional<long long> GetNumber(const std::string& name) {
    std::optional<std::string> text = Get(name);
    if (!text || text->empty()) {
        return std::nullopt;
    }
    errno = 0;
    char* end = nullptr;
    long long value = std::strtoll(text->c_str(), &end, 10);
    if (errno != 0 || end == nullptr || *end != '\0') {
        return std::nullopt;
    }
    return value;
}

bool IsSet(const std::string& name) {
    std::optional<std::string> text = Get(name);
    return text.has_value() && *text != "0";
}

void Set(const std::string& name, const std::string& value) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_values[name] = value;
}

void Clear(const std::string& name) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_values.erase(name);
}

void ClearAll() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_values.clear();
}

}  // namespace state
}  // namespace platform
