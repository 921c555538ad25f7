// A temporary directory that is removed with everything in it when the
// object goes out of scope.
#pragma once

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
// The lines of `text`, without their line ends.
std::vector<std::string> SplitLines(const std::string& text);

}  // namespace chs_test
