#include "include/infocollector/sftp_client.h"

#include <curl/curl.h>
#include <sys/stat.h>

#include <climits>
#include <stdexcept>

#include "infra/chs_log.h"
#include "infra/string_util.h"
#include "infra/timer_drv.h"
#include "platform/platform_profile.h"

const std::string SFTPClass::VRF_DEFAULT = "default";
const std::string SFTPClass::VRF_SRV = "vrf-srv";
const std::string SFTPClass::VRF_INNER = "vrf-inner";

namespace {

// The platform's own list of known servers, used when the caller configured
// no host key check of its own.
const char* const kPlatformKnownHosts = "/VXA/conf/ssh_known_hosts";
constexpr int kAbortTransfer = 42;

CURL* Handle(void* curl) { return static_cast<CURL*>(curl); }

// The file-name part of a remote path, for the log.
std::string FileNamePart(const std::string& remotePath) {
    size_t slash = remotePath.find_last_of('/');
    return slash == std::string::npos ? remotePath : remotePath.substr(slash + 1);
}

// Every byte but the unreserved ones and "/" as %XX, so that a remote name
// holding "#", "?", "%" or a space names that very file: libcurl decodes the
// path once, and would otherwise cut it at "#" or "?".
std::string EncodePath(const std::string& path) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string encoded;
    encoded.reserve(path.size());
    for (unsigned char c : path) {
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                     c == '.' || c == '_' || c == '~' || c == '/';
        if (plain) {
            encoded += static_cast<char>(c);
        } else {
            encoded += '%';
            encoded += kHex[c >> 4];
            encoded += kHex[c & 0x0F];
        }
    }
    return encoded;
}

int XferInfo(void* object, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal, curl_off_t ulnow) {
    return SFTPClass::ProgressCallback(object, static_cast<int64_t>(dltotal), static_cast<int64_t>(dlnow),
                                       static_cast<int64_t>(ultotal), static_cast<int64_t>(ulnow));
}

struct KeyCheckContext {
    std::string strServer;
    std::string strKnownHosts;
};

// Only a key the known-hosts file holds for this server is accepted; the
// file is never added to.
int KeyCheck(CURL*, const struct curl_khkey*, const struct curl_khkey*, enum curl_khmatch match, void* data) {
    const KeyCheckContext* context = static_cast<const KeyCheckContext*>(data);
    const char* server = context != nullptr ? context->strServer.c_str() : "?";
    const char* file = context != nullptr ? context->strKnownHosts.c_str() : "?";
    switch (match) {
        case CURLKHMATCH_OK:
            return CURLKHSTAT_FINE;
        case CURLKHMATCH_MISMATCH:
            CHS_LOG(
                3, LOGID_TRANSFER,
                "The host key of %s does not match the one in %s: the server is refused (a changed key or "
                "another server).",
                server, file);
            return CURLKHSTAT_REJECT;
        default:
            CHS_LOG(3, LOGID_TRANSFER,
                    "The host key of %s is unknown: %s holds no key of it, the server is refused.", server,
                    file);
            return CURLKHSTAT_REJECT;
    }
}

// The context of the transfer running on a thread; a transfer runs on its
// caller's thread, so one per thread is enough.
thread_local KeyCheckContext t_keyCheck;

}  // namespace

PasswordStr::PasswordStr(std::string& text) : m_text(text) { ResetPwdStr(text); }

PasswordStr::~PasswordStr() { ResetPwdStr(m_text); }

SFTPClass::SFTPClass(const std::string& host, const std::string& user, const std::string& password,
                     uint32_t port, const std::string& urlPrefix, const std::string& vrf)
    : urlPrefix(urlPrefix), host(host), user(user), password(password), vrf(vrf), port(port) {
    curl = curl_easy_init();
    if (curl == nullptr) {
        ResetPwdStr(this->password);
        throw std::runtime_error("Failed to curl_easy_init.");
    }
    curl_easy_setopt(Handle(curl), CURLOPT_NOSIGNAL, 1L);
    BindCallbacks();
}

SFTPClass::SFTPClass(SFTPClass&& other) noexcept
    : urlPrefix(std::move(other.urlPrefix)),
      host(std::move(other.host)),
      user(std::move(other.user)),
      password(std::move(other.password)),
      vrf(std::move(other.vrf)),
      port(other.port),
      curl(other.curl),
      publicKeyPath(std::move(other.publicKeyPath)),
      privateKeyPath(std::move(other.privateKeyPath)),
      keyPassphrase(std::move(other.keyPassphrase)),
      stopped(other.stopped.load()),
      timeoutSec(other.timeoutSec),
      startSec(other.startSec),
      knownHostsPath(std::move(other.knownHostsPath)),
      hostKeySha256(std::move(other.hostKeySha256)) {
    other.curl = nullptr;
    ResetPwdStr(other.password);
    ResetPwdStr(other.keyPassphrase);
    if (curl != nullptr) {
        BindCallbacks();  // the progress callback must reach this object, not the one moved from
    }
}

SFTPClass::~SFTPClass() {
    if (curl != nullptr) {
        curl_easy_cleanup(Handle(curl));
        curl = nullptr;
    }
    ResetPwdStr(password);
    ResetPwdStr(keyPassphrase);
}

void SFTPClass::BindCallbacks() { curl_easy_setopt(Handle(curl), CURLOPT_XFERINFODATA, this); }

size_t SFTPClass::Readfunc(char* buffer, size_t size, size_t count, void* source) {
    if (source == nullptr) {
        return 0;
    }
    size_t length = size * count;
    unsigned asked = length > UINT_MAX ? UINT_MAX : static_cast<unsigned>(length);
    return static_cast<ReadStreamInterface*>(source)->Read(buffer, asked);
}

size_t SFTPClass::WritefuncExt(char* data, size_t size, size_t count, void* out) {
    if (out == nullptr) {
        return 0;
    }
    size_t length = size * count;
    if (length > UINT_MAX) {
        return 0;  // never happens with libcurl's chunks; refusing beats a silent cut
    }
    return static_cast<WriteStreamInterface*>(out)->Write(data, static_cast<unsigned>(length));
}

int SFTPClass::ProgressCallback(void* object, int64_t dltotal, int64_t dlnow, int64_t ultotal,
                                int64_t ulnow) {
    if (object == nullptr) {
        return kAbortTransfer;
    }
    return static_cast<SFTPClass*>(object)->ProcProgress(dltotal, dlnow, ultotal, ulnow);
}

int SFTPClass::ProcProgress(int64_t, int64_t, int64_t, int64_t) {
    if (stopped.load()) {
        return kAbortTransfer;
    }
    if (timeoutSec == 0) {
        return 0;
    }
    uint64_t nowSec = TimerDrvClass::Now() / 1000;
    if (nowSec <= startSec) {
        startSec = nowSec;  // the clock went back: count from here
        return 0;
    }
    return nowSec > startSec + timeoutSec ? kAbortTransfer : 0;
}

void SFTPClass::SetKeyLogin() {
    if (privateKeyPath.empty()) {
        return;
    }
    CURL* handle = Handle(curl);
    curl_easy_setopt(handle, CURLOPT_SSH_AUTH_TYPES, static_cast<long>(CURLSSH_AUTH_ANY));
    curl_easy_setopt(handle, CURLOPT_SSH_PUBLIC_KEYFILE, publicKeyPath.c_str());
    curl_easy_setopt(handle, CURLOPT_SSH_PRIVATE_KEYFILE, privateKeyPath.c_str());
    if (!keyPassphrase.empty()) {
        curl_easy_setopt(handle, CURLOPT_KEYPASSWD, keyPassphrase.c_str());
    }
}

void SFTPClass::EnableMoniter() {
    if (curl == nullptr) {
        return;
    }
    CURL* handle = Handle(curl);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, XferInfo);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
}

void SFTPClass::SetTimeout(uint32_t seconds) {
    timeoutSec = seconds;
    startSec = TimerDrvClass::Now() / 1000;
}

void SFTPClass::Stop() { stopped.store(true); }

void SFTPClass::SetKeyFiles(const std::string& publicKey, const std::string& privateKey,
                            const std::string& passphrase) {
    publicKeyPath = publicKey;
    privateKeyPath = privateKey;
    ResetPwdStr(keyPassphrase);
    keyPassphrase = passphrase;
}

void SFTPClass::SetKnownHosts(const std::string& path) { knownHostsPath = path; }

void SFTPClass::SetHostKeySha256(const std::string& fingerprint) {
    // Taken as ssh-keygen prints it too: libcurl wants the bare base64 text.
    const std::string prefix = "SHA256:";
    bool prefixed = fingerprint.compare(0, prefix.size(), prefix) == 0;
    hostKeySha256 = prefixed ? fingerprint.substr(prefix.size()) : fingerprint;
}

std::string SFTPClass::MakeUrl(const std::string& remotePath) const {
    // An IPv6 address needs its brackets in a URL, or its colons read as the port.
    bool bareIpv6 = host.find(':') != std::string::npos && host.front() != '[';
    std::string server = bareIpv6 ? "[" + host + "]" : host;
    return urlPrefix + server + ":" + std::to_string(port) + EncodePath(remotePath);
}

bool SFTPClass::SetHostKeyOpts() {
    CURL* handle = Handle(curl);
    t_keyCheck.strServer = host + ":" + std::to_string(port);
    if (!hostKeySha256.empty()) {
        // libcurl compares the pin and then skips the known-hosts file.
        curl_easy_setopt(handle, CURLOPT_SSH_HOST_PUBLIC_KEY_SHA256, hostKeySha256.c_str());
        curl_easy_setopt(handle, CURLOPT_SSH_KNOWNHOSTS, nullptr);
        return true;
    }
    curl_easy_setopt(handle, CURLOPT_SSH_HOST_PUBLIC_KEY_SHA256, nullptr);
    std::string file = knownHostsPath;
    if (file.empty()) {
        file = platform::RealPath(kPlatformKnownHosts);
        struct stat info {};
        if (stat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
            CHS_LOG(
                3, LOGID_TRANSFER,
                "No host key can be checked for %s: no known hosts file or key fingerprint is configured and "
                "%s does not exist. The transfer is refused.",
                t_keyCheck.strServer.c_str(), file.c_str());
            return false;
        }
    }
    t_keyCheck.strKnownHosts = file;
    curl_easy_setopt(handle, CURLOPT_SSH_KNOWNHOSTS, file.c_str());
    curl_easy_setopt(handle, CURLOPT_SSH_KEYFUNCTION, KeyCheck);
    curl_easy_setopt(handle, CURLOPT_SSH_KEYDATA, &t_keyCheck);
    return true;
}

bool SFTPClass::SetLoginOpts() {
    CURL* handle = Handle(curl);
    curl_easy_setopt(handle, CURLOPT_SSH_AUTH_TYPES, static_cast<long>(CURLSSH_AUTH_ANY));
    curl_easy_setopt(handle, CURLOPT_USERNAME, user.c_str());
    curl_easy_setopt(handle, CURLOPT_PASSWORD, password.c_str());
    if (privateKeyPath.empty()) {
        // Key files of an earlier setting must not stay on the handle.
        curl_easy_setopt(handle, CURLOPT_SSH_PUBLIC_KEYFILE, nullptr);
        curl_easy_setopt(handle, CURLOPT_SSH_PRIVATE_KEYFILE, nullptr);
    }
    if (keyPassphrase.empty()) {
        curl_easy_setopt(handle, CURLOPT_KEYPASSWD, nullptr);
    }
    SetKeyLogin();
    curl_easy_setopt(handle, CURLOPT_INTERFACE, vrf != VRF_DEFAULT ? vrf.c_str() : nullptr);
    return SetHostKeyOpts();
}

bool SFTPClass::Perform(std::string& error) {
    CURL* handle = Handle(curl);
    char errorText[CURL_ERROR_SIZE] = {0};
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorText);
    CURLcode code = curl_easy_perform(handle);
    curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, nullptr);
    if (code == CURLE_OK) {
        return true;
    }
    error = errorText[0] != '\0' ? errorText : curl_easy_strerror(code);
    return false;
}

bool SFTPClass::Download(const std::string& remotePath, WriteStreamInterface* out, uint32_t timeoutSec) {
    if (out == nullptr) {
        CHS_LOG(1, LOGID_TRANSFER, "The response stream is null.");
        return false;
    }
    if (curl == nullptr || !SetLoginOpts()) {
        return false;
    }
    CURL* handle = Handle(curl);
    // An upload before on this handle must not turn this into one, nor lend it its overall time limit.
    curl_easy_setopt(handle, CURLOPT_UPLOAD, 0L);
    curl_easy_setopt(handle, CURLOPT_READDATA, nullptr);
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, 0L);
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, static_cast<long>(timeoutSec));
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, out);
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, WritefuncExt);
    curl_easy_setopt(handle, CURLOPT_URL, MakeUrl(remotePath).c_str());
    std::string error;
    bool done = Perform(error);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, nullptr);  // the stream is the caller's, and may go now
    std::string name = FileNamePart(remotePath);
    if (done) {
        CHS_LOG(0, LOGID_TRANSFER, "curl_easy_perform success ,%s,rurl: %s", user.c_str(), name.c_str());
    } else {
        CHS_LOG(2, LOGID_TRANSFER, "curl_easy_perform failed: %s, %s rurl: %s", error.c_str(), user.c_str(),
                name.c_str());
    }
    return done;
}

bool SFTPClass::Upload(ReadStreamInterface* source, const std::string& remotePath, uint32_t timeoutSec) {
    if (source == nullptr) {
        CHS_LOG(1, LOGID_TRANSFER, "The read stream is null.");
        return false;
    }
    if (curl == nullptr) {
        return false;
    }
    CURL* handle = Handle(curl);
    curl_easy_setopt(handle, CURLOPT_UPLOAD, 1L);
    if (!SetLoginOpts()) {
        return false;
    }
    curl_easy_setopt(handle, CURLOPT_TIMEOUT, static_cast<long>(timeoutSec));
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, static_cast<long>(timeoutSec));
    curl_easy_setopt(handle, CURLOPT_READDATA, source);
    curl_easy_setopt(handle, CURLOPT_READFUNCTION, Readfunc);
    curl_easy_setopt(handle, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(source->Size()));
    curl_easy_setopt(handle, CURLOPT_URL, MakeUrl(remotePath).c_str());
    std::string error;
    bool done = Perform(error);
    curl_easy_setopt(handle, CURLOPT_READDATA, nullptr);
    std::string name = FileNamePart(remotePath);
    if (done) {
        CHS_LOG(0, LOGID_TRANSFER, "curl_easy_perform success ,rurl: %s", name.c_str());
    } else {
        CHS_LOG(2, LOGID_TRANSFER, "curl_easy_perform failed: %s, rurl: %s", error.c_str(), name.c_str());
    }
    return done;
}

uint64_t SFTPClass::getFileSize(const std::string& remotePath) {
    if (curl == nullptr) {
        return UINT64_MAX;
    }
    CURL* handle = Handle(curl);
    curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
    BlackHoleStreamClass sink;
    uint64_t size = UINT64_MAX;
    if (Download(remotePath, &sink, 30)) {
        curl_off_t length = -1;
        if (curl_easy_getinfo(handle, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK &&
            length >= 0) {
            size = static_cast<uint64_t>(length);
        }
    }
    curl_easy_setopt(handle, CURLOPT_NOBODY, 0L);
    curl_easy_setopt(handle, CURLOPT_HEADER, 0L);
    return size;
}
