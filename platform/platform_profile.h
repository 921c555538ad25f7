// The platform profile: what differs between a real controller and a node of a
// simulated cluster. Everything else about the daemon is the same on both.
#pragma once

#include <string>

namespace platform {

struct Profile {
    std::string strRoot = "/";           // node root; every "/VXA/..." path lives below it
    std::string strClusterDir;           // directory of cluster.json; empty outside a cluster
    std::string strSudoPrefix = "sudo "; // prefix of privileged commands
    std::string strOperOwner = "root:OPERUSERS";
    std::string strExportOwner = "root:exporteventloggroup";
    std::string strVrfWrapper = "ip vrf exec vrf-inner ";
    std::string strResetProgram = "/sbin/reboot";  // what a forced controller restart executes
    // The control-group script, by absolute path: a launcher's PATH must not
    // choose what the daemon runs at start-up.
    std::string strCgroupProgram = "/usr/sbin/omm_cgroup.sh";
};

// The profile is set once during cluster initialisation (or by a test) before
// other threads read it; readers get a reference that stays valid until the
// next SetProfile.
const Profile& GetProfile();
void SetProfile(const Profile& profile);

// Maps an absolute path of the system ("/VXA/coffer_data/...") to the real
// path below the node root. Relative paths and paths already below the root
// come back unchanged. This is the only place where roots are joined.
std::string RealPath(const std::string& systemPath);

}  // namespace platform
