// HttpsClass: the three requests, the transfer callbacks, and how a failed
// transfer becomes the object's daemon error code.
#include <climits>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>

#include "infra/chs_log.h"
#include "infra/string_util.h"
#include "transfer/https_internal.h"

using https_detail::ShowNumber;

uint64_t g_ullExecFailLogWindowSec = 7200;
uint32_t g_uiExecFailLogMax = 6;

namespace {

const std::map<uint32_t, uint32_t> g_httpErrOrder = {
    {HTTPS_ERR_OPTION, 0},   {HTTPS_ERR_NO_DNS, 1}, {HTTPS_ERR_RESOLVE, 2},
    {HTTPS_ERR_TRANSFER, 3}, {HTTPS_ERR_CERT, 4},   {HTTPS_ERR_OTHER, 5},
};

const std::map<CURLcode, uint32_t> kCurlErrors = {
    {CURLE_COULDNT_RESOLVE_PROXY, HTTPS_ERR_RESOLVE}, {CURLE_COULDNT_RESOLVE_HOST, HTTPS_ERR_RESOLVE},
    {CURLE_COULDNT_CONNECT, HTTPS_ERR_TRANSFER},      {CURLE_REMOTE_ACCESS_DENIED, HTTPS_ERR_TRANSFER},
    {CURLE_OPERATION_TIMEDOUT, HTTPS_ERR_TRANSFER},   {CURLE_SSL_CONNECT_ERROR, HTTPS_ERR_TRANSFER},
    {CURLE_SEND_ERROR, HTTPS_ERR_TRANSFER},           {CURLE_RECV_ERROR, HTTPS_ERR_TRANSFER},
    {CURLE_SSL_CERTPROBLEM, HTTPS_ERR_CERT},          {CURLE_PEER_FAILED_VERIFICATION, HTTPS_ERR_CERT},
    {CURLE_SSL_CACERT_BADFILE, HTTPS_ERR_CERT},       {CURLE_SSL_CRL_BADFILE, HTTPS_ERR_CERT},
    {CURLE_SSL_INVALIDCERTSTATUS, HTTPS_ERR_CERT},    {CURLE_WRITE_ERROR, HTTPS_ERR_WRITE},
};

// The level-3 window of failed Exec requests, shared by every object.
std::mutex g_execFailMutex;
uint64_t g_ullExecFailStart = 0;
uint32_t g_uiExecFailCount = 0;

void LogExecFailure(CURLcode code, const std::string& path, const std::string& host, uint32_t port) {
    const char* fmt = "curl_easy_perform failed: %s, url: %s[%s:%u]";
    {
        std::lock_guard<std::mutex> lock(g_execFailMutex);
        uint64_t now = static_cast<uint64_t>(time(nullptr));
        if (now < g_ullExecFailStart || now - g_ullExecFailStart >= g_ullExecFailLogWindowSec) {
            g_ullExecFailStart = now;
            g_uiExecFailCount = 0;
        }
        if (g_uiExecFailCount < g_uiExecFailLogMax &&
            CHS_LOG(3, LOGID_TRANSFER, fmt, curl_easy_strerror(code), path.c_str(), host.c_str(), port)) {
            ++g_uiExecFailCount;
        }
    }
    CHS_LOG(0, LOGID_TRANSFER, fmt, curl_easy_strerror(code), path.c_str(), host.c_str(), port);
}

}  // namespace

namespace https_detail {

uint32_t MapCurlCode(CURLcode code) {
    auto found = kCurlErrors.find(code);
    return found == kCurlErrors.end() ? HTTPS_ERR_TRANSFER : found->second;
}

size_t ReadFunc(char* buffer, size_t size, size_t count, void* source) {
    if (source == nullptr) {
        return 0;
    }
    size_t length = size * count;
    return static_cast<ReadStreamInterface*>(source)->Read(buffer, length > UINT_MAX ? UINT_MAX : length);
}

size_t WriteFuncExt(char* data, size_t size, size_t count, void* out) {
    if (out == nullptr) {
        return 0;
    }
    size_t length = size * count;
    if (length > UINT_MAX) {
        CHS_LOG(2, LOGID_TRANSFER, "return_size (%lu) is over uint_max", static_cast<unsigned long>(length));
        return 0;
    }
    return static_cast<WriteStreamInterface*>(out)->Write(data, static_cast<unsigned>(length));
}

size_t ReadHeader(char* buffer, size_t size, size_t count, void* out) {
    size_t length = size * count;
    if (out == nullptr || length == 0 || length > kMaxHeaderLine) {
        return 0;
    }
    // The line is taken as the C text it is (up to a NUL) and split at the first colon.
    std::string line(buffer, strnlen(buffer, length));
    std::string key = line;
    std::string value;
    size_t colon = line.find(':');
    if (colon != std::string::npos) {
        key = line.substr(0, colon);
        value = line.substr(colon + 1);
    }
    Trim(key, " \t");
    Trim(value, " \t\r\n");
    static_cast<WriteStreamInterface*>(out)->SaveOpt(key, value);
    return length;
}

}  // namespace https_detail

void HttpsClass::SetErrorCode(uint32_t code) {
    if (errorCode == 0 || errorCode == HTTPS_ERR_OPTION) {
        errorCode = code;
        return;
    }
    auto newRank = g_httpErrOrder.find(code);
    if (newRank == g_httpErrOrder.end()) {
        return;
    }
    auto oldRank = g_httpErrOrder.find(errorCode);
    if (oldRank == g_httpErrOrder.end() || newRank->second > oldRank->second) {
        errorCode = code;
    }
}

// Body, form, header list and streams of a request live only as long as the
// request; none of them may be left behind for the next request on the handle.
void HttpsClass::ResetRequest() {
    CURL* handle = static_cast<CURL*>(curl);
    curl_easy_setopt(handle, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));
    curl_easy_setopt(handle, CURLOPT_HTTPPOST, static_cast<curl_httppost*>(nullptr));
    curl_easy_setopt(handle, CURLOPT_POSTFIELDS, static_cast<const char*>(nullptr));
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE, -1L);
    curl_easy_setopt(handle, CURLOPT_READDATA, static_cast<void*>(nullptr));
    curl_easy_setopt(handle, CURLOPT_HEADERDATA, static_cast<void*>(nullptr));
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, static_cast<void*>(nullptr));
    curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L);
}

bool HttpsClass::Exec(HttpMethodEnum method, const std::string& path, HttpHeaders& headers,
                      WriteStreamInterface* out, const Json::Value& json, uint32_t timeoutSec,
                      uint32_t connectTimeoutSec) {
    curl_slist* list = nullptr;
    std::string body;
    // Without its own URL the request would go to the previous request's one.
    bool ready = SetRequest(method) && SetUrl(path) && SetHdrOpt(headers, list);
    bool done = false;
    if (ready) {
        SetCntBody(json, body);
        SetExecOut(out);
        HTTPS_SET_OPT(CURLOPT_TIMEOUT, static_cast<long>(timeoutSec), ShowNumber(timeoutSec));
        HTTPS_SET_OPT(CURLOPT_CONNECTTIMEOUT, static_cast<long>(connectTimeoutSec),
                      ShowNumber(connectTimeoutSec));
        CURLcode code = curl_easy_perform(static_cast<CURL*>(curl));
        if (code == CURLE_OK) {
            CHS_LOG(0, LOGID_TRANSFER, "curl_easy_perform success ,rurl: %s", path.c_str());
            done = true;
        } else {
            LogExecFailure(code, path, host, port);
            SetErrorCode(https_detail::MapCurlCode(code));
        }
    }
    ResetRequest();
    curl_slist_free_all(list);
    return done;
}

bool HttpsClass::Upload(ReadStreamInterface* source, const std::string& name, const std::string& path,
                        HttpHeaders& headers, uint32_t timeoutSec, uint32_t connectTimeoutSec,
                        WriteStreamInterface* out) {
    if (source == nullptr || out == nullptr) {
        return false;
    }
    curl_slist* list = nullptr;
    curl_httppost* form = nullptr;
    bool done = false;
    if (SetRequest(HTTP_POST) && SetUrl(path) && SetHdrOpt(headers, list) && SetUpload(source, name, form)) {
        SetExecOut(out);
        HTTPS_SET_OPT(CURLOPT_TIMEOUT, static_cast<long>(timeoutSec), ShowNumber(timeoutSec));
        HTTPS_SET_OPT(CURLOPT_CONNECTTIMEOUT, static_cast<long>(connectTimeoutSec),
                      ShowNumber(connectTimeoutSec));
        SetUpSpeed(uploadLimit);
        CURLcode code = curl_easy_perform(static_cast<CURL*>(curl));
        if (code == CURLE_OK) {
            CHS_LOG(0, LOGID_TRANSFER, "curl_easy_perform success ,rurl: %s", path.c_str());
            done = true;
        } else {
            CHS_LOG(3, LOGID_TRANSFER, "[OMM]curl_easy_perform failed: %s, url: %s[%s,%u]",
                    curl_easy_strerror(code), path.c_str(), host.c_str(), port);
            SetErrorCode(https_detail::MapCurlCode(code));
        }
    }
    ResetRequest();
    curl_formfree(form);
    curl_slist_free_all(list);
    return done;
}

bool HttpsClass::Download(HttpMethodEnum method, const std::string& path, HttpHeaders& headers,
                          WriteStreamInterface* out, uint32_t timeoutSec, uint32_t connectTimeoutSec,
                          uint32_t speedMiB) {
    curl_slist* list = nullptr;
    bool done = false;
    if (SetRequest(method) && SetUrl(path) && SetHdrOpt(headers, list)) {
        SetDownload(out);
        HTTPS_SET_OPT(CURLOPT_TIMEOUT, static_cast<long>(timeoutSec), ShowNumber(timeoutSec));
        HTTPS_SET_OPT(CURLOPT_CONNECTTIMEOUT, static_cast<long>(connectTimeoutSec),
                      ShowNumber(connectTimeoutSec));
        HTTPS_SET_OPT(CURLOPT_LOW_SPEED_TIME, 30L, ShowNumber(30));
        HTTPS_SET_OPT(CURLOPT_LOW_SPEED_LIMIT, 1L, ShowNumber(1));
        SetDownSpeed(static_cast<uint64_t>(speedMiB) * 1048576u);
        CURLcode code = curl_easy_perform(static_cast<CURL*>(curl));
        lastResult = static_cast<uint32_t>(code);
        if (code == CURLE_OK) {
            CHS_LOG(0, LOGID_TRANSFER, "curl_easy_perform success ,rurl: %s", path.c_str());
            done = true;
        } else {
            CHS_LOG(2, LOGID_TRANSFER, "curl_easy_perform failed: %s, url: %s", curl_easy_strerror(code),
                    path.c_str());
            SetErrorCode(https_detail::MapCurlCode(code));
        }
    }
    ResetRequest();
    curl_slist_free_all(list);
    return done;
}
