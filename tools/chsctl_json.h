// The documents chsctl prints with --json: one JSON object per command on
// standard output, in the schemas the README lists, keys in alphabetical
// order. `send` prints the wire form of the answer instead (PrintMessageJson).
#pragma once

#include <cstdint>

namespace Json {
class Value;
}

namespace chs_tools {

// Prints `document` on standard output as one line, followed by a newline.
void PrintJsonDocument(const Json::Value& document);

// true for the codes that mean -1: all ones in 32 or 64 bits.
bool IsAllOnesResult(uint64_t code);

// A result code for JSON: -1 for all ones, else the code.
Json::Value ResultJson(uint64_t code);

// Adds "result" (ResultJson) and "result_text" (`meaning`, "" when there is
// none) to the document of a refused request.
void AddResultFields(Json::Value& document, uint64_t code, const char* meaning);

}  // namespace chs_tools
