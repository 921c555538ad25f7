// File and string encryption.
//
// Beyond the plain algorithm, three things keep data safe when something fails:
//
// - Decryption never changes the encrypted file. openssl reads all but the
//   trailing key block through a pipe (head -c), so there is no cut-off block
//   to put back, and a process that dies half-way leaves the file as it was.
// - openssl writes its output under a temporary name next to the target
//   (created exclusively, mode 0600); only a complete result is renamed into
//   place, so a failure never leaves a half-written or unkeyed output file.
// - The time-out grows with the file: kCryptBaseTimeoutMs plus one second per
//   kCryptBytesPerSecond bytes of input (a fixed 60 ms fails any real file).
//
// Paths go to the shell single-quoted; pass phrases go to openssl on standard
// input only and are wiped once used.
#include "include/infocollector/file_crypt.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <utility>

#include "infra/chs_log.h"
#include "infra/exec_cmd.h"
#include "infra/string_util.h"
#include "platform/kmca.h"

namespace {

constexpr uint32_t kEncryptFailed = 0x40E05B2A;
constexpr uint32_t kDecryptFailed = 0x40E05B2D;
constexpr uint32_t kFailed = 0xFFFFFFFF;
constexpr int kKmcaTries = 3;
constexpr const char* CMD_PREFIX_CRYPT_FILE_ENCRYPT = "LD_LIBRARY_PATH= openssl aes-128-cbc -salt ";
constexpr const char* CMD_PREFIX_CRYPT_FILE_DECRYPT = "LD_LIBRARY_PATH= openssl aes-128-cbc -d -salt ";
constexpr uint64_t kCryptBaseTimeoutMs = 30000;
constexpr uint64_t kCryptBytesPerSecond = 8ull << 20;

using KmcaCall = int (*)(uint32_t, const unsigned char*, uint32_t, unsigned char**, uint32_t*);

// One key-management call with its retries; the result replaces `text`.
int KmcaReplace(KmcaCall call, std::string& text, bool encrypting) {
    int ret = KMCA_ERR_PARAM;
    for (int attempt = 0; attempt < kKmcaTries; ++attempt) {
        unsigned char* out = nullptr;
        uint32_t outLength = 0;
        ret = call(KMCA_DOMAIN_CHS, reinterpret_cast<const unsigned char*>(text.data()),
                   static_cast<uint32_t>(text.size()), &out, &outLength);
        if (ret == KMCA_OK && out != nullptr) {
            ResetPwdStr(text);  // the clear text, before it is overwritten or released
            text.assign(reinterpret_cast<const char*>(out), outLength);
            KMCA_MemClearFree(out, outLength);
            return KMCA_OK;
        }
        KMCA_MemClearFree(out, outLength);
        if (ret == KMCA_OK) {
            ret = KMCA_ERR_CRYPTO;
        }
        if (encrypting) {
            CHS_LOG(2, LOGID_TRANSFER, "Failed to encrypt string iRet(%u).", static_cast<uint32_t>(ret));
        } else {
            CHS_LOG(0, LOGID_TRANSFER, "Failed to decrypt string.");
        }
    }
    return ret;
}

uint32_t TimeoutFor(uint64_t bytes) {
    uint64_t ms = kCryptBaseTimeoutMs + (bytes + kCryptBytesPerSecond - 1) / kCryptBytesPerSecond * 1000;
    return static_cast<uint32_t>(ms < UINT32_MAX ? ms : UINT32_MAX);
}

bool UsablePath(const std::string& path) { return !path.empty() && path.find('\0') == std::string::npos; }

// An exclusively created, empty file next to `target`; its name, or "" (logged).
std::string MakeTempNextTo(const std::string& target) {
    std::string name = target + ".XXXXXX";
    int fd = mkostemp(&name[0], O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        CHS_LOG(3, LOGID_TRANSFER, "Failed to create a file next to %s(errno %d).", target.c_str(), err);
        return "";
    }
    close(fd);
    return name;
}

// Appends `block` (when given) to `path`, makes the file durable and moves it
// to `target`. errno on failure, 0 on success.
int FinishFile(const std::string& path, const char* block, size_t blockSize, const std::string& target) {
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        return errno;
    }
    int err = 0;
    size_t done = 0;
    while (block != nullptr && done < blockSize) {
        ssize_t written = write(fd, block + done, blockSize - done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            err = written < 0 ? errno : EIO;
            break;
        }
        done += static_cast<size_t>(written);
    }
    if (err == 0 && fsync(fd) != 0) {
        err = errno;
    }
    if (close(fd) != 0 && err == 0) {
        err = errno;
    }
    if (err == 0 && rename(path.c_str(), target.c_str()) != 0) {
        err = errno;
    }
    return err;
}

// Runs an openssl line with `passPhrase` and a line feed on its standard input.
int32_t RunWithPassPhrase(const std::string& cmd, const std::string& passPhrase, uint64_t inputBytes) {
    std::string input;
    input.reserve(passPhrase.size() + 2);  // one buffer: nothing left behind by a reallocation
    input.append(passPhrase).push_back('\n');
    int32_t ret = chs_execCmdWithPassword(cmd, input, TimeoutFor(inputBytes));
    ResetPwdStr(input);
    return ret;
}

}  // namespace

uint32_t EncryptString(std::string& text) {
    if (text.empty()) {
        return 0;
    }
    int ret = KmcaReplace(KMCA_Encrypt, text, true);
    if (ret != KMCA_OK) {
        CHS_LOG(3, LOGID_TRANSFER, "Kmm failed to encrypt string error(%u).", static_cast<uint32_t>(ret));
        return kEncryptFailed;
    }
    return 0;
}

uint32_t DecryptString(std::string& text) {
    if (text.empty()) {
        return 0;
    }
    if (KmcaReplace(KMCA_Decrypt, text, false) != KMCA_OK) {
        CHS_LOG(3, LOGID_TRANSFER, "Kmm failed to decrypt string.");
        return kDecryptFailed;
    }
    return 0;
}

FileCrypt::~FileCrypt() {
    ResetPwdStr(m_strDeKey);
    ResetPwdStr(m_strEnKey);
    ResetString(m_strDeCipher);
    ResetString(m_strEnCipher);
}

uint32_t FileCrypt::_getEnKey() {
    unsigned char random[CHS_CRYPT_PASSWORD_LENGTH];
    if (RAND_bytes(random, sizeof(random)) != 1) {
        CHS_LOG(3, LOGID_TRANSFER, "Failed to encrypt key.");
        return kEncryptFailed;
    }
    ResetPwdStr(m_strEnKey);
    m_strEnKey.reserve(CHS_CRYPT_PASSWORD_LENGTH);
    for (uint32_t i = 0; i + 1 < CHS_CRYPT_PASSWORD_LENGTH; ++i) {
        m_strEnKey.push_back(CHS_CRYPT_PASSWORD_CHARSET[random[i] % 62]);
    }
    OPENSSL_cleanse(random, sizeof(random));
    std::string cipher;
    cipher.reserve(CHS_CRYPT_PASSWORD_LENGTH);
    cipher.append(m_strEnKey);
    uint32_t ret = EncryptString(cipher);
    if (ret != 0) {
        ResetPwdStr(cipher);
        ResetPwdStr(m_strEnKey);
        CHS_LOG(3, LOGID_TRANSFER, "Failed to encrypt key.");
        return ret;
    }
    m_strEnCipher = std::move(cipher);
    return 0;
}

uint32_t FileCrypt::_getDeKey() {
    std::string key = m_strDeCipher;
    uint32_t ret = DecryptString(key);
    if (ret != 0) {
        CHS_LOG(3, LOGID_TRANSFER, "Failed to decrypt cipher.");
        return ret;
    }
    ResetPwdStr(m_strDeKey);
    m_strDeKey = std::move(key);
    return 0;
}

uint32_t FileCrypt::encrypt(const std::string& inputPath, const std::string& outputPath) {
    if (!UsablePath(inputPath) || !UsablePath(outputPath)) {
        CHS_LOG(3, LOGID_TRANSFER, "Refused to encrypt file: an empty path or one with a NUL.");
        return kEncryptFailed;
    }
    uint32_t ret = _getEnKey();
    if (ret != 0) {
        return ret;
    }
    if (m_strEnCipher.size() > CHS_CRYPT_PASSWORD_CIPHER_LENGTH) {
        ResetPwdStr(m_strEnKey);
        return kEncryptFailed;
    }
    struct stat info {};
    uint64_t bytes = stat(inputPath.c_str(), &info) == 0 ? static_cast<uint64_t>(info.st_size) : 0;
    std::string temp = MakeTempNextTo(outputPath);
    if (temp.empty()) {
        ResetPwdStr(m_strEnKey);
        return kFailed;
    }
    std::string cmd = std::string(CMD_PREFIX_CRYPT_FILE_ENCRYPT) + " -in " + ShellQuote(inputPath) +
                      " -out " + ShellQuote(temp) + " -pass stdin";
    int32_t exitCode = RunWithPassPhrase(cmd, m_strEnKey, bytes);
    ResetPwdStr(m_strEnKey);
    if (exitCode != 0) {
        unlink(temp.c_str());
        CHS_LOG(3, LOGID_TRANSFER, "Failed to encrypt file using openssl, return (%d).", exitCode);
        return kEncryptFailed;
    }
    char block[CHS_CRYPT_PASSWORD_CIPHER_LENGTH] = {};
    memcpy(block, m_strEnCipher.data(), m_strEnCipher.size());
    int err = FinishFile(temp, block, sizeof(block), outputPath);
    if (err != 0) {
        unlink(temp.c_str());
        CHS_LOG(3, LOGID_TRANSFER, "Failed to save cipher, return %d.", err);
        return kFailed;
    }
    return 0;
}

uint32_t FileCrypt::decrypt(const std::string& path, const std::string& outputPath) {
    char block[CHS_CRYPT_PASSWORD_CIPHER_LENGTH + 1] = {};
    struct stat info {};
    int fd = UsablePath(path) && UsablePath(outputPath) ? open(path.c_str(), O_RDONLY | O_CLOEXEC) : -1;
    bool got =
        fd >= 0 && fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
        info.st_size >= static_cast<off_t>(CHS_CRYPT_PASSWORD_CIPHER_LENGTH) &&
        pread(fd, block, CHS_CRYPT_PASSWORD_CIPHER_LENGTH, info.st_size - CHS_CRYPT_PASSWORD_CIPHER_LENGTH) ==
            static_cast<ssize_t>(CHS_CRYPT_PASSWORD_CIPHER_LENGTH);
    if (fd >= 0) {
        close(fd);
    }
    if (got) {
        m_strDeCipher.assign(block, strnlen(block, CHS_CRYPT_PASSWORD_CIPHER_LENGTH));
    }
    if (!got || m_strDeCipher.empty()) {  // an empty block would pass as an empty pass phrase
        CHS_LOG(3, LOGID_TRANSFER, "Failed to get cipher from %s.", path.c_str());
        return kFailed;
    }
    uint32_t ret = _getDeKey();
    if (ret != 0) {
        CHS_LOG(3, LOGID_TRANSFER, "Failed to decrypt file, return %d.", static_cast<int32_t>(ret));
        return ret;
    }
    std::string temp = MakeTempNextTo(outputPath);
    if (temp.empty()) {
        ResetPwdStr(m_strDeKey);
        return kFailed;
    }
    // openssl reads the encrypted data without the key block on descriptor 3
    // and the pass phrase on standard input. A failing head ends the whole
    // command, so that a short read never passes for a complete decryption.
    uint64_t bytes = static_cast<uint64_t>(info.st_size) - CHS_CRYPT_PASSWORD_CIPHER_LENGTH;
    std::string cmd = "{ { head -c " + std::to_string(bytes) + " -- " + ShellQuote(path) +
                      " 4<&- || kill -TERM 0; } | " + CMD_PREFIX_CRYPT_FILE_DECRYPT + " -in /dev/fd/3 -out " +
                      ShellQuote(temp) + " -pass stdin 3<&0 <&4 4<&-; } 4<&0";
    int32_t exitCode = RunWithPassPhrase(cmd, m_strDeKey, bytes);
    ResetPwdStr(m_strDeKey);
    int err = exitCode == 0 ? FinishFile(temp, nullptr, 0, outputPath) : 0;
    if (exitCode != 0 || err != 0) {
        unlink(temp.c_str());
        if (exitCode != 0) {
            CHS_LOG(3, LOGID_TRANSFER, "Failed to decrypt file using openssl, return (%d).", exitCode);
        }
        CHS_LOG(3, LOGID_TRANSFER, "Failed to decrypt file, return %d.", exitCode != 0 ? exitCode : err);
        return kDecryptFailed;
    }
    return 0;
}
