#include "infra/json_util.h"

#include <memory>

std::string JsonSerialization(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    return Json::writeString(builder, value);
}

bool JsonDeserialization(const std::string& text, Json::Value& value) {
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value parsed;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &parsed, &errors)) {
        return false;
    }
    value = std::move(parsed);
    return true;
}

Json::Value JsonDeserialization(const std::string& text) {
    Json::Value value;
    if (!JsonDeserialization(text, value)) {
        return Json::Value();
    }
    return value;
}

std::string FromJson(const Json::Value& object, const std::string& key) {
    if (!object.isObject()) {
        return "";
    }
    const Json::Value* member = object.find(key.data(), key.data() + key.size());
    if (member == nullptr) {
        return "";
    }
    switch (member->type()) {
        case Json::stringValue:
            return member->asString();
        case Json::intValue:
            return std::to_string(member->asLargestInt());
        case Json::uintValue:
            return std::to_string(member->asLargestUInt());
        default: {
            Json::StreamWriterBuilder builder;
            builder["indentation"] = "";
            return Json::writeString(builder, *member);
        }
    }
}
