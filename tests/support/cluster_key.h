// A node root with a cluster key, for tests of what is encrypted under it.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "platform/kmca.h"
#include "tests/support/node_root.h"
#include "tests/support/temp_dir.h"

namespace chs_test {

// Maps system paths below `root` and gives it a fresh cluster key where the
// cluster layout puts one (VXA/conf/kmca/cluster.key, 0600, directory 0700).
inline void UseNodeRootWithKey(const std::string& root) {
    UseNodeRoot(root);
    MakeDirs(root + "/VXA/conf/kmca");
    ASSERT_EQ(chmod((root + "/VXA/conf/kmca").c_str(), 0700), 0);
    std::string error;
    ASSERT_TRUE(platform::CreateClusterKey(platform::ClusterKeyPath(), error)) << error;
}

}  // namespace chs_test
