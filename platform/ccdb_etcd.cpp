#include "platform/ccdb_etcd.h"

#include <curl/curl.h>
#include <json/json.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <random>
#include <thread>

#include "platform/dplog.h"

namespace platform {
namespace ccdb {
namespace {

constexpr long kConnectTimeoutMs = 2000;
constexpr unsigned int kMinRequestTimeoutMs = 100;  // a busy time-out of 0 still lets etcd answer
constexpr size_t kMaxAnswerBytes = 64u << 20;
constexpr int kMaxModifyTries = 32;
// etcd refuses a transaction of more operations (its --max-txn-ops default).
constexpr size_t kMaxTxnOps = 128;

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

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

// Strict: whole groups of four, padding only at the end.
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

// One component of a key: '%' and '/' escaped.
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

// etcd writes 64-bit numbers as JSON strings; absent means 0.
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

using Clock = std::chrono::steady_clock;

// When a call's time-out ends, counted from now.
Clock::time_point CallDeadline() {
    return Clock::now() + std::chrono::milliseconds(std::max(TimeoutMs(), kMinRequestTimeoutMs));
}

class EtcdStore : public CcdbBackend {
  public:
    EtcdStore(const CcdbConfig& config, const std::string& serial)
        : m_endpoints(config.endpoints), m_root("/chs/" + Escape(serial) + "/ccdb/") {
        static std::once_flag once;
        std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    }

    int Ping() override {
        Json::Value answer;
        int rc = Request("/v3/maintenance/status", Json::Value(Json::objectValue), answer);
        if (rc == OM_CCDB_OK && (!answer["leader"].isString() || answer["leader"].asString() == "0")) {
            return OM_CCDB_ERR_UNREACHABLE;  // a member without a leader serves nothing
        }
        return rc;
    }

    int Get(const RowId& id, std::string& value) override {
        Json::Value request, answer;
        request["key"] = Base64(KeyOf(id));
        int rc = Request("/v3/kv/range", request, answer);
        if (rc != OM_CCDB_OK) {
            return rc;
        }
        int64_t revision = 0;
        return FirstValue(answer["kvs"], value, revision);
    }

    int Put(const RowId& id, const std::string& value) override {
        Json::Value request, answer;
        request["key"] = Base64(KeyOf(id));
        request["value"] = Base64(value);
        return Request("/v3/kv/put", request, answer);
    }

    int Insert(const RowId& id, const std::string& value) override {
        Json::Value txn, answer;
        txn["compare"].append(Compare(KeyOf(id), 0));
        txn["success"].append(PutOp(KeyOf(id), value));
        int rc = Request("/v3/kv/txn", txn, answer);
        return rc != OM_CCDB_OK ? rc : Succeeded(answer) ? OM_CCDB_OK : OM_CCDB_OBJ_EXIST;
    }

    int Remove(const RowId& id) override {
        Json::Value request, answer;
        request["key"] = Base64(KeyOf(id));
        int rc = Request("/v3/kv/deleterange", request, answer);
        int64_t deleted = 0;
        if (rc == OM_CCDB_OK && !Int64Of(answer["deleted"], deleted)) {
            rc = OM_CCDB_ERR_DB;
        }
        return rc != OM_CCDB_OK ? rc : deleted > 0 ? OM_CCDB_OK : OM_CCDB_NO_VALUE;
    }

    int Count(const std::string& db, const std::string& table, uint32_t& count) override {
        Json::Value request = TableRange(db, table), answer;
        request["count_only"] = true;
        int rc = Request("/v3/kv/range", request, answer);
        int64_t rows = 0;
        if (rc == OM_CCDB_OK && (!Int64Of(answer["count"], rows) || rows < 0 || rows > UINT32_MAX)) {
            rc = OM_CCDB_ERR_DB;
        }
        count = static_cast<uint32_t>(rows);
        return rc;
    }

    int Keys(const std::string& db, const std::string& table, std::vector<std::string>& keys) override {
        Json::Value request = TableRange(db, table), answer;
        request["keys_only"] = true;
        int rc = Request("/v3/kv/range", request, answer);
        if (rc != OM_CCDB_OK) {
            return rc;
        }
        const std::string prefix = TablePrefix(db, table);
        const Json::Value& kvs = answer["kvs"];
        keys.clear();
        if (!kvs.isNull() && !kvs.isArray()) {
            return OM_CCDB_ERR_DB;
        }
        for (const Json::Value& kv : kvs) {
            std::string key, name;
            if (!kv["key"].isString() || !FromBase64(kv["key"].asString(), key) ||
                key.compare(0, prefix.size(), prefix) != 0 || !Unescape(key.substr(prefix.size()), name)) {
                return OM_CCDB_ERR_DB;
            }
            keys.push_back(name);
        }
        return OM_CCDB_OK;
    }

    int Modify(const std::vector<RowId>& ids, const RowEdit& edit) override {
        if (ids.empty() || ids.size() > kMaxTxnOps) {
            dplog_standard(0, 3, __FUNCTION__, __LINE__, 0,
                           "ccdb: %zu rows are more than one etcd transaction takes", ids.size());
            return OM_CCDB_ERR_DB;
        }
        std::vector<std::string> keys;
        for (const RowId& id : ids) {
            keys.push_back(KeyOf(id));
        }
        thread_local std::minstd_rand random(
            static_cast<unsigned int>(getpid()) ^
            static_cast<unsigned int>(std::hash<std::thread::id>()(std::this_thread::get_id())));
        // Reads, writes and retries all end within one time-out.
        const Clock::time_point deadline = CallDeadline();
        int attempt = 0;
        for (; attempt < kMaxModifyTries && Clock::now() < deadline; ++attempt) {
            RowSet rows;
            std::vector<int64_t> revisions;
            int rc = ReadRows(keys, rows, revisions, deadline);
            rc = rc == OM_CCDB_OK ? edit(rows) : rc;
            if (rc != OM_CCDB_OK) {
                return rc;
            }
            Json::Value txn, answer;
            for (size_t i = 0; i < keys.size(); ++i) {
                txn["compare"].append(Compare(keys[i], revisions[i]));
                if (rows[i]) {
                    txn["success"].append(PutOp(keys[i], *rows[i]));
                }
            }
            if (txn["success"].isNull()) {
                return OM_CCDB_OK;
            }
            if ((rc = Request("/v3/kv/txn", txn, answer, deadline)) != OM_CCDB_OK || Succeeded(answer)) {
                return rc;
            }
            // Another writer changed a row since it was read: read again,
            // after a pause that grows and differs between writers.
            unsigned int cap = 1u << std::min(attempt, 6);
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % (cap + 1)));
        }
        dplog_standard(0, 3, __FUNCTION__, __LINE__, 0,
                       "ccdb: %zu row(s) of %s kept changing under an update; gave up after %d tries",
                       ids.size(), ids[0].table.c_str(), attempt);
        return OM_CCDB_TIMEOUT;
    }

  private:
    std::string TablePrefix(const std::string& db, const std::string& table) const {
        return m_root + Escape(db) + "/" + Escape(table) + "/";
    }

    std::string KeyOf(const RowId& id) const {
        return id.kind == RowKind::kLayout ? m_root + Escape(id.db) + "/%schema/" + Escape(id.key)
                                           : TablePrefix(id.db, id.table) + Escape(id.key);
    }

    // Every key below the table's prefix ('/' + 1 is '0').
    Json::Value TableRange(const std::string& db, const std::string& table) const {
        std::string prefix = TablePrefix(db, table);
        std::string end = prefix;
        end.back() = '0';
        Json::Value request;
        request["key"] = Base64(prefix);
        request["range_end"] = Base64(end);
        return request;
    }

    // The row holds while its key has this mod_revision (0: still absent).
    static Json::Value Compare(const std::string& key, int64_t modRevision) {
        Json::Value compare;
        compare["key"] = Base64(key);
        compare["result"] = "EQUAL";
        if (modRevision == 0) {
            compare["target"] = "CREATE";
            compare["create_revision"] = "0";
        } else {
            compare["target"] = "MOD";
            compare["mod_revision"] = std::to_string(modRevision);
        }
        return compare;
    }

    static Json::Value PutOp(const std::string& key, const std::string& value) {
        Json::Value op;
        op["request_put"]["key"] = Base64(key);
        op["request_put"]["value"] = Base64(value);
        return op;
    }

    // etcd leaves "succeeded" out when it is false.
    static bool Succeeded(const Json::Value& answer) {
        return answer["succeeded"].isBool() && answer["succeeded"].asBool();
    }

    // The value and mod_revision of the single key of a range answer.
    static int FirstValue(const Json::Value& kvs, std::string& value, int64_t& revision) {
        revision = 0;
        if (kvs.isNull() || (kvs.isArray() && kvs.empty())) {
            return OM_CCDB_NO_VALUE;
        }
        // An empty value is left out of the answer.
        const Json::Value& text = kvs.isArray() ? kvs[0]["value"] : Json::Value();
        if (!kvs.isArray() || !(text.isNull() || text.isString()) ||
            !FromBase64(text.isString() ? text.asString() : "", value) ||
            !Int64Of(kvs[0]["mod_revision"], revision) || revision <= 0) {
            return OM_CCDB_ERR_DB;
        }
        return OM_CCDB_OK;
    }

    // Reads `keys` at one revision.
    int ReadRows(const std::vector<std::string>& keys, RowSet& rows, std::vector<int64_t>& revisions,
                 Clock::time_point deadline) {
        Json::Value txn, answer;
        for (const std::string& key : keys) {
            Json::Value op;
            op["request_range"]["key"] = Base64(key);
            txn["success"].append(op);
        }
        int rc = Request("/v3/kv/txn", txn, answer, deadline);
        if (rc != OM_CCDB_OK) {
            return rc;
        }
        const Json::Value& responses = answer["responses"];
        if (!responses.isArray() || responses.size() != keys.size()) {
            return OM_CCDB_ERR_DB;
        }
        rows.assign(keys.size(), std::nullopt);
        revisions.assign(keys.size(), 0);
        for (Json::ArrayIndex i = 0; i < responses.size(); ++i) {
            std::string value;
            rc = FirstValue(responses[i]["response_range"]["kvs"], value, revisions[i]);
            if (rc == OM_CCDB_OK) {
                rows[i] = std::move(value);
            } else if (rc != OM_CCDB_NO_VALUE) {
                return rc;
            }
        }
        return OM_CCDB_OK;
    }

    // POSTs `request` to the first endpoint that takes it, by `deadline`.
    // An endpoint that refused or could not be connected to is passed over;
    // one that may have received the request is not, so that a write is
    // never sent twice.
    int Request(const char* path, const Json::Value& request, Json::Value& answer,
                Clock::time_point deadline = CallDeadline()) {
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

    const std::vector<std::string> m_endpoints;
    const std::string m_root;
    std::atomic<size_t> m_preferred{0};  // the endpoint that answered last
    std::atomic<bool> m_down{false};     // logged as not answering
};

}  // namespace

std::shared_ptr<CcdbBackend> EtcdBackend(const CcdbConfig& config, const std::string& serial) {
    static std::mutex mutex;
    // Never destroyed: message threads may still call in while the exit
    // handlers run.
    static auto& current = *new std::shared_ptr<CcdbBackend>();
    static auto& currentConfig = *new CcdbConfig();
    static auto& currentSerial = *new std::string();
    std::lock_guard<std::mutex> lock(mutex);
    if (current == nullptr || !(currentConfig == config) || currentSerial != serial) {
        current = std::make_shared<EtcdStore>(config, serial);
        currentConfig = config;
        currentSerial = serial;
    }
    return current;
}

}  // namespace ccdb
}  // namespace platform
