#include "tests/support/log_capture.h"

#include <fstream>

#include "infra/chs_log.h"
#include "platform/dplog.h"

namespace chs_test {

LogCapture::LogCapture(unsigned int level) : m_path(m_dir.Join("capture.log")) {
    SetModuleID(551);
    dpax_log_level_set(551, level);
    dpax_log_level_set(0, level);
    platform::LogOpen(m_path);
}

LogCapture::~LogCapture() { platform::LogClose(); }

std::vector<std::string> LogCapture::Lines() const {
    std::vector<std::string> lines;
    std::ifstream in(m_path);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> LogCapture::Matching(const std::string& text) const {
    std::vector<std::string> found;
    for (const std::string& line : Lines()) {
        if (line.find(text) != std::string::npos) {
            found.push_back(line);
        }
    }
    return found;
}

void LogCapture::Clear() {
    std::ofstream truncate(m_path, std::ios::trunc);
    platform::LogOpen(m_path);
}

}  // namespace chs_test
