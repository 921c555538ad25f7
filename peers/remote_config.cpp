#include "peers/remote_config.h"

#include <json/json.h>
#include <string.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <system_error>

#include "include/infocollector/https_client.h"
#include "infra/string_util.h"
#include "peers/peer_config.h"

namespace chs_peers {
namespace {

constexpr uint32_t kMaxTimeoutSec = 86400;
constexpr size_t kMaxHostLength = 253;
constexpr size_t kMaxCredentialLength = 255;

bool IsHostName(const std::string& host) {
    if (host.empty() || host.size() > kMaxHostLength || host.front() == '-' || host.front() == '.') {
        return false;
    }
    for (char c : host) {
        if (!isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.') {
            return false;
        }
    }
    return true;
}

bool IsIpv6(const std::string& host) {
    if (host.empty() || host.size() > 45 || host.find(':') == std::string::npos) {
        return false;
    }
    for (char c : host) {
        if (!isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.') {
            return false;
        }
    }
    return true;
}

// 1-65535 from decimal digits alone ("0443" too, not "+443" or "443 ").
bool ParsePort(const std::string& text, uint32_t& port) {
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    unsigned long value = std::stoul(text);
    port = static_cast<uint32_t>(value);
    return value >= 1 && value <= 65535;
}

// "https://host[:port][/path]" into `out`; the path keeps to unreserved
// characters and '/', without "." or ".." segments.
bool ParseUrl(const std::string& url, RemoteConfig& out, std::string& why) {
    const std::string scheme = "https://";
    std::string lower = url.substr(0, scheme.size());
    for (char& c : lower) {
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    }
    if (lower != scheme) {
        why = "\"url\" must start with https:// (no other scheme is accepted)";
        return false;
    }
    std::string rest = url.substr(scheme.size());
    size_t slash = rest.find('/');
    std::string authority = rest.substr(0, slash);
    std::string path = slash == std::string::npos ? "" : rest.substr(slash);
    if (authority.find('@') != std::string::npos) {
        why = "\"url\" must not carry a user or password";
        return false;
    }
    std::string port;
    bool hasPort = false;
    if (!authority.empty() && authority.front() == '[') {
        size_t close = authority.find(']');
        std::string after = close == std::string::npos ? "" : authority.substr(close + 1);
        out.strHost = close == std::string::npos ? "" : authority.substr(1, close - 1);
        if (!IsIpv6(out.strHost) || (!after.empty() && after.front() != ':')) {
            why = "\"url\" has a malformed IPv6 address";
            return false;
        }
        hasPort = !after.empty();
        port = hasPort ? after.substr(1) : "";
    } else {
        size_t colon = authority.find(':');
        out.strHost = authority.substr(0, colon);
        if (!IsHostName(out.strHost)) {
            why = "\"url\" names no valid host";
            return false;
        }
        hasPort = colon != std::string::npos;
        port = hasPort ? authority.substr(colon + 1) : "";
    }
    if (hasPort && !ParsePort(port, out.uiPort)) {
        why = "\"url\" has a port outside 1-65535";
        return false;
    }
    if (path.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-._~/") !=
            std::string::npos ||
        ("/" + path + "/").find("/./") != std::string::npos ||
        ("/" + path + "/").find("/../") != std::string::npos) {
        why =
            "\"url\" has a path with other characters than letters, digits, -._~ and /, or a . or .. segment";
        return false;
    }
    while (!path.empty() && path.back() == '/') {
        path.pop_back();
    }
    out.strPath = path;
    out.strUrl = url;
    return true;
}

// A readable regular file named by `key`; a relative name is taken relative
// to `base`.
bool ReadableFile(const Json::Value& value, const std::string& key, const std::string& base,
                  std::string& file, std::string& why) {
    if (!value.isString() || value.asString().empty()) {
        why = "\"" + key + "\" is not a file name";
        return false;
    }
    std::filesystem::path name(value.asString());
    file = (name.is_absolute() ? name : std::filesystem::path(base) / name).string();
    std::ifstream probe(file, std::ios::binary);
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec) || !probe) {
        why = "\"" + key + "\" " + file + " is not a readable regular file";
        return false;
    }
    return true;
}

// A string of printable characters, looked at in place: a password is not
// copied into temporaries that would be freed unwiped.
bool IsCredential(const Json::Value& value, bool allowColon) {
    const char* begin = nullptr;
    const char* end = nullptr;
    if (!value.isString() || !value.getString(&begin, &end) ||
        static_cast<size_t>(end - begin) > kMaxCredentialLength) {
        return false;
    }
    for (const char* c = begin; c != end; ++c) {
        if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7f || (!allowColon && *c == ':')) {
            return false;
        }
    }
    return true;
}

// The string's bytes into `out`, without a temporary copy.
void TakeString(const Json::Value& value, std::string& out) {
    const char* begin = nullptr;
    const char* end = nullptr;
    if (value.isString() && value.getString(&begin, &end)) {
        out.assign(begin, end);
    }
}

// Overwrites the parsed copy of a secret inside the JSON tree.
void WipeJsonString(const Json::Value& value) {
    const char* begin = nullptr;
    const char* end = nullptr;
    if (value.isString() && value.getString(&begin, &end) && end > begin) {
        explicit_bzero(const_cast<char*>(begin), static_cast<size_t>(end - begin));
    }
}

bool ParseProxy(const Json::Value& proxy, RemoteConfig& out, std::string& why) {
    static const std::map<std::string, uint32_t> kTypes = {
        {"http", HTTP_PROXY_HTTP},     {"https", HTTP_PROXY_HTTPS},
        {"socks4", HTTP_PROXY_SOCKS4}, {"socks4a", HTTP_PROXY_SOCKS4A},
        {"socks5", HTTP_PROXY_SOCKS5}, {"socks5h", HTTP_PROXY_SOCKS5_HOSTNAME}};
    if (!proxy.isObject()) {
        why = "\"proxy\" is not an object";
        return false;
    }
    const Json::Value& type = proxy["type"];
    auto found = type.isString() ? kTypes.find(type.asString()) : kTypes.end();
    if (!type.isNull() && found == kTypes.end()) {
        why = "\"proxy\".\"type\" is none of http, https, socks4, socks4a, socks5, socks5h";
        return false;
    }
    out.uiProxyType = type.isNull() ? HTTP_PROXY_HTTP : found->second;
    const Json::Value& host = proxy["host"];
    out.strProxyHost = host.isString() ? host.asString() : "";
    if (!IsHostName(out.strProxyHost) && !IsIpv6(out.strProxyHost)) {
        why = "\"proxy\".\"host\" is not a host name or address";
        return false;
    }
    const Json::Value& port = proxy["port"];
    if (!port.isUInt() || port.asUInt() == 0 || port.asUInt() > 65535) {
        why = "\"proxy\".\"port\" is not a port number (1-65535)";
        return false;
    }
    out.uiProxyPort = port.asUInt();
    const Json::Value& user = proxy["user"];
    const Json::Value& password = proxy["password"];
    if ((!user.isNull() && !IsCredential(user, false)) ||
        (!password.isNull() && !IsCredential(password, true))) {
        why =
            "\"proxy\".\"user\" or \"password\" is not a string of up to 255 printable characters "
            "(no ':' in the user)";
        return false;
    }
    if (!password.isNull() && user.isNull()) {
        why = "\"proxy\" has a password but no user";
        return false;
    }
    TakeString(user, out.strProxyUser);
    TakeString(password, out.strProxyPassword);
    return true;
}

bool LoadRemoteSection(const Json::Value& remote, const std::string& base, RemoteConfig& out,
                       std::string& why) {
    if (remote.isNull()) {
        return true;
    }
    if (!remote.isObject()) {
        why = "\"remote\" is not an object";
        return false;
    }
    const Json::Value& url = remote["url"];
    if (url.isNull() || (url.isString() && url.asString().empty())) {
        return true;  // no URL: the agent delivers into remote/
    }
    if (!url.isString() || url.asString().size() > 2048) {
        why = "\"url\" is not a text of up to 2048 characters";
        return false;
    }
    if (!ParseUrl(url.asString(), out, why) ||
        !ReadableFile(remote["ca_file"], "ca_file", base, out.strCaFile, why) ||
        (!remote["crl_file"].isNull() &&
         !ReadableFile(remote["crl_file"], "crl_file", base, out.strCrlFile, why)) ||
        (!remote["proxy"].isNull() && !ParseProxy(remote["proxy"], out, why))) {
        out.strUrl.clear();
        return false;
    }
    const Json::Value& timeout = remote["timeout_sec"];
    if (!timeout.isNull()) {
        if (!timeout.isUInt() || timeout.asUInt() == 0 || timeout.asUInt() > kMaxTimeoutSec) {
            out.strUrl.clear();
            why = "\"timeout_sec\" is not a number of seconds from 1 to 86400";
            return false;
        }
        out.uiTimeoutSec = timeout.asUInt();
    }
    return true;
}

}  // namespace

RemoteConfig::~RemoteConfig() { ResetPwdStr(strProxyPassword); }

bool LoadRemoteConfig(const std::string& path, RemoteConfig& out, std::string& why) {
    Json::Value root;
    bool exists = false;
    if (!ReadConfigRoot(path, root, exists, why)) {
        return false;
    }
    const Json::Value& remote = exists ? root["remote"] : Json::Value::nullSingleton();
    bool ok = LoadRemoteSection(remote, std::filesystem::path(path).parent_path().string(), out, why);
    if (remote.isObject() && remote["proxy"].isObject()) {
        WipeJsonString(remote["proxy"]["password"]);
    }
    if (!ok) {
        why = path + ": " + why;
    }
    return ok;
}

}  // namespace chs_peers
