// libcurl's process-wide state: initialised once at start-up, released at exit.
#include "infra/chs_log.h"
#include "transfer/https_internal.h"

namespace {

bool g_curlInited = false;

class CurlInitClass {
  public:
    ~CurlInitClass() {
        if (g_curlInited) {
            curl_global_cleanup();
        }
    }
};

CurlInitClass g_curlInit;

}  // namespace

bool CURL_Init() {
    CURLcode code = curl_global_init(CURL_GLOBAL_ALL);
    if (code != CURLE_OK) {
        CHS_LOG(2, LOGID_TRANSFER, "Failed to init curl, now exit. Error: %s", curl_easy_strerror(code));
        return false;
    }
    g_curlInited = true;
    return true;
}
