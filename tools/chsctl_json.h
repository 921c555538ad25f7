// The documents chsctl prints with --json: one JSON object per command on
// standard output, in the schemas the README lists. `send` prints the wire
// form of the answer instead (PrintMessageJson).
#pragma once

namespace Json {
class Value;
}

namespace chs_tools {

// Prints `document` on standard output, indented, followed by a newline.
void PrintJsonDocument(const Json::Value& document);

}  // namespace chs_tools
