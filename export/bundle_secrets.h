// Known-secret refusal of a diagnose bundle: before a bundle leaves the node,
// the cluster's known secrets (the cluster key the file encryption works
// under, the proxy password of the agent's CCDB row, the password of the
// internal SFTP account) must not appear anywhere in it, nested node packages
// included. The diagnostic script's check_secrets action does the looking; the
// secrets go to it on standard input, never on a command line or into a log.
#pragma once

#include <cstdint>
#include <string>

// Longest time the script may look through one bundle (ms).
constexpr uint32_t BUNDLE_SECRETS_TIMEOUT_MS = 300000;

// 0 when none of the known secrets appears in the bundle at `bundleRealPath`
// (a real path below the export tree), or when the cluster has none. Other:
// the bundle is refused, or could not be looked through; `reason` says which
// and, for a refusal, the member (never the value). Logged either way.
int32_t CheckBundleForSecrets(const std::string& bundleRealPath, std::string& reason);
