// Sends the platform log of the test process into a file of its own so that
// a test can assert on the lines written while the capture was open.
#pragma once

#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace chs_test {

class LogCapture {
public:
    // Opens the capture with module 551 logging at `level` (platform scale, 7 = debug).
    explicit LogCapture(unsigned int level = 7);
    ~LogCapture();

    std::vector<std::string> Lines() const;
    // Lines that contain `text`.
    std::vector<std::string> Matching(const std::string& text) const;
    bool Contains(const std::string& text) const { return !Matching(text).empty(); }
    size_t Count(const std::string& text) const { return Matching(text).size(); }
    void Clear();

private:
    TempDir m_dir;
    std::string m_path;
};

}  // namespace chs_test
