#include "platform/platform_profile.h"

namespace platform {
namespace {
// Never destroyed: threads still running while the exit handlers run (message
// tasks polling their trace points, timers, transports) keep mapping paths.
Profile& TheProfile() {
    static Profile* profile = new Profile;
    return *profile;
}
}  // namespace

const Profile& GetProfile() { return TheProfile(); }

void SetProfile(const Profile& profile) { TheProfile() = profile; }

std::string RealPath(const std::string& systemPath) {
    const std::string& root = TheProfile().strRoot;
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
