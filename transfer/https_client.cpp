// HttpsClass: the handle's options, proxy settings, URL and request parts,
// and the text helpers. The transfers themselves are in https_transfer.cpp.
#include <json/writer.h>

#include <climits>
#include <cstdio>
#include <stdexcept>

#include "core/omlib.h"
#include "infra/chs_log.h"
#include "infra/string_util.h"
#include "transfer/https_cert.h"
#include "transfer/https_internal.h"

const char* const SSL_CIPHER_LIST =
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-AES256-GCM-SHA384:"
    "DH-RSA-AES256-GCM-SHA384:DHE-RSA-AES256-GCM-SHA384:"
    "ECDH-RSA-AES256-GCM-SHA384:ECDH-ECDSA-AES256-GCM-SHA384";

namespace {

const char* const kHidden = "******";

// An IPv6 address in a URL or a proxy setting is written in brackets.
std::string UrlHost(const std::string& host) {
    if (host.find(':') == std::string::npos || (!host.empty() && host.front() == '[')) {
        return host;
    }
    return "[" + host + "]";
}

// CR, LF or NUL: each would end the header line early.
bool HasLineBreak(const std::string& text) { return text.find_first_of("\r\n", 0, 3) != std::string::npos; }

bool IsUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

}  // namespace

namespace https_detail {

bool OptionSet(HttpsClass* self, CURLcode code, const char* name, const std::string& shown) {
    if (code == CURLE_OK) {
        return true;
    }
    self->SetErrorCode(HTTPS_ERR_OPTION);
    std::string line = std::string("Failed to set option ") + name + " to " + shown + ", return (CURLcode " +
                       std::to_string(static_cast<int>(code)) + ": " + curl_easy_strerror(code) + ").";
    CHS_LOG(3, LOGID_TRANSFER, "%s", line.c_str());
    return false;
}

std::string ShowNumber(long long value) { return std::to_string(value); }

std::string ShowText(const char* text) { return text != nullptr ? text : "null"; }

std::string ShowPointer(const void* pointer) {
    char text[32];
    snprintf(text, sizeof(text), "%p", pointer);
    return text;
}

}  // namespace https_detail

using https_detail::ShowNumber;
using https_detail::ShowPointer;
using https_detail::ShowText;

HttpsClass::HttpsClass(const std::string& host, uint32_t port, const std::string& caPem)
    : host(host), port(port), caPem(caPem) {
    curl = curl_easy_init();
    if (curl == nullptr) {
        throw std::runtime_error("Failed to init curl for HTTP.");
    }
    HTTPS_SET_OPT(CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2),
                  ShowNumber(CURL_SSLVERSION_TLSv1_2));
    HTTPS_SET_OPT(CURLOPT_SSL_CIPHER_LIST, SSL_CIPHER_LIST, SSL_CIPHER_LIST);
    HTTPS_SET_OPT(CURLOPT_SSLCERTTYPE, "PEM", "PEM");
    HTTPS_SET_OPT(CURLOPT_CAINFO, static_cast<const char*>(nullptr), ShowText(nullptr));
    HTTPS_SET_OPT(CURLOPT_CAPATH, static_cast<const char*>(nullptr), ShowText(nullptr));
    HTTPS_SET_OPT(CURLOPT_SSL_CTX_DATA, static_cast<void*>(this), ShowPointer(this));
    HTTPS_SET_OPT(CURLOPT_SSL_CTX_FUNCTION, HttpsCallbacks::sslctxCallback, "sslctxCallback");
    HTTPS_SET_OPT(CURLOPT_NOPROGRESS, 1L, ShowNumber(1));
    HTTPS_SET_OPT(CURLOPT_SSL_VERIFYPEER, 1L, ShowNumber(1));
    // The verification callback checks the name against the host itself; libcurl
    // would compare it with the resolved address the URL carries.
    HTTPS_SET_OPT(CURLOPT_SSL_VERIFYHOST, 0L, ShowNumber(0));
    HTTPS_SET_OPT(CURLOPT_NOSIGNAL, 1L, ShowNumber(1));
}

HttpsClass::HttpsClass(HttpsClass&& other) noexcept
    : host(std::move(other.host)),
      port(other.port),
      caPem(std::move(other.caPem)),
      curl(other.curl),
      proxyType(other.proxyType),
      errorCode(other.errorCode),
      lastResult(other.lastResult),
      uploadLimit(other.uploadLimit) {
    other.curl = nullptr;
    if (curl != nullptr) {
        HTTPS_SET_OPT(CURLOPT_SSL_CTX_DATA, static_cast<void*>(this), ShowPointer(this));
    }
}

HttpsClass::~HttpsClass() {
    if (curl != nullptr) {
        curl_easy_cleanup(static_cast<CURL*>(curl));
        curl = nullptr;
    }
}

bool HttpsClass::SetProxy(const std::string& proxyHost, uint32_t proxyPort, const std::string& user,
                          const std::string& password, HttpAuthTypeEnum authType) {
    if (proxyPort >= 65536) {
        SetErrorCode(HTTPS_ERR_OPTION);
        return false;
    }
    HTTPS_SET_OPT(CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_HTTP), ShowNumber(CURLPROXY_HTTP));
    std::string ip;
    uint32_t ret = omlib::ParseHostnameToIp(proxyHost, ip, static_cast<uint16_t>(proxyPort), 5, 3);
    if (ret != 0) {
        CHS_LOG(2, LOGID_TRANSFER, "Failed to parse dns.%s", proxyHost.c_str());
        SetErrorCode(ret);
        return false;
    }
    std::string proxy = UrlHost(ip);
    HTTPS_SET_OPT(CURLOPT_PROXY, proxy.c_str(), proxy);
    HTTPS_SET_OPT(CURLOPT_PROXYPORT, static_cast<long>(proxyPort), ShowNumber(proxyPort));
    HTTPS_SET_OPT(CURLOPT_HTTPPROXYTUNNEL, 1L, ShowNumber(1));
    if (authType == HTTP_AUTH_NONE) {
        HTTPS_SET_OPT(CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_NONE), ShowNumber(CURLAUTH_NONE));
        return true;
    }
    HTTPS_SET_OPT(CURLOPT_PROXYUSERNAME, user.c_str(), user);
    HTTPS_SET_OPT(CURLOPT_PROXYPASSWORD, password.c_str(), kHidden);
    unsigned long auth = CURLAUTH_ANY & ~CURLAUTH_DIGEST_IE;
    switch (authType) {
        case HTTP_AUTH_BASIC:
            auth = CURLAUTH_BASIC;
            break;
        case HTTP_AUTH_DIGEST:
            auth = CURLAUTH_DIGEST;
            break;
        case HTTP_AUTH_NEGOTIATE:
            auth = CURLAUTH_NEGOTIATE;
            break;
        default:
            break;
    }
    HTTPS_SET_OPT(CURLOPT_PROXYAUTH, static_cast<long>(auth), ShowNumber(static_cast<long long>(auth)));
    return true;
}

bool HttpsClass::SetProxy(const std::string& proxyHost, uint32_t proxyPort, const std::string& user,
                          const std::string& password, HttpProxyTypeEnum type) {
    long curlType = 0;
    switch (type) {
        case HTTP_PROXY_HTTP:
            curlType = CURLPROXY_HTTP;
            break;
        case HTTP_PROXY_HTTPS:
            curlType = CURLPROXY_HTTPS;
            break;
        case HTTP_PROXY_SOCKS4:
            curlType = CURLPROXY_SOCKS4;
            break;
        case HTTP_PROXY_SOCKS5:
            curlType = CURLPROXY_SOCKS5;
            break;
        case HTTP_PROXY_SOCKS4A:
            curlType = CURLPROXY_SOCKS4A;
            break;
        case HTTP_PROXY_SOCKS5_HOSTNAME:
            curlType = CURLPROXY_SOCKS5_HOSTNAME;
            break;
        default:
            return false;
    }
    if (!SetProxy(proxyHost, proxyPort, user, password, HTTP_AUTH_ANY)) {
        return false;
    }
    HTTPS_SET_OPT(CURLOPT_PROXYTYPE, curlType, ShowNumber(curlType));
    if (type == HTTP_PROXY_HTTPS) {
        HTTPS_SET_OPT(CURLOPT_PROXY_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2),
                      ShowNumber(CURL_SSLVERSION_TLSv1_2));
        HTTPS_SET_OPT(CURLOPT_PROXY_SSL_CIPHER_LIST, SSL_CIPHER_LIST, SSL_CIPHER_LIST);
        HTTPS_SET_OPT(CURLOPT_PROXY_SSLCERTTYPE, "PEM", "PEM");
        HTTPS_SET_OPT(CURLOPT_PROXY_CAINFO, static_cast<const char*>(nullptr), ShowText(nullptr));
        HTTPS_SET_OPT(CURLOPT_PROXY_CAPATH, static_cast<const char*>(nullptr), ShowText(nullptr));
        HTTPS_SET_OPT(CURLOPT_PROXY_SSL_VERIFYPEER, 0L, ShowNumber(0));
        HTTPS_SET_OPT(CURLOPT_PROXY_SSL_VERIFYHOST, 0L, ShowNumber(0));
    }
    proxyType = type;
    return true;
}

bool HttpsClass::ReSetPrxoyHostToSVP(const std::string& svpHost, uint32_t svpPort) {
    std::string proxy = UrlHost(svpHost);
    if (proxyType != 0) {
        HTTPS_SET_OPT(CURLOPT_PROXY, proxy.c_str(), proxy);
        HTTPS_SET_OPT(CURLOPT_PROXYPORT, static_cast<long>(svpPort), ShowNumber(svpPort));
        return true;
    }
    HTTPS_SET_OPT(CURLOPT_PROXY, proxy.c_str(), proxy);
    HTTPS_SET_OPT(CURLOPT_PROXYPORT, static_cast<long>(svpPort), ShowNumber(svpPort));
    HTTPS_SET_OPT(CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_NONE), ShowNumber(CURLAUTH_NONE));
    HTTPS_SET_OPT(CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_SOCKS4A), ShowNumber(CURLPROXY_SOCKS4A));
    proxyType = HTTP_PROXY_SOCKS4A;
    return true;
}

void HttpsClass::SetLoadCrl(bool load) { g_isNeedLoadCrl = load; }

void HttpsClass::SetUploadLimit(uint64_t bytesPerSecond) { uploadLimit = bytesPerSecond; }

bool HttpsClass::SetRequest(HttpMethodEnum method) {
    static const char* const kVerbs[] = {"GET", "POST", "DELETE", "MODIFY"};
    if (static_cast<uint32_t>(method) >= sizeof(kVerbs) / sizeof(kVerbs[0])) {
        CHS_LOG(2, LOGID_TRANSFER, "Unknown http method %u.", static_cast<uint32_t>(method));
        return false;
    }
    return HTTPS_SET_OPT(CURLOPT_CUSTOMREQUEST, kVerbs[method], kVerbs[method]);
}

bool HttpsClass::SetUrl(const std::string& path) {
    std::string url = "https://";
    if (proxyType != 0) {
        url += UrlHost(host);  // the proxy resolves it
    } else {
        std::string ip;
        uint32_t ret = omlib::ParseHostnameToIp(host, ip, static_cast<uint16_t>(port), 5, 3);
        if (ret != 0) {
            CHS_LOG(2, LOGID_TRANSFER, "Failed to parse dns %s", host.c_str());
            SetErrorCode(ret);
            return false;
        }
        url += UrlHost(ip);
    }
    url += ":" + std::to_string(port);
    if (path.empty() || path.front() != '/') {
        url += "/";
    }
    url += path;
    ReplaceStringAll(url, " ", "%20");
    bool set = HTTPS_SET_OPT(CURLOPT_URL, url.c_str(), url);
    CHS_LOG(0, LOGID_TRANSFER, "url: %s", url.c_str());
    return set;
}

bool HttpsClass::SetHdrOpt(HttpHeaders& headers, curl_slist*& list) {
    for (const auto& header : headers) {
        // A line break would let a value add headers, or a body, of its own.
        if (HasLineBreak(header.first) || HasLineBreak(header.second)) {
            CHS_LOG(2, LOGID_TRANSFER, "Refuse a request header with a line break in it.");
            return false;
        }
        std::string line = header.first + ":" + header.second;
        curl_slist* grown = curl_slist_append(list, line.c_str());
        if (grown == nullptr) {
            CHS_LOG(2, LOGID_TRANSFER, "Failed to append header %s.", header.first.c_str());
            return false;
        }
        list = grown;
    }
    return HTTPS_SET_OPT(CURLOPT_HTTPHEADER, list, ShowPointer(list));
}

bool HttpsClass::SetUpload(ReadStreamInterface* source, const std::string& name, curl_httppost*& form) {
    void* sourceData = static_cast<void*>(source);
    HTTPS_SET_OPT(CURLOPT_READDATA, sourceData, ShowPointer(sourceData));
    HTTPS_SET_OPT(CURLOPT_READFUNCTION, https_detail::ReadFunc, "ReadFunc");
    curl_httppost* last = nullptr;
    curl_off_t length = source != nullptr ? static_cast<curl_off_t>(source->Size()) : 0;
    CURLFORMcode ret =
        curl_formadd(&form, &last, CURLFORM_COPYNAME, name.c_str(), CURLFORM_FILENAME, name.c_str(),
                     CURLFORM_STREAM, sourceData, CURLFORM_CONTENTLEN, length, CURLFORM_END);
    if (ret != CURL_FORMADD_OK) {
        CHS_LOG(2, LOGID_TRANSFER, "curl_formadd return %u.", static_cast<unsigned>(ret));
    }
    return HTTPS_SET_OPT(CURLOPT_HTTPPOST, form, ShowPointer(form)) && ret == CURL_FORMADD_OK;
}

bool HttpsClass::SetExecOut(WriteStreamInterface* out) {
    void* outData = static_cast<void*>(out);
    bool set = HTTPS_SET_OPT(CURLOPT_HEADERDATA, outData, ShowPointer(outData));
    set = HTTPS_SET_OPT(CURLOPT_WRITEDATA, outData, ShowPointer(outData)) && set;
    set = HTTPS_SET_OPT(CURLOPT_HEADERFUNCTION, https_detail::ReadHeader, "ReadHeader") && set;
    set = HTTPS_SET_OPT(CURLOPT_WRITEFUNCTION, https_detail::WriteFuncExt, "WriteFuncExt") && set;
    return set;
}

bool HttpsClass::SetDownload(WriteStreamInterface* out) { return SetExecOut(out); }

bool HttpsClass::SetCntBody(const Json::Value& json, std::string& body) {
    Json::StreamWriterBuilder builder;
    body = Json::writeString(builder, json);
    bool set = HTTPS_SET_OPT(CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()), ShowNumber(body.size()));
    return HTTPS_SET_OPT(CURLOPT_POSTFIELDS, body.c_str(), ShowPointer(body.c_str())) && set;
}

bool HttpsClass::SetDownSpeed(uint64_t bytesPerSecond) {
    return HTTPS_SET_OPT(CURLOPT_MAX_RECV_SPEED_LARGE, static_cast<curl_off_t>(bytesPerSecond),
                         ShowNumber(static_cast<long long>(bytesPerSecond)));
}

bool HttpsClass::SetUpSpeed(uint64_t bytesPerSecond) {
    return HTTPS_SET_OPT(CURLOPT_MAX_SEND_SPEED_LARGE, static_cast<curl_off_t>(bytesPerSecond),
                         ShowNumber(static_cast<long long>(bytesPerSecond)));
}

void HttpsClass::SetContentLength(HttpHeaders& headers, uint64_t length) {
    headers["Content-Length"] = std::to_string(length);
}

void HttpsClass::SetContentType(HttpHeaders& headers, const std::string& type) {
    headers["Content-Type"] = type;
}

void HttpsClass::BuildDefHttpOpt(HttpHeaders& headers) {
    headers["Content-Type"] = "application/json; charset=utf-8";
}

std::string HttpsClass::UriEncode(const std::string& text) {
    if (text.find('\0') != std::string::npos) {
        CHS_LOG(3, LOGID_TRANSFER, "Failed to encode uri because the string contain 0.");
        return "";
    }
    if (text.size() > INT_MAX) {
        return "";
    }
    char* escaped = curl_easy_escape(static_cast<CURL*>(curl), text.data(), static_cast<int>(text.size()));
    if (escaped == nullptr) {
        return "";
    }
    std::string result(escaped);
    curl_free(escaped);
    return result;
}

std::string HttpsClass::UriDecode(const std::string& text) {
    if (text.size() > INT_MAX) {
        return "";
    }
    int length = 0;
    char* plain =
        curl_easy_unescape(static_cast<CURL*>(curl), text.data(), static_cast<int>(text.size()), &length);
    if (plain == nullptr) {
        return "";
    }
    std::string result(plain, static_cast<size_t>(length > 0 ? length : 0));
    curl_free(plain);
    return result;
}

std::string UrlEncode(const std::string& text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string result;
    result.reserve(text.size() * 3);
    for (unsigned char c : text) {
        if (IsUnreserved(c)) {
            result += static_cast<char>(c);
        } else if (c == ' ') {
            result += '+';
        } else {
            result += '%';
            result += kHex[c >> 4];
            result += kHex[c & 0x0F];
        }
    }
    return result;
}
