#include "infra/error_code_desc.h"

#include <cerrno>
#include <cstring>

std::map<unsigned int, std::string> errorCodeDescMap;

namespace {

// strerror_r comes in two shapes; take whichever the C library provides.
[[maybe_unused]] const char* ErrorText(int result, const char* buffer) {
    return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] const char* ErrorText(const char* result, const char*) { return result; }

}  // namespace

std::string GetErrorCodeDesc(unsigned int code) {
    auto it = errorCodeDescMap.find(code);
    return it == errorCodeDescMap.end() ? std::string() : it->second;
}

std::string sysError(int err) {
    if (err == 0) {
        err = errno;
    }
    char buffer[256] = {};
    const char* text = ErrorText(strerror_r(err, buffer, sizeof(buffer)), buffer);
    if (text == nullptr) {
        return "Unknown error " + std::to_string(err);
    }
    return std::string(text, strnlen(text, sizeof(buffer) - 1));
}
