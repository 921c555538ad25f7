// The daemon's remote-task rows in the CCDB: one row per kind (1 = log
// collection, 2 = diagnose export, 3 = last diagnose upload), written whole
// and stamped with the writing node and the time. Each call passes the
// process-wide handle g_collectorCcdbId to CCDB_COMM.
//
// Every function may be called from any thread; the CCDB serialises writers.
// Results: 0 or a CCDB result (5 = a row of the kind exists, 6 = no row), or
// 0x03000003 when `id` does not fit its 256-byte column.
#pragma once

#include <cstdint>
#include <string>

#include "control/ccdb_comm.h"

// Writes the row of `kind`, replacing the one there.
uint32_t AddRemoteTask(uint32_t kind, uint32_t type, const std::string& id, uint64_t begin, uint64_t end);
// Inserts the row of `kind`; 5 (and the stored row untouched) when one exists.
uint32_t InsertRemoteTask(uint32_t kind, uint32_t type, const std::string& id, uint64_t begin, uint64_t end);
// Reads the row of `kind`; 6 when there is none.
uint32_t GetRemoteTask(uint32_t kind, CCDB_COMM::tagDB_CHS_REMOTE_TASK_S& row);
// Deletes the row of `kind`; 0 also when there was none.
uint32_t DeleteRemoteTask(uint32_t kind);
