// The JSON form of a message, as chsctl send reads it from a person or a
// script: any text must either be refused or give a message whose body
// encodes, decodes and serialises again without fault.
#include <json/json.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "msg/inner_msg.h"
#include "platform/dplog.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    dpax_log_level_set(0, 0);
    dpax_log_level_set(551, 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &root, &errors)) {
        return 0;
    }
    InnerMsg message;
    message.Deserialization(root);

    // Whatever was taken must survive the wire and the JSON form again.
    unsigned int length = 0;
    try {
        length = message.GetBody().length();
    } catch (const std::exception&) {
        return 0;  // a body too big for the wire is refused at encoding
    }
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[length + 1]);
    unsigned int written = message.GetBody().encode(buffer.get(), length);
    if (written != MSG_CODEC_FAILURE) {
        MsgObject decoded;
        if (decoded.decode(buffer.get(), written) == MSG_CODEC_FAILURE) {
            __builtin_trap();
        }
    }
    Json::Value again;
    message.Serialization(again);
    return 0;
}
