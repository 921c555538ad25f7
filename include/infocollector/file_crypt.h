// Protection of data at rest. EncryptString/DecryptString replace a short
// text by its encrypted (printable) form and back through the cluster's key
// management, so that any node of the cluster can decrypt it. FileCrypt
// encrypts a file under a fresh random pass phrase and appends that pass
// phrase, itself encrypted, as a 1024-byte block; the pass phrase never
// appears on a command line.
//
// Thread safety: the functions and distinct FileCrypt objects may be used
// from several threads at once.
#pragma once

#include <cstdint>
#include <string>

// 0 on success; 0x40E05B2A / 0x40E05B2D when the key management fails.
uint32_t EncryptString(std::string& text);
uint32_t DecryptString(std::string& text);

class FileCrypt {
public:
    static constexpr const char* CHS_CRYPT_PASSWORD_CHARSET =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    static constexpr uint32_t CHS_CRYPT_PASSWORD_LENGTH = 32;
    static constexpr uint32_t CHS_CRYPT_PASSWORD_CIPHER_LENGTH = 1024;

    FileCrypt() = default;
    FileCrypt(const FileCrypt&) = delete;
    FileCrypt& operator=(const FileCrypt&) = delete;
    ~FileCrypt();

    // 0 on success. A failure leaves the input untouched; a failed decrypt
    // leaves the encrypted file byte for byte as it was.
    uint32_t encrypt(const std::string& inputPath, const std::string& outputPath);
    uint32_t decrypt(const std::string& path, const std::string& outputPath);

private:
    uint32_t _getEnKey();
    uint32_t _getDeKey();

    std::string m_strDeKey;
    std::string m_strEnKey;
    std::string m_strDeCipher;
    std::string m_strEnCipher;
};
