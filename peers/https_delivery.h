// The remote-service agent's HTTPS delivery: one file uploaded as a multipart
// part with the daemon's own HTTPS client (HttpsClass), trusting only the
// configured CA (and checking its CRL), optionally through a proxy, without
// the client's default send limit.
//
// Stateless; thread-safe (every upload has its own client).
#pragma once

#include <cstdint>
#include <string>

#include "peers/remote_config.h"

namespace chs_peers {

struct UploadOutcome {
    std::string strUrl;        // the directory uploaded to, https://host:port/<path>/<dir>/
    uint32_t uiErrorCode = 0;  // the client's error code, 0 when none
    int iStatus = 0;           // the HTTP status answered, 0 when no answer came
};

// Uploads `file` under the name `name` to <url path>/<dirName>/ of `config`.
// PEER_OK when the service answered 2xx (and, when it reports the size it
// stored, that size is the file's). Otherwise, with a one-line reason in `why`
// that never holds the proxy password: PEER_ERR_BAD_REQUEST (a name that
// cannot travel in a multipart header), PEER_ERR_CONFIG (the CA or CRL file
// cannot be read or holds no certificate or CRL), PEER_ERR_FILE (the file
// cannot be read), PEER_ERR_UPLOAD (the proxy cannot be set, the transfer
// failed, or the service answered another status).
uint32_t UploadFile(const RemoteConfig& config, const std::string& file, const std::string& dirName,
                    const std::string& name, UploadOutcome& outcome, std::string& why);

// What one of the client's error codes means, e.g. "certificate or CRL problem".
const char* HttpsErrorText(uint32_t code);

}  // namespace chs_peers
