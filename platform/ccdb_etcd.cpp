#include "platform/ccdb_etcd.h"

#include <json/json.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <random>
#include <thread>

#include "platform/dplog.h"
#include "platform/etcd_client.h"

namespace platform {
namespace ccdb {
namespace {

constexpr unsigned int kMinRequestTimeoutMs = 100;  // a busy time-out of 0 still lets etcd answer
constexpr int kMaxModifyTries = 32;
// etcd refuses a transaction of more operations (its --max-txn-ops default).
constexpr size_t kMaxTxnOps = 128;

using etcd::Base64;
using etcd::Escape;
using etcd::FromBase64;
using etcd::Int64Of;
using etcd::Unescape;
using Clock = etcd::Client::Clock;

// When a call's time-out ends, counted from now.
Clock::time_point CallDeadline() {
    return Clock::now() + std::chrono::milliseconds(std::max(TimeoutMs(), kMinRequestTimeoutMs));
}

class EtcdStore : public CcdbBackend {
  public:
    EtcdStore(const CcdbConfig& config, const std::string& serial)
        : m_client(config.endpoints), m_root("/chs/" + Escape(serial) + "/ccdb/") {}

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

    size_t MaxModifyRows() const override { return kMaxTxnOps; }

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

    int Request(const char* path, const Json::Value& request, Json::Value& answer,
                Clock::time_point deadline = CallDeadline()) {
        return m_client.Request(path, request, answer, deadline);
    }

    etcd::Client m_client;
    const std::string m_root;
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
