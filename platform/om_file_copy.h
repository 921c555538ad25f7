// Node-to-node file copy. Every daemon serves the files below its own coffer
// tree (/VXA/coffer_data/ under its node root) on the reserved transport
// endpoint OM_FILE_SERVICE_PID; another node fetches them chunk by chunk.
//
// Wire layout of the bodies (little-endian, no padding):
//   request  {u64 offset, u32 max chunk, u16 path length, path bytes}
//   answer   {u32 status, u64 total size, chunk bytes}
// The path is a system path ("/VXA/coffer_data/..."); the serving node maps
// it below its own root. A status other than 0 carries no chunk and is one of
// the OM_FILE_ERR_* codes below. Every request is answered on its own; the
// server keeps no state between chunks, so a file whose size differs between
// two answers is reported as changed.
//
// Thread safety: OM_GetFileFromOtherNode may run on any number of threads at
// once; the service answers on the transport's reader threads.
#pragma once

#include <cstdint>

#include "platform/msg_transport.h"

// The endpoint every daemon registers for the file service, and the opcode of
// its requests.
constexpr uint16_t OM_FILE_SERVICE_PID = 0xF11E;
static_assert(OM_FILE_SERVICE_PID >= MSG_PLATFORM_PID_BASE, "a platform service endpoint");
constexpr uint32_t OM_FILE_OPCODE_GET_CHUNK = 0xF11E0001;
// What a fetch asks for at once, and the most the service hands out.
constexpr uint32_t OM_FILE_CHUNK_BYTES = 256u << 10;
constexpr uint32_t OM_FILE_MAX_CHUNK_BYTES = 1u << 20;
constexpr uint16_t OM_FILE_MAX_PATH_BYTES = 4096;

// Results: 0 success, otherwise one of these. Codes 4 to 9 are also the
// statuses the service answers with.
constexpr int OM_FILE_ERR_PARAM = 1;        // null/empty argument or unusable destination name
constexpr int OM_FILE_ERR_UNREACHABLE = 2;  // node not configured, not running, or transport down
constexpr int OM_FILE_ERR_TIMEOUT = 3;      // a chunk was not answered in time
constexpr int OM_FILE_ERR_REFUSED = 4;      // path not absolute, has "..", or lies outside the coffer tree
constexpr int OM_FILE_ERR_NOT_FOUND = 5;    // no such file
constexpr int OM_FILE_ERR_NOT_REGULAR = 6;  // a directory, device, fifo...
constexpr int OM_FILE_ERR_READ = 7;         // the serving node could not read the file
constexpr int OM_FILE_ERR_CHANGED = 8;      // the file changed size while it was copied
constexpr int OM_FILE_ERR_PROTOCOL = 9;     // a malformed request or answer
constexpr int OM_FILE_ERR_WRITE = 10;       // the local copy could not be written or put in place
constexpr int OM_FILE_ERR_TOO_LARGE = 11;   // the file is larger than the caller's maximum

// No bound on the size of a copy (callers that copy what they asked for).
constexpr uint64_t OM_FILE_NO_SIZE_LIMIT = UINT64_MAX;

// Copies `source` (a system path below /VXA/coffer_data/ of node `nodeId`) to
// `destination`, a real local path: a file name, or an existing directory (or
// a path ending in '/') to receive the file under its own name. The bytes go
// to a temporary file in the destination's directory that is renamed into
// place only when complete; on failure it is removed and an existing
// destination stays as it was. `timeoutSec` bounds the wait for each chunk
// (0: the transport's default). A file larger than `maxBytes` fails with
// OM_FILE_ERR_TOO_LARGE at the first chunk that announces or brings more,
// before anything is written. The local node copies without the transport,
// under the same checks. Needs the attached cluster and a started transport.
int OM_GetFileFromOtherNode(uint16_t nodeId, const char* source, const char* destination, uint32_t timeoutSec,
                            uint64_t maxBytes = OM_FILE_NO_SIZE_LIMIT);

namespace platform {

// Starts the transport client if needed and (re-)registers the file service
// endpoint of the attached node. Called by OMClusterInit; 0 or a transport
// error code. Not to be called concurrently with itself.
int StartFileService();

}  // namespace platform
