// The running data of the cluster as the synchronisation service hands it
// out: one JSON document with the cluster configuration (cluster.json as it
// stands), every table of the configuration database (ccdb.sqlite, opened
// read-only) row by row, and the state of every node.
//
// Stateless; thread-safe (each call opens a read-only connection of its own).
#pragma once

#include <json/json.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "peers/peer_context.h"

namespace chs_peers {

// Rows taken from one table; a longer table is marked "truncated".
constexpr size_t RUNNING_DATA_MAX_ROWS = 10000;
// Tables taken from one database.
constexpr size_t RUNNING_DATA_MAX_TABLES = 256;
// Value bytes taken from one database; the table being read when the budget
// runs out is marked "truncated", and later tables are listed without rows.
constexpr uint64_t RUNNING_DATA_MAX_BYTES = 64ull << 20;

// {"time", "node": this node, "askedBy": {"node", "pid"}, "master",
//  "cluster": cluster.json, "nodes": [{"id", "name", "internalIps",
//  "online", "master"}], "ccdb": tables (see DumpSqliteTables) or
//  "ccdbError": why it could not be read}.
Json::Value CollectRunningData(const PeerContext& context, uint16_t askingNode, uint16_t askingPid);

// Every table of the SQLite file `file`, by name: {"rows": [{column: value}],
// "truncated": true when rows were left out}. Integers and reals are JSON
// numbers, texts strings, NULL null, blobs {"hex": "..."}. false with `why`
// when the file cannot be opened read-only or read.
bool DumpSqliteTables(const std::string& file, Json::Value& out, std::string& why);

}  // namespace chs_peers
