// The daemon's side of the record database: where it lives, the tables the
// daemon creates itself, and the check and rebuild run once per start before
// the first use (RecoverDb, then CollectorDbOper("")). The operations plugins
// use are declared in the public header included below.
//
// Paths here are system paths; omlib maps them below the node root, so callers
// never map them themselves.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "include/infocollector/collector_db.h"

constexpr const char* COLLECTOR_DB_DIR = "/VXA/coffer_data/omm/export_import/chs/collector/db/";
constexpr const char* COLLECTOR_DB_FILE = "/VXA/coffer_data/omm/export_import/chs/collector/db/collect.dat";
constexpr const char* COLLECTOR_DB_INIT_SCRIPT = "/VXA/script/collector_db_init.sh";
// The tree handed to the operators' group after a rebuild.
constexpr const char* COLLECTOR_DB_OWNER_TREE = "/VXA/coffer_data/omm/export_import/chs";
constexpr uint32_t COLLECTOR_DB_CMD_TIMEOUT_MS = 6000;
// Size of the buffer GetDbTblResult copies into (at most 255 characters and a NUL).
constexpr uint32_t COLLECTOR_DB_RESULT_LEN = 256;

// Operation key -> table-creation statement, run in key order by CollectorDbOper("").
extern const std::map<std::string, std::string> collectorDbTableOper;

// Empty key: runs every statement of collectorDbTableOper, stopping at (and
// returning) the first failure. Otherwise runs the one named; -1 for an unknown key.
int32_t CollectorDbOper(std::string key);
// True when the file exists, is not empty and passes SQLite's integrity check.
bool IsDbFileValid(std::string path);
// Rebuilds the database with the initialisation script unless it is valid;
// returns the script's result (0 when nothing had to be done).
int32_t RecoverDb();

// The runner of the two shell commands of RecoverDb (chs_execCmdWithoutOutput
// by default). Tests put a recorder in its place to see the command texts.
using CollectorDbExecFn = int32_t (*)(const std::string& cmd, uint32_t timeoutMs);
extern CollectorDbExecFn g_pfnCollectorDbExec;

// Query callbacks (OMDB_QUERY_CALLBACK shape). GetDbTblResult copies the first
// value of the result into `buffer`, a char[COLLECTOR_DB_RESULT_LEN]; the count
// callback converts it into the int that `count` points to. Both return 0, or
// -1 (logged) for an error text, an empty result or a value that cannot be used.
int GetDbTblResult(void* buffer, char** table, int rows, int columns, const char* errorText);
int GetPluginRecordCountResult(void* count, char** table, int rows, int columns, const char* errorText);
