#include "platform/platform_profile.h"

namespace platform {
namespace {
Profile g_profile;
}  // namespace

const Profile& GetProfile() { return g_profile; }

void SetProfile(const Profile& profile) { g_profile = profile; }

std::string RealPath(const std::string& systemPath) {
    const std::string& root = g_profile.strRoot;
    if (systemPath.empty() || systemPath[0] != '/' || root.empty() || root == "/") {
        return systemPath;
    }
    std::string base = root;
    while (base.size() > 1 && base.back() == '/') {
        base.pop_back();
    }
    if (systemPath.compare(0, base.size(), base) == 0 &&
        (systemPath.size() == base.size() || systemPath[base.size()] == '/')) {
        return systemPath;
    }
    return base + systemPath;
}

}  // namespace platform
