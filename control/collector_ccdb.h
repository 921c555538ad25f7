// COLLECTOR_CCDB: the daemon's accessors of its cluster-wide settings in the
// CCDB (collector switch, OEM switch, syslog user, agent area id). Each
// passes the process-wide handle g_collectorCcdbId to CCDB_COMM.
//
// Init runs once at start-up, before any other accessor; the handle then
// stays valid for the life of the process. After that every function may be
// called from any thread. Results: 0 or a code of CCDB_COMM.
#pragma once

#include <cstdint>
#include <string>

#include "control/ccdb_comm.h"

extern int32_t g_collectorCcdbId;

namespace COLLECTOR_CCDB {

// Opens the database, registers the agent table and writes the first-time
// defaults; the first failure is logged and returned.
uint32_t Init();
// Inserts remote-task row 1 unless it exists (then the client's "exists"
// result is returned and the row is left as it was).
uint32_t RemoteTaskInit(int32_t handle);

uint32_t GetCollectorSwitch(std::string& value);
uint32_t SetCollectorSwitch(const std::string& value);
uint32_t GetOemSwitch(std::string& value);
uint32_t SetOemSwitch(const std::string& value);
uint32_t SetSyslogUser(const std::string& value);
uint32_t GetAgentAreaId(std::string& value);
// True only on an OEM device whose OEM switch reads exactly "off".
bool IsCollectorOemMode();

}  // namespace COLLECTOR_CCDB
