#include "tools/chsctl_json.h"

#include <json/json.h>

#include <iostream>

namespace chs_tools {

void PrintJsonDocument(const Json::Value& document) {
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    writer["emitUTF8"] = true;
    std::cout << Json::writeString(writer, document) << std::endl;
}

bool IsAllOnesResult(uint64_t code) { return code == 0xFFFFFFFFULL || code == UINT64_MAX; }

Json::Value ResultJson(uint64_t code) {
    return IsAllOnesResult(code) ? Json::Value(-1) : Json::Value(static_cast<Json::UInt64>(code));
}

void AddResultFields(Json::Value& document, uint64_t code, const char* meaning) {
    document["result"] = ResultJson(code);
    document["result_text"] = meaning != nullptr ? meaning : "";
}

}  // namespace chs_tools
