#include "tools/chsctl_json.h"

#include <json/json.h>

#include <iostream>

namespace chs_tools {

void PrintJsonDocument(const Json::Value& document) {
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "  ";
    std::cout << Json::writeString(writer, document) << std::endl;
}

}  // namespace chs_tools
