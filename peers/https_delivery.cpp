#include "peers/https_delivery.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "include/infocollector/https_client.h"
#include "include/infocollector/transfer_stream.h"
#include "peers/peer_codes.h"

namespace chs_peers {
namespace {

constexpr uint64_t kMaxPemBytes = 1 << 20;
constexpr uint32_t kMaxConnectSec = 30;
constexpr size_t kMaxExcerpt = 200;

std::string Hex(uint32_t code) {
    char text[16];
    snprintf(text, sizeof(text), "0x%08X", code);
    return text;
}

// A PEM file of at most 1 MiB holding at least one object with `marker`.
bool ReadPem(const std::string& path, const char* what, const char* marker, std::string& pem,
             std::string& why) {
    std::error_code ec;
    uint64_t size = std::filesystem::file_size(path, ec);
    std::ifstream in(path, std::ios::binary);
    if (ec || !in || size > kMaxPemBytes) {
        why = std::string("the ") + what + " file " + path + " cannot be read" +
              (ec ? "" : " or is over 1 MiB");
        return false;
    }
    std::string text(static_cast<size_t>(size), '\0');
    in.read(&text[0], static_cast<std::streamsize>(size));
    if (!in || text.find(marker) == std::string::npos) {
        why = std::string("the ") + what + " file " + path + " holds no PEM " + marker + " object";
        return false;
    }
    pem += text;
    if (!pem.empty() && pem.back() != '\n') {
        pem += '\n';
    }
    return true;
}

// A file name that can stand in the quoted file name of a part header.
bool IsSafeName(const std::string& name) {
    if (name.empty() || name.size() > 255 || name == "." || name == "..") {
        return false;
    }
    return std::none_of(name.begin(), name.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == '"' || c == '\\' || c == '/';
    });
}

// The start of an answer body, printable ASCII only, for a reason text.
std::string Excerpt(const std::string& body) {
    std::string out;
    for (char c : body.substr(0, kMaxExcerpt)) {
        out += (c >= 0x20 && c < 0x7f) ? c : ' ';
    }
    return body.size() > kMaxExcerpt ? out + "..." : out;
}

std::string HostForUrl(const std::string& host) {
    return host.find(':') == std::string::npos ? host : "[" + host + "]";
}

// When the answer reports the size it stored for `name`, whether that is `size`.
bool SizeAgrees(const Json::Value& root, const std::string& name, uint64_t size, uint64_t& stored) {
    const Json::Value& saved = root.isObject() ? root["saved"] : Json::Value::nullSingleton();
    if (!saved.isArray()) {
        return true;
    }
    for (const Json::Value& entry : saved) {
        if (entry.isObject() && entry["name"].isString() && entry["name"].asString() == name &&
            entry["size"].isUInt64()) {
            stored = entry["size"].asUInt64();
            return stored == size;
        }
    }
    return true;
}

}  // namespace

const char* HttpsErrorText(uint32_t code) {
    switch (code) {
        case 0:
            return "no error";
        case HTTPS_ERR_NO_DNS:
            return "no DNS service for a host name";
        case HTTPS_ERR_RESOLVE:
            return "the host or proxy cannot be resolved";
        case HTTPS_ERR_TRANSFER:
            return "connection or transfer failure";
        case HTTPS_ERR_CERT:
            return "certificate or CRL problem";
        case HTTPS_ERR_WRITE:
            return "local write failure";
        case HTTPS_ERR_OPTION:
            return "a transfer option cannot be set";
        default:
            return "transfer failure";
    }
}

uint32_t UploadFile(const RemoteConfig& config, const std::string& file, const std::string& dirName,
                    const std::string& name, UploadOutcome& outcome, std::string& why) {
    std::string path = config.strPath + "/" + dirName + "/";
    outcome.strUrl = "https://" + HostForUrl(config.strHost) + ":" + std::to_string(config.uiPort) + path;
    if (!IsSafeName(name)) {
        why =
            "the file name cannot travel in an upload (control characters, quotes, backslashes or over 255 "
            "bytes)";
        return PEER_ERR_BAD_REQUEST;
    }
    std::string pem;
    if (!ReadPem(config.strCaFile, "CA", "-----BEGIN CERTIFICATE-----", pem, why) ||
        (!config.strCrlFile.empty() &&
         !ReadPem(config.strCrlFile, "CRL", "-----BEGIN X509 CRL-----", pem, why))) {
        return PEER_ERR_CONFIG;
    }
    std::error_code ec;
    uint64_t size = std::filesystem::file_size(file, ec);
    std::ifstream probe(file, std::ios::binary);
    if (ec || !probe) {
        why = "cannot read " + file + (ec ? ": " + ec.message() : "");
        return PEER_ERR_FILE;
    }
    probe.close();
    try {
        HttpsClass client(config.strHost, config.uiPort, pem);
        client.SetUploadLimit(0);
        if (config.uiProxyType != 0 &&
            !client.SetProxy(config.strProxyHost, config.uiProxyPort, config.strProxyUser,
                             config.strProxyPassword, static_cast<HttpProxyTypeEnum>(config.uiProxyType))) {
            outcome.uiErrorCode = client.GetErrorCode();
            why = "the proxy " + HostForUrl(config.strProxyHost) + ":" + std::to_string(config.uiProxyPort) +
                  " cannot be used (error " + Hex(outcome.uiErrorCode) + ": " +
                  HttpsErrorText(outcome.uiErrorCode) + ")";
            return PEER_ERR_UPLOAD;
        }
        InputFileStreamClass source(file);
        HttpReponseStreamClass response;
        HttpHeaders headers;
        bool sent = client.Upload(&source, name, path, headers, config.uiTimeoutSec,
                                  std::min(config.uiTimeoutSec, kMaxConnectSec), &response);
        outcome.uiErrorCode = client.GetErrorCode();
        outcome.iStatus = response.status;
        std::string what = "uploading " + name + " to " + outcome.strUrl;
        if (!sent) {
            // A 2xx seen before a failure is a proxy's tunnel coming up, not the service's answer.
            bool refusal = outcome.iStatus != 0 && (outcome.iStatus < 200 || outcome.iStatus > 299);
            why = what + " failed (error " + Hex(outcome.uiErrorCode) + ": " +
                  HttpsErrorText(outcome.uiErrorCode) +
                  (refusal ? ", HTTP status " + std::to_string(outcome.iStatus) : "") + ")";
            return PEER_ERR_UPLOAD;
        }
        if (outcome.iStatus < 200 || outcome.iStatus > 299) {
            why = what + ": the service answered HTTP status " + std::to_string(outcome.iStatus) +
                  (response.body.empty() ? "" : ": " + Excerpt(response.body));
            return PEER_ERR_UPLOAD;
        }
        uint64_t stored = 0;
        if (!SizeAgrees(response.root, name, size, stored)) {
            why = what + ": the service stored " + std::to_string(stored) + " of " + std::to_string(size) +
                  " bytes";
            return PEER_ERR_UPLOAD;
        }
        return PEER_OK;
    } catch (const std::exception& e) {
        why = std::string("the HTTPS client cannot start: ") + e.what();
        return PEER_ERR_UPLOAD;
    }
}

}  // namespace chs_peers
