// What the parts of the HTTPS client share and the plugins do not see: the
// option setter with its failure line, the libcurl transfer callbacks, the
// error mapping and the tunables of the request-failure log window.
#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <string>

#include "infocollector/https_client.h"

// Cipher list for the server and for an HTTPS proxy.
extern const char* const SSL_CIPHER_LIST;

// At most g_uiExecFailLogMax level-3 lines about failed Exec requests per
// g_ullExecFailLogWindowSec seconds, process-wide (every failure is also
// logged at level 0). Set before requests run; tests lower them.
extern uint64_t g_ullExecFailLogWindowSec;
extern uint32_t g_uiExecFailLogMax;

namespace https_detail {

// Records a failed option in `self` (0xFFFFFFFF) and logs it; true when `code` is CURLE_OK.
// `shown` is the value as the log line prints it, so secrets are passed masked.
bool OptionSet(HttpsClass* self, CURLcode code, const char* name, const std::string& shown);

std::string ShowNumber(long long value);
std::string ShowText(const char* text);
std::string ShowPointer(const void* pointer);

// The daemon error code of a failed transfer.
uint32_t MapCurlCode(CURLcode code);

// libcurl callbacks; `stream` is the ReadStreamInterface* / WriteStreamInterface*
// handed to the option, passed through void*.
size_t ReadFunc(char* buffer, size_t size, size_t count, void* source);
size_t WriteFuncExt(char* data, size_t size, size_t count, void* out);
size_t ReadHeader(char* buffer, size_t size, size_t count, void* out);

// Longest response header line accepted; a longer one aborts the transfer.
constexpr size_t kMaxHeaderLine = 8192;

}  // namespace https_detail

// Sets an option on the object's handle and logs a failure under the option's own name.
#define HTTPS_SET_OPT(option, value, shown) \
    https_detail::OptionSet(this, curl_easy_setopt(static_cast<CURL*>(curl), option, value), #option, shown)
