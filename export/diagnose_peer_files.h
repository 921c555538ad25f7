// Clean-up of exported files on other nodes: the delete request (opcode
// 0x70003016) to the daemon of another node, whose receiver is
// processDelFileFromPeer (export/diagnose_download.h). The request is posted;
// its answer (always 0) or its time-out is only logged.
//
// Thread-safe: each call builds and posts its own message.
#pragma once

#include <cstdint>
#include <string>

// Seconds the answer of a delete request is waited for.
constexpr uint32_t DIAGNOSE_DELETE_TIMEOUT = 10;

// Asks node `node` to delete `path` (kind 1) or to clear its diagnose data
// (kind 0). 0 when posted, -1 otherwise (logged).
int32_t DeleteDiagnoseFile(const std::string& path, uint16_t node, uint32_t kind);
// The same request without a kind, which the receiver takes as kind 0.
int32_t DeleteNodeFile(const std::string& path, uint16_t node);
// Asks every selected node other than this one that has not answered to
// delete its package (export path + package name), marks it answered, then
// clears this node's diagnose data. Nothing in the daemon calls it.
void ClearLastExportFile();
