// The remote-service agent's upload target, the "remote" section of
// <cluster>/peers.json:
//
//   "remote": {
//     "url": "https://localhost:8443/upload",  https only; no user, query or fragment
//     "ca_file": "/path/ca.pem",         the trusted CA certificates (PEM)
//     "crl_file": "/path/crl.pem",       optional: CRLs of those CAs (PEM)
//     "proxy": { "type": "http", "host": "127.0.0.1", "port": 8888,
//                "user": "u", "password": "p" },   optional; type http (default),
//                                                  https, socks4, socks4a, socks5, socks5h
//     "timeout_sec": 600 }               optional: the limit of one upload
//
// Relative file names are taken relative to the directory of peers.json. The
// section is read afresh for every delivery (so that a new CRL counts at
// once). Stateless; thread-safe.
#pragma once

#include <cstdint>
#include <string>

namespace chs_peers {

// Where and how the remote-service agent uploads. Without a URL it delivers
// into <cluster>/remote/ instead. The proxy password is wiped with the object.
struct RemoteConfig {
    RemoteConfig() = default;
    RemoteConfig(const RemoteConfig&) = delete;
    RemoteConfig& operator=(const RemoteConfig&) = delete;
    ~RemoteConfig();

    bool Enabled() const { return !strUrl.empty(); }

    std::string strUrl;   // as configured; carries no credentials
    std::string strHost;  // a name or an address (IPv6 without brackets)
    uint32_t uiPort = 443;
    std::string strPath;  // "" or "/a/b": never ends with '/'
    std::string strCaFile;
    std::string strCrlFile;    // "" when none
    uint32_t uiProxyType = 0;  // HttpProxyTypeEnum; 0: no proxy
    std::string strProxyHost;
    uint32_t uiProxyPort = 0;
    std::string strProxyUser;
    std::string strProxyPassword;
    uint32_t uiTimeoutSec = 600;
};

// The "remote" section of `path`: true with `out` filled (not Enabled() when
// the file or the section or its "url" is absent), false with a one-line
// reason when the section is malformed: another scheme than https, a port
// outside 1-65535, a CA or CRL file that is not a readable regular file, an
// unknown proxy type. The reason never holds the proxy password.
bool LoadRemoteConfig(const std::string& path, RemoteConfig& out, std::string& why);

}  // namespace chs_peers
