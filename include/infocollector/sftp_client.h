// SFTP transfers over libcurl: uploads read from a read stream, downloads
// write into a write stream. Password login, optionally key login first;
// an overall deadline and Stop from another thread once EnableMoniter was
// called. The server's host key is checked against a known-hosts file or a
// pinned SHA-256 fingerprint; without either, the platform's known-hosts file
// (/VXA/conf/ssh_known_hosts below the node root) is used when it exists, and
// otherwise a transfer is refused.
//
// An object serves one server and runs one transfer at a time on the calling
// thread; Stop may be called from any thread. Streams must outlive the call.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "infocollector/transfer_stream.h"

// A password text that is wiped before its memory is released.
class PasswordStr {
public:
    PasswordStr() = default;
    // Takes a copy of `text` and wipes `text`: a short text lives inside the
    // string object itself, where a move would leave it behind.
    explicit PasswordStr(std::string& text);
    explicit PasswordStr(std::string&& text) : PasswordStr(text) {}
    PasswordStr(const PasswordStr&) = delete;
    PasswordStr& operator=(const PasswordStr&) = delete;
    ~PasswordStr();
    std::string& str() { return m_text; }
    const std::string& str() const { return m_text; }

private:
    std::string m_text;
};

class SFTPClass {
public:
    static const std::string VRF_DEFAULT;  // "default": no binding
    static const std::string VRF_SRV;      // "vrf-srv"
    static const std::string VRF_INNER;    // "vrf-inner"

    // Throws std::runtime_error "Failed to curl_easy_init." without a handle.
    SFTPClass(const std::string& host, const std::string& user, const std::string& password, uint32_t port,
              const std::string& urlPrefix, const std::string& vrf);
    SFTPClass(SFTPClass&& other) noexcept;
    SFTPClass(const SFTPClass&) = delete;
    SFTPClass& operator=(const SFTPClass&) = delete;
    virtual ~SFTPClass();
    // 0 goes on, any other value aborts the transfer.
    virtual int ProcProgress(int64_t dltotal, int64_t dlnow, int64_t ultotal, int64_t ulnow);

    bool Upload(ReadStreamInterface* source, const std::string& remotePath, uint32_t timeoutSec);
    bool Download(const std::string& remotePath, WriteStreamInterface* out, uint32_t timeoutSec);
    // All bits set when the size cannot be had.
    uint64_t getFileSize(const std::string& remotePath);

    void SetKeyLogin();
    void EnableMoniter();
    void SetTimeout(uint32_t seconds);
    void Stop();

    // Key login: both paths of a key pair (the public one may be empty), and
    // the pass phrase of the private key (may be empty).
    void SetKeyFiles(const std::string& publicKeyPath, const std::string& privateKeyPath,
                     const std::string& passphrase);
    // Host key checks: an OpenSSH known-hosts file (never written to; a server
    // on another port than 22 is looked up as "[host]:port"), or the base64
    // SHA-256 fingerprint of the server's key (as "ssh-keygen -l" prints it,
    // with or without the "SHA256:" prefix). A pinned fingerprint, when set,
    // is the check and the known-hosts file is not consulted.
    void SetKnownHosts(const std::string& path);
    void SetHostKeySha256(const std::string& fingerprint);

    // The libcurl callbacks (buffer, size, count, stream / object).
    static size_t Readfunc(char* buffer, size_t size, size_t count, void* source);
    static size_t WritefuncExt(char* data, size_t size, size_t count, void* out);
    static int ProgressCallback(void* object, int64_t dltotal, int64_t dlnow, int64_t ultotal, int64_t ulnow);

protected:
    std::string urlPrefix;
    std::string host;
    std::string user;
    std::string password;
    std::string vrf;
    uint32_t port = 0;
    void* curl = nullptr;
    std::string publicKeyPath;
    std::string privateKeyPath;
    std::string keyPassphrase;
    std::atomic<bool> stopped{false};
    uint32_t timeoutSec = 0;
    uint64_t startSec = 0;
    std::string knownHostsPath;
    std::string hostKeySha256;

private:
    // Login, host key and interface settings of every transfer; false (logged)
    // when the host key cannot be checked.
    bool SetLoginOpts();
    bool SetHostKeyOpts();
    // The URL of `remotePath` on this server.
    std::string MakeUrl(const std::string& remotePath) const;
    // Runs the transfer; libcurl's error text in `error` on failure.
    bool Perform(std::string& error);
    // Points the handle's callback data at this object (after a move).
    void BindCallbacks();
};

// The controller's internal transfer account.
class IBCSftpClass : public SFTPClass {
public:
    // Binds to the internal VRF only where the platform profile says this
    // machine has it (a VRF wrapper is configured); elsewhere no binding.
    explicit IBCSftpClass(const std::string& host);

    // The account's password as one line; empty when it cannot be had.
    static std::string GetIbcPwd();
    static std::string GetPubKeyPath();   // empty: derived from the private key
    static std::string GetPrivKeyPath();  // below the node root
    // Asks the platform (module 575); 22 when it does not answer usably.
    static uint32_t GetSystemSshPort();
};
