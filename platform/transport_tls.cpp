#include "platform/transport_tls.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/cluster_config.h"
#include "platform/om_cluster.h"
#include "platform/transport_limits.h"
#include "platform/transport_runtime.h"

namespace platform {
namespace transport {
namespace {

constexpr int kCertificateDays = 3650;
const char kNodePrefix[] = "chs-node-";

std::string OpenSslError() {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) {
        return "no detail";
    }
    char text[256];
    ERR_error_string_n(code, text, sizeof(text));
    return text;
}

// ---- a socket BIO that never raises SIGPIPE ---------------------------------

int SocketOf(BIO* bio) { return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio))); }

int BioWrite(BIO* bio, const char* data, int length) {
    BIO_clear_retry_flags(bio);
    ssize_t sent;
    do {
        sent = send(SocketOf(bio), data, static_cast<size_t>(length), MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        BIO_set_retry_write(bio);
    }
    return static_cast<int>(sent);
}

int BioRead(BIO* bio, char* data, int length) {
    BIO_clear_retry_flags(bio);
    ssize_t got;
    do {
        got = recv(SocketOf(bio), data, static_cast<size_t>(length), MSG_DONTWAIT);
    } while (got < 0 && errno == EINTR);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        BIO_set_retry_read(bio);
    }
    return static_cast<int>(got);
}

long BioControl(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

int BioCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

BIO_METHOD* SocketMethod() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "transport socket");
        if (m != nullptr) {
            BIO_meth_set_write(m, BioWrite);
            BIO_meth_set_read(m, BioRead);
            BIO_meth_set_ctrl(m, BioControl);
            BIO_meth_set_create(m, BioCreate);
        }
        return m;
    }();
    return method;
}

// ---- this node's context ----------------------------------------------------

std::string TlsDir() { return Cluster().strDir + "/tls"; }

struct ContextCache {
    std::mutex mutex;
    std::string key;  // cluster directory and node the context was made for
    std::shared_ptr<SSL_CTX> context;
};

ContextCache& Contexts() {
    static ContextCache* cache = new ContextCache();  // outlives detached connection threads at exit
    return *cache;
}

std::shared_ptr<SSL_CTX> MakeContext(uint16_t node, std::string& error) {
    std::string dir = TlsDir();
    std::string certificate = dir + "/node" + std::to_string(node) + ".pem";
    std::string key = dir + "/node" + std::to_string(node) + ".key";
    std::string ca = dir + "/ca.pem";
    struct stat st {};
    if (stat(key.c_str(), &st) != 0) {
        error = "no key " + key;
        return nullptr;
    }
    if ((st.st_mode & 077) != 0 || st.st_uid != geteuid()) {
        error = "key " + key + " may be read by others than its owner (chmod 600)";
        return nullptr;
    }
    std::shared_ptr<SSL_CTX> context(SSL_CTX_new(TLS_method()), SSL_CTX_free);
    SSL_CTX* ctx = context.get();
    if (ctx == nullptr || SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1) {
        error = "no TLS context: " + OpenSslError();
        return nullptr;
    }
    SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_TICKET |
                                 SSL_OP_NO_COMPRESSION | SSL_OP_CIPHER_SERVER_PREFERENCE);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_num_tickets(ctx, 0);  // nothing but frames after the handshake
    SSL_CTX_set_read_ahead(ctx, 1);   // whole socket reads, not two per record
    if (SSL_CTX_set_cipher_list(ctx, "ECDHE+AESGCM:ECDHE+CHACHA20:!aNULL") != 1 ||
        SSL_CTX_use_certificate_file(ctx, certificate.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, key.c_str(), SSL_FILETYPE_PEM) != 1 || SSL_CTX_check_private_key(ctx) != 1 ||
        SSL_CTX_load_verify_locations(ctx, ca.c_str(), nullptr) != 1) {
        error = "cannot load the TLS files of node " + std::to_string(node) + " from " + dir + ": " + OpenSslError();
        return nullptr;
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    SSL_CTX_set_verify_depth(ctx, 1);  // node certificates are signed by the CA itself
    return context;
}

std::shared_ptr<SSL_CTX> NodeContext(std::string& error) {
    uint16_t node = LocalNode();
    if (node == MSG_LOCAL_NODE_BID || Cluster().strDir.empty()) {
        error = "the process is not a node of a cluster";
        return nullptr;
    }
    ContextCache& cache = Contexts();
    std::string key = Cluster().strDir + "\n" + std::to_string(node);
    std::lock_guard<std::mutex> lock(cache.mutex);
    if (!cache.context || cache.key != key) {
        cache.context = MakeContext(node, error);
        cache.key = cache.context ? key : std::string();
    }
    return cache.context;
}

// The node `certificate` names: one CN "chs-node-<id>" of a configured node,
// and the cluster's serial number as OU when the cluster has one.
bool NodeOf(X509* certificate, uint16_t& node, std::string& error) {
    X509_NAME* subject = X509_get_subject_name(certificate);
    int index = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    if (index < 0 || X509_NAME_get_index_by_NID(subject, NID_commonName, index) >= 0) {
        error = "the certificate does not have one common name";
        return false;
    }
    char name[64] = {0};
    char unit[128] = {0};
    X509_NAME_get_text_by_NID(subject, NID_commonName, name, sizeof(name));
    X509_NAME_get_text_by_NID(subject, NID_organizationalUnitName, unit, sizeof(unit));
    unsigned int id = 0;
    char rest = 0;
    if (strncmp(name, kNodePrefix, sizeof(kNodePrefix) - 1) != 0 ||
        sscanf(name + sizeof(kNodePrefix) - 1, "%u%c", &id, &rest) != 1 || id >= kMaxNodes ||
        Cluster().FindNode(static_cast<uint16_t>(id)) == nullptr) {
        error = "the certificate names no node of this cluster";
        return false;
    }
    if (!Cluster().strSerialNumber.empty() && Cluster().strSerialNumber != unit) {
        error = "the certificate belongs to another cluster";
        return false;
    }
    node = static_cast<uint16_t>(id);
    return true;
}

// ---- certificates -----------------------------------------------------------

using KeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using CertPtr = std::unique_ptr<X509, decltype(&X509_free)>;

KeyPtr NewKey() { return KeyPtr(EVP_EC_gen("P-256"), EVP_PKEY_free); }

bool AddExtension(X509* certificate, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    bool added = extension != nullptr && X509_add_ext(certificate, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return added;
}

// A certificate for `key` named CN `name`, OU `serial`, signed by `issuerKey`
// (itself when `issuer` is null: the CA).
CertPtr NewCertificate(EVP_PKEY* key, const std::string& name, const std::string& serial, X509* issuer,
                       EVP_PKEY* issuerKey) {
    CertPtr certificate(X509_new(), X509_free);
    X509* c = certificate.get();
    uint8_t random[16];
    BIGNUM* number = nullptr;
    bool ok = c != nullptr && RAND_bytes(random, sizeof(random)) == 1;
    if (ok) {
        random[0] &= 0x7F;  // a positive serial number
        number = BN_bin2bn(random, sizeof(random), nullptr);
    }
    X509_NAME* subject = X509_NAME_new();
    ok = ok && number != nullptr && subject != nullptr && X509_set_version(c, 2) == 1 &&
         BN_to_ASN1_INTEGER(number, X509_get_serialNumber(c)) != nullptr &&
         X509_gmtime_adj(X509_getm_notBefore(c), -3600) != nullptr &&
         X509_gmtime_adj(X509_getm_notAfter(c), 86400L * kCertificateDays) != nullptr &&
         X509_set_pubkey(c, key) == 1 &&
         X509_NAME_add_entry_by_NID(subject, NID_commonName, MBSTRING_UTF8,
                                    reinterpret_cast<const unsigned char*>(name.c_str()), -1, -1, 0) == 1 &&
         (serial.empty() ||
          X509_NAME_add_entry_by_NID(subject, NID_organizationalUnitName, MBSTRING_UTF8,
                                     reinterpret_cast<const unsigned char*>(serial.c_str()), -1, -1, 0) == 1) &&
         X509_set_subject_name(c, subject) == 1 &&
         X509_set_issuer_name(c, issuer ? X509_get_subject_name(issuer) : subject) == 1;
    BN_free(number);
    X509_NAME_free(subject);
    X509* signer = issuer ? issuer : c;
    if (issuer == nullptr) {
        ok = ok && AddExtension(c, signer, NID_basic_constraints, "critical,CA:TRUE,pathlen:0") &&
             AddExtension(c, signer, NID_key_usage, "critical,keyCertSign,cRLSign") &&
             AddExtension(c, signer, NID_subject_key_identifier, "hash");
    } else {
        ok = ok && AddExtension(c, signer, NID_basic_constraints, "critical,CA:FALSE") &&
             AddExtension(c, signer, NID_key_usage, "critical,digitalSignature") &&
             AddExtension(c, signer, NID_ext_key_usage, "serverAuth,clientAuth") &&
             AddExtension(c, signer, NID_authority_key_identifier, "keyid:always");
    }
    ok = ok && X509_sign(c, issuerKey, EVP_sha256()) > 0;
    return ok ? std::move(certificate) : CertPtr(nullptr, X509_free);
}

// Writes `path` 0600 through PEM `write`, replacing what was there.
template <typename Write>
bool WritePem(const std::string& path, Write write, std::string& error) {
    unlink(path.c_str());
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    FILE* file = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (file == nullptr) {
        if (fd >= 0) {
            close(fd);
        }
        error = "cannot write " + path + ": " + strerror(errno);
        return false;
    }
    bool ok = write(file);
    ok = fclose(file) == 0 && ok;
    if (!ok) {
        error = "cannot write " + path + ": " + OpenSslError();
        unlink(path.c_str());
    }
    return ok;
}

bool WriteCertificate(const std::string& path, X509* certificate, std::string& error) {
    return WritePem(path, [&](FILE* file) { return PEM_write_X509(file, certificate) == 1; }, error);
}

}  // namespace

bool TlsToNode(uint16_t node) {
    const ClusterConfig& cluster = Cluster();
    return cluster.bTcpTransport && node != MSG_TOOL_NODE_BID && node != LocalNode();
}

std::string NodeCommonName(uint16_t node) { return kNodePrefix + std::to_string(node); }

TlsSession::~TlsSession() { SSL_free(m_ssl); }

std::unique_ptr<TlsSession> TlsSession::New(int fd, bool accepting, std::string& error) {
    std::shared_ptr<SSL_CTX> context = NodeContext(error);
    if (!context) {
        return nullptr;
    }
    BIO_METHOD* method = SocketMethod();
    SSL* ssl = method ? SSL_new(context.get()) : nullptr;
    BIO* bio = ssl ? BIO_new(method) : nullptr;
    if (bio == nullptr) {
        SSL_free(ssl);
        error = "no TLS session: " + OpenSslError();
        return nullptr;
    }
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
    SSL_set_bio(ssl, bio, bio);
    if (accepting) {
        SSL_set_accept_state(ssl);
    } else {
        SSL_set_connect_state(ssl);
    }
    return std::unique_ptr<TlsSession>(new TlsSession(ssl));
}

bool TlsSession::Handshake(int64_t deadlineMs, std::string& error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    BIO* bio = SSL_get_rbio(m_ssl);
    for (;;) {
        ERR_clear_error();
        int rc = SSL_do_handshake(m_ssl);
        if (rc == 1) {
            break;
        }
        int reason = SSL_get_error(m_ssl, rc);
        int64_t left = deadlineMs - NowMs();
        if ((reason != SSL_ERROR_WANT_READ && reason != SSL_ERROR_WANT_WRITE) || left <= 0) {
            long verify = SSL_get_verify_result(m_ssl);
            if (left <= 0 && (reason == SSL_ERROR_WANT_READ || reason == SSL_ERROR_WANT_WRITE)) {
                error = "handshake not completed in time";
            } else if (verify != X509_V_OK) {
                error = std::string("peer certificate refused: ") + X509_verify_cert_error_string(verify);
            } else if (reason == SSL_ERROR_SYSCALL || reason == SSL_ERROR_ZERO_RETURN) {
                ERR_clear_error();
                error = "the peer closed during the handshake";
            } else {
                error = "handshake failed: " + OpenSslError();
            }
            return false;
        }
        pollfd wait{SocketOf(bio), static_cast<short>(reason == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
        if (poll(&wait, 1, static_cast<int>(std::min<int64_t>(left, INT_MAX))) < 0 && errno != EINTR) {
            error = std::string("poll: ") + strerror(errno);
            return false;
        }
    }
    X509* peer = SSL_get1_peer_certificate(m_ssl);
    if (peer == nullptr || SSL_get_verify_result(m_ssl) != X509_V_OK) {
        X509_free(peer);
        error = "the peer presented no certificate";
        return false;
    }
    bool named = NodeOf(peer, m_usPeerNode, error);
    X509_free(peer);
    return named;
}

ssize_t TlsSession::Failed(int result) {
    switch (SSL_get_error(m_ssl, result)) {
        case SSL_ERROR_WANT_READ:
        case SSL_ERROR_WANT_WRITE:
            errno = EAGAIN;
            return -1;
        case SSL_ERROR_ZERO_RETURN:
            return 0;
        case SSL_ERROR_SYSCALL:
            if (errno == 0) {
                errno = ECONNRESET;
            }
            ERR_clear_error();
            return -1;
        default:
            ERR_clear_error();
            errno = EPROTO;
            return -1;
    }
}

ssize_t TlsSession::Read(void* buffer, size_t length) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ERR_clear_error();
    errno = 0;
    size_t got = 0;
    int rc = SSL_read_ex(m_ssl, buffer, length, &got);
    return rc == 1 ? static_cast<ssize_t>(got) : Failed(rc);
}

ssize_t TlsSession::Write(const void* buffer, size_t length) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ERR_clear_error();
    errno = 0;
    size_t written = 0;
    int rc = SSL_write_ex(m_ssl, buffer, length, &written);
    return rc == 1 ? static_cast<ssize_t>(written) : Failed(rc);
}

bool TlsSession::Pending() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return SSL_has_pending(m_ssl) == 1;  // read ahead but not yet decrypted counts too
}

bool MakeClusterCertificates(const std::string& dir, const std::string& serial,
                             const std::vector<uint16_t>& nodes, std::string& error) {
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot create " + dir + ": " + strerror(errno);
        return false;
    }
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || chmod(dir.c_str(), 0700) != 0) {
        error = dir + " is not a directory of ours";
        return false;
    }
    KeyPtr caKey = NewKey();
    CertPtr ca = caKey ? NewCertificate(caKey.get(), "chs-cluster-ca", serial, nullptr, caKey.get())
                       : CertPtr(nullptr, X509_free);
    if (!ca) {
        error = "cannot make the cluster CA: " + OpenSslError();
        return false;
    }
    for (uint16_t node : nodes) {
        KeyPtr key = NewKey();
        CertPtr certificate = key ? NewCertificate(key.get(), NodeCommonName(node), serial, ca.get(), caKey.get())
                                  : CertPtr(nullptr, X509_free);
        if (!certificate) {
            error = "cannot make the certificate of node " + std::to_string(node) + ": " + OpenSslError();
            return false;
        }
        std::string base = dir + "/node" + std::to_string(node);
        if (!WritePem(base + ".key",
                      [&](FILE* file) {
                          return PEM_write_PrivateKey(file, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
                      },
                      error) ||
            !WriteCertificate(base + ".pem", certificate.get(), error)) {
            return false;
        }
    }
    return WriteCertificate(dir + "/ca.pem", ca.get(), error);
}

}  // namespace transport
}  // namespace platform
