#include "transfer/https_cert.h"

#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <mutex>

#include "infocollector/https_client.h"
#include "infra/chs_log.h"

std::atomic<bool> g_isNeedLoadCrl{true};

namespace {

// Ex-data slot of an SSL_CTX holding a heap copy of the host name its
// connection must present; freed with the context.
void FreeHostCopy(void* /*parent*/, void* pointer, CRYPTO_EX_DATA* /*data*/, int /*index*/, long /*argl*/,
                  void* /*argp*/) {
    delete static_cast<std::string*>(pointer);
}

int HostIndex() {
    static std::once_flag once;
    static int index = -1;
    std::call_once(once,
                   [] { index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, FreeHostCopy); });
    return index;
}

bool SetVerifyHost(SSL_CTX* ctx, const std::string& host) {
    int index = HostIndex();
    if (index < 0) {
        return false;
    }
    delete static_cast<std::string*>(SSL_CTX_get_ex_data(ctx, index));
    std::string* copy = new std::string(host);
    if (SSL_CTX_set_ex_data(ctx, index, copy) != 1) {
        delete copy;
        SSL_CTX_set_ex_data(ctx, index, nullptr);
        return false;
    }
    return true;
}

const std::string* VerifyHostOf(X509_STORE_CTX* storeCtx) {
    SSL* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(storeCtx, SSL_get_ex_data_X509_STORE_CTX_idx()));
    SSL_CTX* ctx = ssl != nullptr ? SSL_get_SSL_CTX(ssl) : nullptr;
    int index = HostIndex();
    return ctx != nullptr && index >= 0 ? static_cast<const std::string*>(SSL_CTX_get_ex_data(ctx, index))
                                        : nullptr;
}

// OpenSSL's one-line form, "; " between the parts and no blanks around "=".
std::string NameText(const X509_NAME* name) {
    std::string text;
    BIO* bio = BIO_new(BIO_s_mem());
    if (bio == nullptr || name == nullptr) {
        BIO_free(bio);
        return text;
    }
    unsigned long flags = (XN_FLAG_ONELINE & ~XN_FLAG_SEP_MASK & ~XN_FLAG_SPC_EQ) | XN_FLAG_SEP_SPLUS_SPC;
    if (X509_NAME_print_ex(bio, name, 0, flags) >= 0) {
        char* data = nullptr;
        long length = BIO_get_mem_data(bio, &data);
        if (data != nullptr && length > 0) {
            text.assign(data, static_cast<size_t>(length));
        }
    }
    BIO_free(bio);
    return text;
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// The leaf must name the host itself: a DNS name (wildcards only as the whole
// leftmost label) or, for an address, an IP entry.
bool LeafNamesHost(X509* leaf, const std::string& host) {
    unsigned char address[16];
    if (inet_pton(AF_INET, host.c_str(), address) == 1 || inet_pton(AF_INET6, host.c_str(), address) == 1) {
        return X509_check_ip_asc(leaf, host.c_str(), 0) == 1;
    }
    return X509_check_host(leaf, host.data(), host.size(), X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS, nullptr) ==
           1;
}

// Encrypted keys in the PEM text are skipped instead of asking a terminal for a pass phrase.
int NoPassPhrase(char* /*buffer*/, int /*size*/, int /*rwflag*/, void* /*user*/) { return -1; }

}  // namespace

X509* X509LoadCert(const std::string& pemText) {
    BIO* bio = BIO_new_mem_buf(pemText.data(), static_cast<int>(pemText.size()));
    if (bio == nullptr) {
        CHS_LOG(2, LOGID_TRANSFER, "Failed to alloc bio memory.");
        return nullptr;
    }
    X509* cert = PEM_read_bio_X509(bio, nullptr, NoPassPhrase, nullptr);
    if (BIO_free(bio) != 1) {
        CHS_LOG(2, LOGID_TRANSFER, "Failed to free bio memory.");
    }
    return cert;
}

uint32_t X509AddCaCertsToStore(X509_STORE* store, STACK_OF(X509_INFO) * infos) {
    if (store == nullptr || infos == nullptr) {
        return X509_STORE_FAIL;
    }
    for (int i = 0; i < sk_X509_INFO_num(infos); ++i) {
        X509_INFO* info = sk_X509_INFO_value(infos, i);
        // A certificate already in the store (a reused store) is no error.
        if (info->x509 != nullptr && X509_STORE_add_cert(store, info->x509) != 1) {
            CHS_LOG(2, LOGID_TRANSFER, "Failed to add CA %s to store.",
                    NameText(X509_get_subject_name(info->x509)).c_str());
        }
    }
    return 0;
}

uint32_t X509AddMatchedCrlsToStore(X509_STORE* store, STACK_OF(X509_INFO) * infos, bool& crlFound) {
    crlFound = false;
    if (store == nullptr || infos == nullptr) {
        return X509_STORE_FAIL;
    }
    X509_STORE_CTX* lookup = X509_STORE_CTX_new();
    if (lookup == nullptr || X509_STORE_CTX_init(lookup, store, nullptr, nullptr) != 1) {
        CHS_LOG(2, LOGID_TRANSFER, "Failed to init cert ctx for crl.");
        X509_STORE_CTX_free(lookup);
        return X509_STORE_FAIL;
    }
    for (int i = 0; i < sk_X509_INFO_num(infos); ++i) {
        X509_INFO* info = sk_X509_INFO_value(infos, i);
        if (info->crl == nullptr) {
            continue;
        }
        X509_NAME* issuer = X509_CRL_get_issuer(info->crl);
        X509_OBJECT* ca = X509_STORE_CTX_get_obj_by_subject(lookup, X509_LU_X509, issuer);
        if (ca == nullptr) {
            CHS_LOG(2, LOGID_TRANSFER, "CRL and CA issuer mismatch, ignore CRL: %s.",
                    NameText(issuer).c_str());
            continue;
        }
        X509_OBJECT_free(ca);
        if (X509_STORE_add_crl(store, info->crl) == 1) {
            crlFound = true;
        }
    }
    X509_STORE_CTX_free(lookup);
    return 0;
}

uint32_t X509AddCertsAndMatchedCrlsToStore(X509_STORE* store, const std::string& pemText, bool& crlFound) {
    crlFound = false;
    if (store == nullptr) {
        return X509_STORE_FAIL;
    }
    BIO* bio = BIO_new_mem_buf(pemText.data(), static_cast<int>(pemText.size()));
    if (bio == nullptr) {
        CHS_LOG(2, LOGID_TRANSFER, "Failed to alloc for BIO.");
        return X509_STORE_FAIL;
    }
    STACK_OF(X509_INFO)* infos = PEM_X509_INFO_read_bio(bio, nullptr, NoPassPhrase, nullptr);
    BIO_free(bio);
    if (infos == nullptr) {
        CHS_LOG(2, LOGID_TRANSFER, "Failed to alloc memory for X509_INFO.");
        return X509_STORE_FAIL;
    }
    uint32_t result = X509AddCaCertsToStore(store, infos);
    if (result == 0) {
        result = X509AddMatchedCrlsToStore(store, infos, crlFound);
    }
    sk_X509_INFO_pop_free(infos, X509_INFO_free);
    ERR_clear_error();
    return result;
}

int sslVerifyCallback(int preverifyOk, X509_STORE_CTX* storeCtx) {
    X509* current = X509_STORE_CTX_get_current_cert(storeCtx);
    int depth = X509_STORE_CTX_get_error_depth(storeCtx);
    if (preverifyOk != 1) {
        int error = X509_STORE_CTX_get_error(storeCtx);
        // A CA without its CRL fails every connection while CRLs are checked:
        // the next context is built without the check. Any other failure
        // turns it back on.
        g_isNeedLoadCrl = error != X509_V_ERR_UNABLE_TO_GET_CRL;
        CHS_LOG(2, LOGID_TRANSFER, "VerifyError:Num=%d:%s:Depth=%d:Subj=%s.", error,
                X509_verify_cert_error_string(error), depth,
                current != nullptr ? NameText(X509_get_subject_name(current)).c_str() : "");
        return preverifyOk;
    }
    const std::string* host = VerifyHostOf(storeCtx);
    if (host == nullptr) {
        CHS_LOG(2, LOGID_TRANSFER, "Certificate mismatch hostname (%s).", "");
        X509_STORE_CTX_set_error(storeCtx, X509_V_ERR_HOSTNAME_MISMATCH);
        return 0;
    }
    std::string needle = Lower("CN=" + *host);
    int matched = 0;
    STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(storeCtx);
    for (int i = 0; chain != nullptr && i < sk_X509_num(chain); ++i) {
        std::string subject = NameText(X509_get_subject_name(sk_X509_value(chain, i)));
        CHS_LOG(0, LOGID_TRANSFER, "Cerficate name is %s.", subject.c_str());
        if (Lower(subject).find(needle) != std::string::npos) {
            ++matched;
        }
    }
    // The subject test alone would let "CN=<host>.example" pass; the leaf
    // itself must name the host.
    if (matched == 0 || (depth == 0 && (current == nullptr || !LeafNamesHost(current, *host)))) {
        CHS_LOG(2, LOGID_TRANSFER, "Certificate mismatch hostname (%s).", host->c_str());
        X509_STORE_CTX_set_error(storeCtx, X509_V_ERR_HOSTNAME_MISMATCH);
        return 0;
    }
    return 1;
}

CURLcode HttpsCallbacks::sslctxCallback(CURL* /*curl*/, void* sslCtx, void* object) {
    SSL_CTX* ctx = static_cast<SSL_CTX*>(sslCtx);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, sslVerifyCallback);
    const HttpsClass* client = static_cast<const HttpsClass*>(object);
    if (client == nullptr) {
        return CURLE_SSL_CACERT_BADFILE;
    }
    bool crlFound = false;
    if (X509AddCertsAndMatchedCrlsToStore(SSL_CTX_get_cert_store(ctx), client->caPem, crlFound) != 0 ||
        !SetVerifyHost(ctx, client->host)) {
        return CURLE_SSL_CACERT_BADFILE;
    }
    // The context's own parameters are set: its store may be shared with
    // earlier connections of the same handle.
    X509_VERIFY_PARAM* param = SSL_CTX_get0_param(ctx);
    unsigned long before = X509_VERIFY_PARAM_get_flags(param);
    const unsigned long crlFlags = X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CRL_CHECK_ALL;
    if (g_isNeedLoadCrl && crlFound) {
        X509_VERIFY_PARAM_set_flags(param, crlFlags);
    } else {
        X509_VERIFY_PARAM_clear_flags(param, crlFlags);
    }
    CHS_LOG(0, LOGID_TRANSFER, "Change OpenSSL params form %lu to %lu.", before,
            X509_VERIFY_PARAM_get_flags(param));
    return CURLE_OK;
}
