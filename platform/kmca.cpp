// Key management of the cluster.
//
// Text format: "KM1:" followed by base64 (standard alphabet, padded, no line
// breaks) of nonce (12 bytes) | cipher text | GCM tag (16 bytes). The prefix
// and the key domain are authenticated with the text, so a text cannot be
// moved to another domain or format version unnoticed.
//
// The key file is read on every call: a call never uses a key that has since
// been removed or loosened, and no key bytes stay in memory between calls.
#include "platform/kmca.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/dplog.h"
#include "platform/platform_profile.h"

namespace {

constexpr unsigned int kPlatformModule = 0;
constexpr char kPrefix[] = "KM1:";
constexpr size_t kPrefixLength = sizeof(kPrefix) - 1;
constexpr size_t kNonceBytes = 12;
constexpr size_t kTagBytes = 16;
constexpr uint32_t kMaxPlainBytes = 1u << 20;  // short texts; bounds every buffer below
constexpr size_t kKeyHexDigits = 2 * platform::kClusterKeyBytes;

using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

// The key of one call; wiped however the call ends.
struct CallKey {
    unsigned char bytes[platform::kClusterKeyBytes] = {};
    ~CallKey() { OPENSSL_cleanse(bytes, sizeof(bytes)); }
};

int LoadKey(CallKey& key) {
    std::string path = platform::ClusterKeyPath();
    std::string error;
    if (!platform::LoadClusterKey(path, key.bytes, error)) {
        dplog_standard(kPlatformModule, 3, __func__, __LINE__, 0, "kmca: cluster key %s refused: %s.",
                       path.c_str(), error.c_str());
        return KMCA_ERR_KEY;
    }
    return KMCA_OK;
}

// The authenticated data: the format prefix and the domain.
void Aad(uint32_t domain, unsigned char (&aad)[kPrefixLength + 4]) {
    memcpy(aad, kPrefix, kPrefixLength);
    for (int i = 0; i < 4; ++i) {
        aad[kPrefixLength + i] = static_cast<unsigned char>(domain >> (8 * i));
    }
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

int Base64Value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    return c == '+' ? 62 : (c == '/' ? 63 : -1);
}

// Strict base64: whole quads of the alphabet, '=' only as the last one or two
// characters, unused bits of the last character zero (so that no two texts
// decode to the same bytes). Returns the decoded length, or -1.
long CheckedBase64Length(const unsigned char* text, size_t length) {
    if (length == 0 || length % 4 != 0) {
        return -1;
    }
    size_t padding = text[length - 1] == '=' ? (text[length - 2] == '=' ? 2 : 1) : 0;
    for (size_t i = 0; i < length - padding; ++i) {
        if (Base64Value(text[i]) < 0) {
            return -1;
        }
    }
    if (padding > 0 && (Base64Value(text[length - padding - 1]) & (padding == 1 ? 0x3 : 0xF)) != 0) {
        return -1;
    }
    return static_cast<long>(length / 4 * 3 - padding);
}

bool CheckParams(uint32_t domain, const unsigned char* data, uint32_t length, unsigned char** out,
                 uint32_t* outLength) {
    if (out == nullptr || outLength == nullptr) {
        return false;
    }
    *out = nullptr;
    *outLength = 0;
    return domain == KMCA_DOMAIN_CHS && (data != nullptr || length == 0);
}

}  // namespace

int KMCA_Encrypt(uint32_t domain, const unsigned char* data, uint32_t length, unsigned char** out,
                 uint32_t* outLength) {
    if (!CheckParams(domain, data, length, out, outLength) || length > kMaxPlainBytes) {
        return KMCA_ERR_PARAM;
    }
    CallKey key;
    if (int ret = LoadKey(key); ret != KMCA_OK) {
        return ret;
    }
    size_t rawLength = kNonceBytes + length + kTagBytes;
    std::unique_ptr<unsigned char[]> raw(new unsigned char[rawLength]);
    unsigned char aad[kPrefixLength + 4];
    Aad(domain, aad);
    CipherCtx ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    int chunk = 0;
    bool ok = ctx && RAND_bytes(raw.get(), kNonceBytes) == 1 &&
              EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.bytes, raw.get()) == 1 &&
              EVP_EncryptUpdate(ctx.get(), nullptr, &chunk, aad, sizeof(aad)) == 1;
    int done = 0;
    if (ok && length > 0) {
        ok =
            EVP_EncryptUpdate(ctx.get(), raw.get() + kNonceBytes, &done, data, static_cast<int>(length)) == 1;
    }
    ok = ok && EVP_EncryptFinal_ex(ctx.get(), raw.get() + kNonceBytes + done, &chunk) == 1 &&
         static_cast<size_t>(done + chunk) == length &&
         EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagBytes, raw.get() + kNonceBytes + length) ==
             1;
    if (!ok) {
        dplog_standard(kPlatformModule, 3, __func__, __LINE__, 0, "kmca: encryption failed.");
        return KMCA_ERR_CRYPTO;
    }
    size_t textLength = kPrefixLength + (rawLength + 2) / 3 * 4;
    auto* text = static_cast<unsigned char*>(malloc(textLength + 1));
    if (text == nullptr) {
        return KMCA_ERR_CRYPTO;
    }
    memcpy(text, kPrefix, kPrefixLength);
    EVP_EncodeBlock(text + kPrefixLength, raw.get(), static_cast<int>(rawLength));  // writes the NUL too
    *out = text;
    *outLength = static_cast<uint32_t>(textLength);
    return KMCA_OK;
}

int KMCA_Decrypt(uint32_t domain, const unsigned char* data, uint32_t length, unsigned char** out,
                 uint32_t* outLength) {
    if (!CheckParams(domain, data, length, out, outLength)) {
        return KMCA_ERR_PARAM;
    }
    constexpr size_t kMaxText = kPrefixLength + (kNonceBytes + kMaxPlainBytes + kTagBytes + 2) / 3 * 4;
    if (length < kPrefixLength || length > kMaxText || memcmp(data, kPrefix, kPrefixLength) != 0) {
        return KMCA_ERR_DATA;
    }
    const unsigned char* encoded = data + kPrefixLength;
    size_t encodedLength = length - kPrefixLength;
    long rawLength = CheckedBase64Length(encoded, encodedLength);
    if (rawLength < static_cast<long>(kNonceBytes + kTagBytes)) {
        return KMCA_ERR_DATA;
    }
    std::unique_ptr<unsigned char[]> raw(new unsigned char[encodedLength / 4 * 3]);
    if (EVP_DecodeBlock(raw.get(), encoded, static_cast<int>(encodedLength)) < rawLength) {
        return KMCA_ERR_DATA;
    }
    size_t plainLength = static_cast<size_t>(rawLength) - kNonceBytes - kTagBytes;
    CallKey key;
    if (int ret = LoadKey(key); ret != KMCA_OK) {
        return ret;
    }
    auto* plain = static_cast<unsigned char*>(malloc(plainLength + 1));
    CipherCtx ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
    unsigned char aad[kPrefixLength + 4];
    Aad(domain, aad);
    int chunk = 0;
    int done = 0;
    bool ok = plain != nullptr && ctx &&
              EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.bytes, raw.get()) == 1 &&
              EVP_DecryptUpdate(ctx.get(), nullptr, &chunk, aad, sizeof(aad)) == 1;
    if (!ok) {
        free(plain);
        return KMCA_ERR_CRYPTO;
    }
    if (plainLength > 0) {
        ok = EVP_DecryptUpdate(ctx.get(), plain, &done, raw.get() + kNonceBytes,
                               static_cast<int>(plainLength)) == 1;
    }
    ok = ok &&
         EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTagBytes,
                             raw.get() + kNonceBytes + plainLength) == 1 &&
         EVP_DecryptFinal_ex(ctx.get(), plain + done, &chunk) == 1 &&
         static_cast<size_t>(done + chunk) == plainLength;
    if (!ok) {
        // Damaged, truncated in a whole quad, or made under another key: nothing of it is handed out.
        KMCA_MemClearFree(plain, static_cast<uint32_t>(plainLength + 1));
        return KMCA_ERR_DATA;
    }
    plain[plainLength] = '\0';
    *out = plain;
    *outLength = static_cast<uint32_t>(plainLength);
    return KMCA_OK;
}

void KMCA_MemClearFree(void* buffer, uint32_t length) {
    if (buffer == nullptr) {
        return;
    }
    OPENSSL_cleanse(buffer, length);
    free(buffer);
}

namespace platform {

std::string ClusterKeyPath() { return RealPath("/VXA/conf/kmca/cluster.key"); }

void SecureWipe(void* buffer, size_t length) {
    if (buffer != nullptr) {
        OPENSSL_cleanse(buffer, length);
    }
}

bool LoadClusterKey(const std::string& path, unsigned char (&key)[kClusterKeyBytes], std::string& error) {
    OPENSSL_cleanse(key, sizeof(key));
    // O_NONBLOCK: a FIFO put in the key's place must not hold the caller.
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        int err = errno;
        error = err == ELOOP ? "it is a symbolic link" : std::string("cannot open it: ") + strerror(err);
        return false;
    }
    struct stat info {};
    char text[kKeyHexDigits + 2] = {};
    ssize_t got = -1;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        error = "it is not a regular file";
    } else if ((info.st_mode & 077) != 0) {
        char mode[8];
        snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned int>(info.st_mode & 07777));
        error = std::string("its mode ") + mode + " is not owner-only";
    } else if (info.st_uid != geteuid()) {
        error = "it belongs to user " + std::to_string(info.st_uid) + ", not to this process's user";
    } else {
        do {
            got = read(fd, text, sizeof(text));
        } while (got < 0 && errno == EINTR);
    }
    close(fd);
    bool ok = got == static_cast<ssize_t>(kKeyHexDigits) ||
              (got == static_cast<ssize_t>(kKeyHexDigits + 1) && text[kKeyHexDigits] == '\n');
    for (size_t i = 0; ok && i < kClusterKeyBytes; ++i) {
        int high = HexValue(text[2 * i]);
        int low = HexValue(text[2 * i + 1]);
        ok = high >= 0 && low >= 0;
        key[i] = static_cast<unsigned char>(ok ? high * 16 + low : 0);
    }
    OPENSSL_cleanse(text, sizeof(text));
    if (!ok) {
        if (error.empty()) {
            error = "it does not hold 64 hex digits";
        }
        OPENSSL_cleanse(key, sizeof(key));
    }
    return ok;
}

bool WriteClusterKey(const std::string& path, const unsigned char (&key)[kClusterKeyBytes],
                     std::string& error) {
    static const char kDigits[] = "0123456789abcdef";
    char text[kKeyHexDigits + 1];
    for (size_t i = 0; i < kClusterKeyBytes; ++i) {
        text[2 * i] = kDigits[key[i] >> 4];
        text[2 * i + 1] = kDigits[key[i] & 0xF];
    }
    text[kKeyHexDigits] = '\n';
    std::string temp = path + ".XXXXXX";
    int fd = mkstemp(&temp[0]);  // O_EXCL, mode 0600
    if (fd < 0) {
        OPENSSL_cleanse(text, sizeof(text));
        error = "cannot create a file next to " + path + ": " + strerror(errno);
        return false;
    }
    bool ok = fchmod(fd, 0600) == 0 && write(fd, text, sizeof(text)) == static_cast<ssize_t>(sizeof(text)) &&
              fsync(fd) == 0;
    int err = ok ? 0 : errno;
    OPENSSL_cleanse(text, sizeof(text));
    if (close(fd) != 0 && ok) {
        err = errno;
        ok = false;
    }
    // link, not rename: an existing key is never replaced.
    if (ok && link(temp.c_str(), path.c_str()) != 0) {
        err = errno;
        ok = false;
    }
    unlink(temp.c_str());
    if (!ok) {
        error = err == EEXIST ? path + " exists already" : "cannot write " + path + ": " + strerror(err);
    }
    return ok;
}

bool CreateClusterKey(const std::string& path, std::string& error) {
    unsigned char key[kClusterKeyBytes];
    if (RAND_bytes(key, sizeof(key)) != 1) {
        error = "the random generator failed";
        return false;
    }
    bool ok = WriteClusterKey(path, key, error);
    OPENSSL_cleanse(key, sizeof(key));
    return ok;
}

}  // namespace platform
