// Key management of the cluster: short texts encrypted with AES-256-GCM under
// the cluster key, so that every node of the cluster can decrypt what any node
// encrypted. The key is 32 random bytes, kept as 64 hex digits in
// "/VXA/conf/kmca/cluster.key" of every node root (mode 0600, the daemon's
// user alone); `chsctl mkcluster` makes it.
//
// The output of KMCA_Encrypt is printable text (its own prefix, then base64
// of nonce, cipher text and tag); KMCA_Decrypt refuses a damaged text or one
// made under another key. Result buffers are allocated by the call and must
// be released with KMCA_MemClearFree, which wipes them first.
//
// Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr uint32_t KMCA_DOMAIN_CHS = 4;
constexpr int KMCA_OK = 0;
constexpr int KMCA_ERR_PARAM = 1;
constexpr int KMCA_ERR_KEY = 2;     // no key, or an unreadable one
constexpr int KMCA_ERR_CRYPTO = 3;  // OpenSSL failed
constexpr int KMCA_ERR_DATA = 4;    // damaged or foreign text

int KMCA_Encrypt(uint32_t domain, const unsigned char* data, uint32_t length, unsigned char** out,
                 uint32_t* outLength);
int KMCA_Decrypt(uint32_t domain, const unsigned char* data, uint32_t length, unsigned char** out,
                 uint32_t* outLength);
void KMCA_MemClearFree(void* buffer, uint32_t length);

namespace platform {

constexpr size_t kClusterKeyBytes = 32;

// Where the key of this node root lives (mapped under the root prefix).
std::string ClusterKeyPath();
// Writes a fresh key file at `path` (mode 0600, written under a temporary name
// and moved into place whole). An existing file at `path` is never replaced:
// data encrypted under it would be lost. false with the reason.
bool CreateClusterKey(const std::string& path, std::string& error);
// Reads a key file as KMCA_Encrypt does: a regular file (not a link) of this
// process's user, owner-only mode, 64 hex digits and an optional line feed.
// false with the reason and `key` wiped.
bool LoadClusterKey(const std::string& path, unsigned char (&key)[kClusterKeyBytes], std::string& error);
// Writes `key` as a key file at `path` the way CreateClusterKey does; for
// installing one cluster's key on each of its nodes.
bool WriteClusterKey(const std::string& path, const unsigned char (&key)[kClusterKeyBytes], std::string& error);
// Wipes memory the compiler cannot leave out.
void SecureWipe(void* buffer, size_t length);

}  // namespace platform
