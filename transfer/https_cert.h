// Trust of the HTTPS client: the CA certificates and CRLs handed over as PEM
// text go into the store of each TLS context, and the peer's chain is checked
// against them and against the host name of the client that opened the
// connection.
//
// The host name travels with each TLS context (a copy in its ex data, set by
// the context callback), so clients for different servers may handshake on
// several threads at once. g_isNeedLoadCrl is process-wide and atomic.
#pragma once

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <atomic>
#include <cstdint>
#include <string>

// Whether CRLs that match a CA are checked. A verification that fails for a
// missing CRL switches it off for later connections; any other verification
// failure switches it back on.
extern std::atomic<bool> g_isNeedLoadCrl;

constexpr uint32_t X509_STORE_FAIL = 0xFFFFFFFF;

// The first certificate of a PEM text, owned by the caller; null on failure.
X509* X509LoadCert(const std::string& pemText);
// 0, or X509_STORE_FAIL. `crlFound` tells whether at least one CRL matched a CA of the store.
uint32_t X509AddCaCertsToStore(X509_STORE* store, STACK_OF(X509_INFO) * infos);
uint32_t X509AddMatchedCrlsToStore(X509_STORE* store, STACK_OF(X509_INFO) * infos, bool& crlFound);
uint32_t X509AddCertsAndMatchedCrlsToStore(X509_STORE* store, const std::string& pemText, bool& crlFound);

// OpenSSL's verification callback, installed by the context callback.
int sslVerifyCallback(int preverifyOk, X509_STORE_CTX* storeCtx);

struct HttpsCallbacks {
    // libcurl's TLS-context callback; `object` is the HttpsClass whose handle connects.
    static CURLcode sslctxCallback(CURL* curl, void* sslCtx, void* object);
};
