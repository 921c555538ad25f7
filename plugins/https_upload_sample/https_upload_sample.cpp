// Sample plugin "https_upload_sample": one input driver that, each time it is
// started, uploads one file to the remote support service with the host's
// HTTPS client. Its entry in the plugin configuration file names the file and
// the service:
//
//   { "plugin_type": "input", "name": "https_upload_sample",
//     "plugin_lib_path": ".../libhttps_upload_sample.so",
//     "parameters": [ { "url": ["https://localhost:8443/upload/sample/"] },
//                     { "ca_file": ["/path/ca.pem"] },
//                     { "file": ["/path/of/the/file"] } ] }
//
// The client is the daemon's (resolved when the daemon loads the library); it
// logs each transfer in the daemon's log, and the plugin adds one line with
// the outcome on standard error. Not in the default configuration.
#include <json/json.h>

#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "infocollector/engine.h"
#include "infocollector/host_paths.h"
#include "infocollector/https_client.h"
#include "infocollector/transfer_stream.h"

namespace {

const char* const kPluginName = "https_upload_sample";
constexpr uint32_t kTimeoutSec = 600;
constexpr uint32_t kConnectTimeoutSec = 30;

struct Target {
    std::string host;
    uint32_t port = 443;
    std::string path = "/";
    std::string caFile;
    std::string file;
};

// The first value of parameter `key` in the plugin's entry, or "".
std::string Parameter(const Json::Value& entry, const char* key) {
    for (const Json::Value& group : entry["parameters"]) {
        const Json::Value& values = group.isObject() ? group[key] : Json::Value::nullSingleton();
        if (values.isArray() && !values.empty() && values[0].isString()) {
            return values[0].asString();
        }
    }
    return "";
}

// "https://host[:port][/path]"; false for anything else.
bool ParseUrl(const std::string& url, Target& target) {
    const std::string scheme = "https://";
    if (url.compare(0, scheme.size(), scheme) != 0) {
        return false;
    }
    std::string rest = url.substr(scheme.size());
    size_t slash = rest.find('/');
    std::string authority = rest.substr(0, slash);
    target.path = slash == std::string::npos ? "/" : rest.substr(slash);
    size_t colon = authority.rfind(':');
    target.host = authority.substr(0, colon);
    if (colon != std::string::npos) {
        std::string port = authority.substr(colon + 1);
        if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
            std::stoul(port) == 0 || std::stoul(port) > 65535) {
            return false;
        }
        target.port = static_cast<uint32_t>(std::stoul(port));
    }
    return !target.host.empty() && target.host.find_first_of("@[]") == std::string::npos;
}

bool ReadTarget(Target& target, std::string& why) {
    std::ifstream in(InfocollectorRealPath(INFOCOLLECTOR_PLUGIN_CFG_FILE), std::ios::binary);
    Json::CharReaderBuilder builder;
    Json::Value root;
    std::string errors;
    if (!in || !Json::parseFromStream(builder, in, &root, &errors) || !root["plugin"].isArray()) {
        why = "the plugin configuration file cannot be read";
        return false;
    }
    for (const Json::Value& entry : root["plugin"]) {
        if (entry.isObject() && entry["name"].asString() == kPluginName && entry["parameters"].isArray()) {
            target.caFile = Parameter(entry, "ca_file");
            target.file = Parameter(entry, "file");
            if (!ParseUrl(Parameter(entry, "url"), target) || target.caFile.empty() || target.file.empty()) {
                why = "the parameters need an https url, a ca_file and a file";
                return false;
            }
            return true;
        }
    }
    why = "no entry for the plugin";
    return false;
}

// One upload; "" on success, else why not.
std::string UploadOnce() {
    Target target;
    std::string why;
    if (!ReadTarget(target, why)) {
        return why;
    }
    std::ifstream ca(target.caFile, std::ios::binary);
    std::ostringstream pem;
    pem << ca.rdbuf();
    if (!ca || pem.str().empty()) {
        return "cannot read " + target.caFile;
    }
    std::string name = target.file.substr(target.file.rfind('/') + 1);
    try {
        HttpsClass client(target.host, target.port, pem.str());
        client.SetUploadLimit(0);
        InputFileStreamClass source(target.file);
        HttpReponseStreamClass response;
        HttpHeaders headers;
        if (!client.Upload(&source, name, target.path, headers, kTimeoutSec, kConnectTimeoutSec, &response)) {
            char code[16];
            snprintf(code, sizeof(code), "0x%08X", client.GetErrorCode());
            return std::string("the upload failed, error ") + code;
        }
        if (response.status < 200 || response.status > 299) {
            return "the service answered HTTP status " + std::to_string(response.status);
        }
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

class HttpsUploadDriver : public InputDriverBase {
  public:
    ~HttpsUploadDriver() override { Stop(); }

    int32_t Start() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_thread.joinable()) {
            m_thread.join();  // the last upload is over or ends soon; one at a time
        }
        m_thread = std::thread([] {
            std::string why = UploadOnce();
            fprintf(stderr, "%s: %s\n", kPluginName,
                    why.empty() ? "uploaded" : ("not uploaded: " + why).c_str());
        });
        return 0;
    }

    // An upload in flight runs to its end (at most its time-out).
    int32_t Stop() override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_thread.joinable()) {
            m_thread.join();
        }
        return 0;
    }

  private:
    std::mutex m_mutex;
    std::thread m_thread;
};

}  // namespace

extern "C" int32_t GetEngineVersion() { return INFOCOLLECT_ENGINE_VERSION; }

extern "C" int32_t RegisterPlugin(InfoCollectEngineClass* engine) {
    std::string name = kPluginName;
    HttpsUploadDriver* driver = new HttpsUploadDriver();
    if (engine->AddInputDriver(name, driver) != 0) {
        delete driver;
        return -1;
    }
    return 0;
}
