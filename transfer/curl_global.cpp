#include "transfer/curl_global.h"

#include <curl/curl.h>

#include "infra/chs_log.h"

bool CURL_Init() {
    CURLcode code = curl_global_init(CURL_GLOBAL_ALL);
    if (code != CURLE_OK) {
        CHS_LOG(3, LOGID_TRANSFER, "Init curl failed, error code(%d).", static_cast<int>(code));
        return false;
    }
    return true;
}
