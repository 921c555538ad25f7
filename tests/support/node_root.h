// A temporary node root for code that maps system paths ("/VXA/...") below
// the root of the platform profile.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/platform_profile.h"
#include "tests/support/temp_dir.h"

namespace chs_test {

// Maps system paths below `root`, with this process's user and group as the
// management owner so that the chown of the code under test works unprivileged.
inline void UseNodeRoot(const std::string& root) {
    platform::Profile profile;
    profile.strRoot = root;
    profile.strOperOwner = std::to_string(getuid()) + ":" + std::to_string(getgid());
    platform::SetProfile(profile);
}

// Installs scripts/<name> of the source tree where the cluster layout puts
// it: <root>/VXA/script/<name>, executable.
inline void InstallScript(const std::string& root, const std::string& name) {
    MakeDirs(root + "/VXA/script");
    std::string target = root + "/VXA/script/" + name;
    std::filesystem::copy_file(std::string(CHS_SOURCE_DIR) + "/scripts/" + name, target,
                               std::filesystem::copy_options::overwrite_existing);
    ASSERT_EQ(chmod(target.c_str(), 0755), 0);
}

}  // namespace chs_test
