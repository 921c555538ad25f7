// A client of etcd's v3 JSON gateway (POST http://HOST:PORT/v3/...; keys and
// values base64), shared by the configuration database and the node presence.
//
// Every request has a connect and a total time-out and a handle of its own:
// nothing of a failed request is used again, so a restarted etcd serves the
// next one. Endpoints are tried in order from the one that answered last; one
// that refused or could not be connected to is passed over, one that may have
// received the request is not, so that a write is never sent twice.
//
// Thread-safe.
#pragma once

#include <json/json.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {
namespace etcd {

std::string Base64(const std::string& bytes);
// Strict: whole groups of four, padding only at the end.
bool FromBase64(const std::string& text, std::string& out);
// One component of a key: '%' and '/' escaped, so a name holding a slash
// stays one component.
std::string Escape(const std::string& text);
bool Unescape(const std::string& text, std::string& out);
// etcd writes 64-bit numbers as JSON strings; absent means 0.
bool Int64Of(const Json::Value& value, int64_t& out);

class Client {
  public:
    using Clock = std::chrono::steady_clock;

    explicit Client(std::vector<std::string> endpoints);

    // POSTs `request` to `path` by `deadline`. OM_CCDB_OK with the answer's
    // object; OM_CCDB_ERR_UNREACHABLE when no endpoint answered (or etcd says
    // it cannot serve), OM_CCDB_TIMEOUT when the deadline had passed before,
    // OM_CCDB_ERR_DB for any other error answer. Failures are logged, an
    // outage once and its end once.
    int Request(const char* path, const Json::Value& request, Json::Value& answer, Clock::time_point deadline);

  private:
    const std::vector<std::string> m_endpoints;
    std::atomic<size_t> m_preferred{0};  // the endpoint that answered last
    std::atomic<bool> m_down{false};     // logged as not answering
};

}  // namespace etcd
}  // namespace platform
