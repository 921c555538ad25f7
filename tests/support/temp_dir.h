// A temporary directory that is removed with everything in it when the
// object goes out of scope.
#pragma once

#include <sys/types.h>

#include <set>
#include <string>
#include <vector>

namespace chs_test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string Join(const std::string& relative) const { return m_path + "/" + relative; }

private:
    std::string m_path;
};

// Small file helpers for tests; each fails the current test on error.
void WriteText(const std::string& path, const std::string& text);
std::string ReadText(const std::string& path);
void MakeDirs(const std::string& path);
// The permission bits of `path` itself, a link not followed.
mode_t ModeOf(const std::string& path);
// The names directly in `dir`; empty when it cannot be read.
std::set<std::string> Entries(const std::string& dir);
// The lines of `text`, without their line ends.
std::vector<std::string> SplitLines(const std::string& text);

}  // namespace chs_test
