// JSON text conversion over jsoncpp. Stateless; callable from any thread
// (each call builds its own reader or writer).
#pragma once

#include <json/json.h>

#include <string>

// The value as text, written with the default stream-writer settings.
std::string JsonSerialization(const Json::Value& value);

// Parses the whole text; true on success (`value` then holds the result).
bool JsonDeserialization(const std::string& text, Json::Value& value);
// The parsed value; a null value when the text does not parse.
Json::Value JsonDeserialization(const std::string& text);

// The text of member `key` of `object`: a string as it is, an integer in
// decimal, anything else as its compact JSON text. Empty when `object` is not
// an object or lacks the member. Never adds a member.
std::string FromJson(const Json::Value& object, const std::string& key);
