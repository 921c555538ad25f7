#include "collector/shared_library_manager.h"

#include <dlfcn.h>

#include "infra/chs_log.h"

namespace {
constexpr const char* kSoSuffix = ".so";
constexpr size_t kSoSuffixLen = 3;
}  // namespace

bool SharedLibraryManagerClass::IsValidSoName(const std::string& path) {
    // The first ".so" must be the end: "x.so.1" and "x.so.old.so" are
    // versioned or renamed copies that must not be picked up as plugins.
    size_t pos = path.find(kSoSuffix);
    return pos != std::string::npos && pos + kSoSuffixLen == path.size();
}

void* SharedLibraryManagerClass::LoadLib(const std::string& path) {
    if (!IsValidSoName(path)) {
        CHS_LOG(3, LOGID_COLLECTOR, "Invalid so name: %s.", path.c_str());
        return nullptr;
    }
    void* handle = dlopen(path.c_str(), RTLD_NOW);
    if (handle == nullptr) {
        const char* reason = dlerror();
        CHS_LOG(3, LOGID_COLLECTOR, "Could not load %s, reason: %s.", path.c_str(),
                reason == nullptr ? "unknown" : reason);
    }
    return handle;
}

void SharedLibraryManagerClass::UnloadLib(void* handle) {
    if (handle == nullptr) {
        return;
    }
    if (dlclose(handle) != 0) {
        CHS_LOG(2, LOGID_COLLECTOR, "Could not unload shared object");
    }
}
