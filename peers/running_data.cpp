#include "peers/running_data.h"

#include <sqlite3.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

#include "infra/json_util.h"
#include "platform/om_cluster.h"

namespace chs_peers {
namespace {

// cluster.json is small; a file past this is not read into the running data.
constexpr std::streamsize kMaxClusterFile = 1 << 20;
constexpr int kBusyTimeoutMs = 5000;
constexpr const char* kSqlTables = "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name";

std::string Hex(const void* data, int size) {
    static const char digits[] = "0123456789abcdef";
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    std::string hex;
    hex.reserve(static_cast<size_t>(size) * 2);
    for (int i = 0; i < size; ++i) {
        hex += digits[bytes[i] >> 4];
        hex += digits[bytes[i] & 0xF];
    }
    return hex;
}

// An identifier as an SQL quoted name: the table names come from the file.
std::string QuoteName(const std::string& name) {
    std::string quoted = "\"";
    for (char c : name) {
        quoted += c;
        if (c == '"') {
            quoted += '"';
        }
    }
    return quoted + "\"";
}

Json::Value ColumnValue(sqlite3_stmt* statement, int column) {
    switch (sqlite3_column_type(statement, column)) {
        case SQLITE_INTEGER:
            return static_cast<Json::Int64>(sqlite3_column_int64(statement, column));
        case SQLITE_FLOAT:
            return sqlite3_column_double(statement, column);
        case SQLITE_TEXT: {
            const unsigned char* text = sqlite3_column_text(statement, column);
            return std::string(reinterpret_cast<const char*>(text), sqlite3_column_bytes(statement, column));
        }
        case SQLITE_BLOB: {
            const void* blob = sqlite3_column_blob(statement, column);
            Json::Value value;
            value["hex"] = Hex(blob, sqlite3_column_bytes(statement, column));
            return value;
        }
        default:
            return Json::Value();
    }
}

// Runs `sql` and hands each row to `row`; at most `limit` rows, and none
// after `row` returns false. `more` tells whether rows were left. false with
// `why` on an error.
template <typename RowFn>
bool EachRow(sqlite3* db, const std::string& sql, size_t limit, bool& more, std::string& why, RowFn row) {
    more = false;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
        why = sqlite3_errmsg(db);
        return false;
    }
    size_t rows = 0;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        if (rows++ == limit || !row(statement)) {
            more = true;
            rc = SQLITE_DONE;
            break;
        }
    }
    if (rc != SQLITE_DONE) {
        why = sqlite3_errmsg(db);
    }
    sqlite3_finalize(statement);
    return rc == SQLITE_DONE;
}

Json::Value ClusterFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string text(static_cast<size_t>(kMaxClusterFile) + 1, '\0');
    in.read(&text[0], kMaxClusterFile + 1);
    text.resize(static_cast<size_t>(in.gcount()));
    Json::Value parsed;
    if (text.size() <= static_cast<size_t>(kMaxClusterFile) && JsonDeserialization(text, parsed)) {
        return parsed;
    }
    Json::Value error;
    error["error"] = path + " cannot be read as JSON";
    return error;
}

}  // namespace

bool DumpSqliteTables(const std::string& file, Json::Value& out, std::string& why) {
    out = Json::Value(Json::objectValue);
    sqlite3* db = nullptr;
    // Read-only and never created: the running data must not change what it reports.
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) !=
        SQLITE_OK) {
        why = file + ": " + (db != nullptr ? sqlite3_errmsg(db) : "cannot be opened");
        sqlite3_close(db);
        return false;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    std::vector<std::string> tables;
    bool more = false;
    bool ok = EachRow(db, kSqlTables, RUNNING_DATA_MAX_TABLES, more, why, [&](sqlite3_stmt* statement) {
        const unsigned char* name = sqlite3_column_text(statement, 0);
        if (name != nullptr) {
            tables.emplace_back(reinterpret_cast<const char*>(name));
        }
        return true;
    });
    uint64_t bytes = 0;
    for (size_t i = 0; ok && i < tables.size(); ++i) {
        Json::Value& table = out[tables[i]];
        Json::Value& rows = table["rows"] = Json::Value(Json::arrayValue);
        bool truncated = false;
        ok = EachRow(db, "SELECT * FROM " + QuoteName(tables[i]), RUNNING_DATA_MAX_ROWS, truncated, why,
                     [&](sqlite3_stmt* statement) {
                         if (bytes >= RUNNING_DATA_MAX_BYTES) {
                             return false;
                         }
                         Json::Value row(Json::objectValue);
                         for (int c = 0; c < sqlite3_column_count(statement); ++c) {
                             row[sqlite3_column_name(statement, c)] = ColumnValue(statement, c);
                             bytes += static_cast<uint64_t>(sqlite3_column_bytes(statement, c));
                         }
                         rows.append(row);
                         return true;
                     });
        table["truncated"] = truncated;
        if (!ok) {
            why = tables[i] + ": " + why;
        }
    }
    sqlite3_close(db);
    return ok;
}

Json::Value CollectRunningData(const PeerContext& context, uint16_t askingNode, uint16_t askingPid) {
    Json::Value data;
    data["time"] = NowText();
    data["node"] = context.NodeId();
    data["askedBy"]["node"] = askingNode;
    data["askedBy"]["pid"] = askingPid;
    uint16_t master = 0xFFFF;
    bool hasMaster = OMLIB_getMasterNodeID(&master) == 0;
    data["master"] = hasMaster ? Json::Value(master) : Json::Value();
    data["cluster"] = ClusterFile(context.Cluster().strFile);

    Json::Value& nodes = data["nodes"] = Json::Value(Json::arrayValue);
    for (const platform::NodeConfig& node : context.Cluster().nodes) {
        Json::Value entry;
        entry["id"] = node.usId;
        entry["name"] = node.strName;
        Json::Value& ips = entry["internalIps"] = Json::Value(Json::arrayValue);
        for (const std::string& ip : node.vecInternalIps) {
            ips.append(ip);
        }
        entry["online"] = platform::IsNodeOnline(node.usId);
        entry["master"] = hasMaster && master == node.usId;
        nodes.append(entry);
    }

    std::string why;
    Json::Value tables;
    if (DumpSqliteTables(context.ClusterDir() + "/ccdb.sqlite", tables, why)) {
        data["ccdb"] = tables;
    } else {
        data["ccdbError"] = why;
    }
    return data;
}

}  // namespace chs_peers
