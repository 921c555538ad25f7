// HTTPS client for the remote support service: JSON requests, streamed
// multipart uploads and streamed downloads, optionally through a proxy.
// TLS 1.2 at least (1.3 when the server offers it), a fixed TLS 1.2 cipher
// list; only the CA certificates given as PEM text are trusted, and CRLs in
// that text are checked when they match a CA. The server's host name is
// checked against the leaf certificate on every handshake, per object.
//
// An object serves one server and is used by one thread at a time; requests
// run one after another on its libcurl handle. Streams handed to a request
// must stay alive until it returns. Several objects may run on several
// threads at once.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <map>
#include <string>

#include "infocollector/transfer_stream.h"

struct curl_slist;
struct curl_httppost;

enum HttpMethodEnum : uint32_t { HTTP_GET = 0, HTTP_POST = 1, HTTP_DELETE = 2, HTTP_MODIFY = 3 };
enum HttpAuthTypeEnum : uint32_t {
    HTTP_AUTH_NONE = 0,
    HTTP_AUTH_BASIC = 1,
    HTTP_AUTH_DIGEST = 2,
    HTTP_AUTH_NEGOTIATE = 3,
    HTTP_AUTH_ANY = 4
};
enum HttpProxyTypeEnum : uint32_t {
    HTTP_PROXY_HTTP = 1,
    HTTP_PROXY_HTTPS = 2,
    HTTP_PROXY_SOCKS4 = 3,
    HTTP_PROXY_SOCKS5 = 4,
    HTTP_PROXY_SOCKS4A = 5,
    HTTP_PROXY_SOCKS5_HOSTNAME = 6
};

using HttpHeaders = std::map<std::string, std::string>;

// Daemon error codes of a failed transfer, ranked (a higher rank wins).
constexpr uint32_t HTTPS_ERR_NO_DNS = 0x4040CA1C;
constexpr uint32_t HTTPS_ERR_RESOLVE = 0x4000EE04;
constexpr uint32_t HTTPS_ERR_TRANSFER = 0x40E05B21;
constexpr uint32_t HTTPS_ERR_CERT = 0x4000CA2B;
constexpr uint32_t HTTPS_ERR_OTHER = 0x40E05B22;
constexpr uint32_t HTTPS_ERR_WRITE = 0x40E05B3C;
constexpr uint32_t HTTPS_ERR_OPTION = 0xFFFFFFFF;

// libcurl's global initialisation; once, at start-up.
bool CURL_Init();

class HttpsClass {
  public:
    // Throws std::runtime_error "Failed to init curl for HTTP." without a handle.
    HttpsClass(const std::string& host, uint32_t port, const std::string& caPem);
    HttpsClass(HttpsClass&& other) noexcept;
    HttpsClass(const HttpsClass&) = delete;
    HttpsClass& operator=(const HttpsClass&) = delete;
    HttpsClass& operator=(HttpsClass&&) = delete;
    virtual ~HttpsClass();

    bool SetProxy(const std::string& host, uint32_t port, const std::string& user,
                  const std::string& password, HttpAuthTypeEnum authType);
    bool SetProxy(const std::string& host, uint32_t port, const std::string& user,
                  const std::string& password, HttpProxyTypeEnum proxyType);
    bool ReSetPrxoyHostToSVP(const std::string& host, uint32_t port);
    // Process-wide: whether matching CRLs are checked.
    static void SetLoadCrl(bool load);

    // The three requests. Each fails (false, nothing sent) for an unknown
    // method, a host that does not resolve, or a header whose name or value
    // holds CR, LF or NUL. Body, form, header list and streams are taken off
    // the handle when the request ends, so the next one starts clean.
    // Failures are folded into GetErrorCode(); Download keeps libcurl's
    // result in GetLastResult().
    bool Exec(HttpMethodEnum method, const std::string& path, HttpHeaders& headers, WriteStreamInterface* out,
              const Json::Value& body, uint32_t timeoutSec, uint32_t connectTimeoutSec);
    bool Upload(ReadStreamInterface* source, const std::string& name, const std::string& path,
                HttpHeaders& headers, uint32_t timeoutSec, uint32_t connectTimeoutSec,
                WriteStreamInterface* out);
    bool Download(HttpMethodEnum method, const std::string& path, HttpHeaders& headers,
                  WriteStreamInterface* out, uint32_t timeoutSec, uint32_t connectTimeoutSec,
                  uint32_t speedMiB);

    // Upload's send limit in bytes per second: 1 MiB/s unless set; 0 = none.
    void SetUploadLimit(uint64_t bytesPerSecond);

    // Building blocks of the requests above. SetUrl resolves the host (unless
    // a proxy type is set) and puts the address into the URL.
    bool SetRequest(HttpMethodEnum method);
    bool SetUrl(const std::string& path);
    bool SetHdrOpt(HttpHeaders& headers, curl_slist*& list);
    bool SetUpload(ReadStreamInterface* source, const std::string& name, curl_httppost*& form);
    bool SetExecOut(WriteStreamInterface* out);
    bool SetDownload(WriteStreamInterface* out);
    bool SetCntBody(const Json::Value& json, std::string& body);
    bool SetDownSpeed(uint64_t bytesPerSecond);
    bool SetUpSpeed(uint64_t bytesPerSecond);
    void SetErrorCode(uint32_t code);

    static void SetContentLength(HttpHeaders& headers, uint64_t length);
    static void SetContentType(HttpHeaders& headers, const std::string& type);
    static void BuildDefHttpOpt(HttpHeaders& headers);

    std::string UriEncode(const std::string& text);
    std::string UriDecode(const std::string& text);

    uint32_t GetErrorCode() const { return errorCode; }
    uint32_t GetLastResult() const { return lastResult; }
    const std::string& GetHost() const { return host; }

  private:
    void ResetRequest();

    std::string host;
    uint32_t port = 0;
    std::string caPem;
    void* curl = nullptr;
    uint32_t proxyType = 0;
    uint32_t errorCode = 0;
    uint32_t lastResult = 0;
    uint64_t uploadLimit = 1048576;

    friend struct HttpsCallbacks;
};

std::string UrlEncode(const std::string& text);
