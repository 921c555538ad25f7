// The etcd backend of the CCDB client, over etcd's v3 JSON gateway
// (POST http://HOST:PORT/v3/kv/range, /v3/kv/put, /v3/kv/txn,
// /v3/kv/deleterange, /v3/maintenance/status; keys and values base64).
//
// Key layout: one prefix per cluster, named by its serial number.
//
//   /chs/<serial>/ccdb/<db>/<table>/<key>      a key-value entry (its text) or
//                                              an object row (its bytes)
//   /chs/<serial>/ccdb/<db>/%schema/<table>    layout of a registered table
//                                              (EncodeLayout)
//
// Every component is escaped ('%' as "%25", '/' as "%2F"), so names holding
// a slash stay one component, the rows of a table are exactly the keys below
// its prefix, and "%schema" is no escaped table name.
//
// Inserts are transactions on create_revision == 0; Modify reads its rows in
// one transaction and writes them in another that holds only while every
// row's mod_revision (create_revision 0 for an absent row) is still the one
// read, retried a bounded number of times. Every request has a connect and a
// total time-out (TimeoutMs, the busy time-out; a Modify with its retries
// ends within one); a refused, failed or timed-out request is
// OM_CCDB_ERR_UNREACHABLE. No connection is kept: a restarted etcd serves
// the next call.
#pragma once

#include <memory>
#include <string>

#include "platform/ccdb_backend.h"
#include "platform/cluster_config.h"

namespace platform {
namespace ccdb {

// The backend for `config` (endpoints tried in order) and the cluster
// `serial`; the same object while neither changes.
std::shared_ptr<CcdbBackend> EtcdBackend(const CcdbConfig& config, const std::string& serial);

}  // namespace ccdb
}  // namespace platform
