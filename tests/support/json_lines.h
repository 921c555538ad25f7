// JSON-lines files that chs-peers writes (events, alarm entries), for tests.
#pragma once

#include <json/json.h>

#include <filesystem>
#include <string>
#include <vector>

#include "infra/json_util.h"
#include "tests/support/temp_dir.h"

namespace chs_test {

// Each line of `file` parsed; none while the file does not exist.
inline std::vector<Json::Value> JsonLines(const std::string& file) {
    std::vector<Json::Value> lines;
    for (const std::string& line : SplitLines(std::filesystem::exists(file) ? ReadText(file) : "")) {
        lines.push_back(JsonDeserialization(line));
    }
    return lines;
}

}  // namespace chs_test
