// The SQLite backend of the CCDB client: one file, <cluster>/ccdb.sqlite,
// opened in WAL mode with a busy time-out by every process of the cluster,
// so a row written by one node is the row every other node reads. Writes are
// single statements or transactions started with BEGIN IMMEDIATE, so
// concurrent writers in different processes queue instead of losing each
// other's writes.
//
// Thread safety: one connection per process, used by one call at a time (a
// process-wide mutex). A process created by fork() opens a connection of its
// own instead of sharing its parent's.
#pragma once

#include <memory>

#include "platform/ccdb_backend.h"

namespace platform {
namespace ccdb {

// The process's SQLite backend (it follows the attached cluster's directory).
std::shared_ptr<CcdbBackend> SqliteBackend();

}  // namespace ccdb
}  // namespace platform
