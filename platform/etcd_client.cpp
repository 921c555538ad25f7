#include "platform/etcd_client.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/dplog.h"
#include "platform/om_ccdb.h"

namespace platform {
namespace etcd {
namespace {

constexpr long kConnectTimeoutMs = 2000;
constexpr size_t kMaxAnswerBytes = 64u << 20;

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

std::string Base64(const std::string& bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t chunk = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (i + 1 < bytes.size()) {
            chunk |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        }
        if (i + 2 < bytes.size()) {
            chunk |= static_cast<unsigned char>(bytes[i + 2]);
        }
        out += kBase64[(chunk >> 18) & 63];
        out += kBase64[(chunk >> 12) & 63];
        out += i + 1 < bytes.size() ? kBase64[(chunk >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? kBase64[chunk & 63] : '=';
    }
    return out;
}

bool FromBase64(const std::string& text, std::string& out) {
    out.clear();
    if (text.size() % 4 != 0) {
        return false;
    }
    for (size_t i = 0; i < text.size(); i += 4) {
        uint32_t chunk = 0;
        int padding = 0;
        for (size_t j = 0; j < 4; ++j) {
            char c = text[i + j];
            const char* at = c != '\0' ? strchr(kBase64, c) : nullptr;
            if (c == '=' && i + 4 == text.size() && j >= 2) {
                ++padding;
                chunk <<= 6;
                continue;
            }
            if (at == nullptr || padding > 0) {
                return false;
            }
            chunk = (chunk << 6) | static_cast<uint32_t>(at - kBase64);
        }
        out += static_cast<char>((chunk >> 16) & 0xFF);
        if (padding < 2) {
            out += static_cast<char>((chunk >> 8) & 0xFF);
        }
        if (padding < 1) {
            out += static_cast<char>(chunk & 0xFF);
        }
    }
    return true;
}

std::string Escape(const std::string& text) {
    std::string out;
    for (char c : text) {
        out += c == '%' ? "%25" : c == '/' ? "%2F" : std::string(1, c);
    }
    return out;
}

bool Unescape(const std::string& text, std::string& out) {
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
        } else if (text.compare(i, 3, "%25") == 0) {
            out += '%';
            i += 2;
        } else if (text.compare(i, 3, "%2F") == 0) {
            out += '/';
            i += 2;
        } else {
            return false;
        }
    }
    return true;
}

bool Int64Of(const Json::Value& value, int64_t& out) {
    out = 0;
    if (value.isNull()) {
        return true;
    }
    if (value.isIntegral()) {
        out = value.asInt64();
        return true;
    }
    if (!value.isString() || value.asString().empty() || value.asString().size() > 19) {
        return false;
    }
    for (char c : value.asString()) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    out = std::strtoll(value.asString().c_str(), nullptr, 10);
    return true;
}

namespace {

size_t Collect(char* data, size_t size, size_t count, void* context) {
    auto* answer = static_cast<std::string*>(context);
    size_t bytes = size * count;
    if (answer->size() + bytes > kMaxAnswerBytes) {
        return 0;  // aborts the transfer
    }
    answer->append(data, bytes);
    return bytes;
}

struct HttpResult {
    CURLcode code = CURLE_FAILED_INIT;
    long status = 0;
    bool connected = false;  // the request may have reached the server
    std::string body;
};

// One POST of `json` to `url`, done within `timeoutMs`. Every request has a
// handle of its own: nothing of a failed one is used again.
HttpResult Post(const std::string& url, const std::string& json, long timeoutMs) {
    HttpResult result;
    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
        return result;
    }
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    headers = curl_slist_append(headers, "Expect:");
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, json.data());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(json.size()));
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, std::min(timeoutMs, kConnectTimeoutMs));
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeoutMs);
    // The store is never reached through a proxy named by the environment.
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &result.body);
    result.code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
    curl_off_t connectTime = 0;
    curl_easy_getinfo(curl, CURLINFO_CONNECT_TIME_T, &connectTime);
    result.connected = result.code != CURLE_COULDNT_CONNECT && result.code != CURLE_COULDNT_RESOLVE_HOST &&
                       (result.code != CURLE_OPERATION_TIMEDOUT || connectTime > 0);
    curl_easy_cleanup(curl);
    curl_slist_free_all(headers);
    return result;
}

}  // namespace

Client::Client(std::vector<std::string> endpoints) : m_endpoints(std::move(endpoints)) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

int Client::Request(const char* path, const Json::Value& request, Json::Value& answer,
                Clock::time_point deadline) {
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    const std::string json = Json::writeString(writer, request);
    if (m_endpoints.empty()) {
        return OM_CCDB_ERR_UNREACHABLE;
    }
    if (Clock::now() >= deadline) {
        return OM_CCDB_TIMEOUT;  // the call's time spent before this request: no fault of etcd
    }
    const size_t first = m_preferred.load();
    HttpResult result;
    size_t index = first;
    for (size_t n = 0; n < m_endpoints.size(); ++n) {
        index = (first + n) % m_endpoints.size();
        long remaining = static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        if (remaining <= 0) {
            break;
        }
        result = Post(m_endpoints[index] + path, json, remaining);
        if (result.code == CURLE_OK || result.connected) {
            break;
        }
    }
    if (result.code != CURLE_OK) {
        if (!m_down.exchange(true)) {
            dplog_standard(0, 3, __FUNCTION__, __LINE__, 0, "ccdb: etcd at %s does not answer: %s",
                           m_endpoints[index].c_str(), curl_easy_strerror(result.code));
        }
        return result.code == CURLE_WRITE_ERROR ? OM_CCDB_ERR_DB : OM_CCDB_ERR_UNREACHABLE;
    }
    m_preferred = index;
    if (m_down.exchange(false)) {
        dplog_standard(0, 4, __FUNCTION__, __LINE__, 0, "ccdb: etcd at %s answers again",
                       m_endpoints[index].c_str());
    }
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string error;
    const char* begin = result.body.data();
    bool parsed = reader->parse(begin, begin + result.body.size(), &answer, &error) && answer.isObject();
    if (result.status == 200 && parsed) {
        return OM_CCDB_OK;
    }
    // An error answer: {"error": ..., "code": <gRPC code>, "message": ...}.
    // Its texts are etcd's own; no key or value of ours is in them.
    int code = parsed && answer["code"].isInt() ? answer["code"].asInt() : -1;
    std::string message = parsed && answer["message"].isString() ? answer["message"].asString() : "";
    dplog_standard(0, 3, __FUNCTION__, __LINE__, 0, "ccdb: etcd %s answered HTTP %ld, code %d: %.200s",
                   path, result.status, code, message.c_str());
    constexpr int kDeadlineExceeded = 4;
    constexpr int kUnavailable = 14;
    return code == kUnavailable || code == kDeadlineExceeded ? OM_CCDB_ERR_UNREACHABLE : OM_CCDB_ERR_DB;
}

}  // namespace etcd
}  // namespace platform
