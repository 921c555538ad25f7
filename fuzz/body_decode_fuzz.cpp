// Decodes arbitrary bytes as a TLV body. A body that decodes must encode back
// to bytes that decode to the same records, and its encoding must be exactly
// as long as the input (the body format has no slack).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "infra/chs_log.h"
#include "msg/msg_exception.h"
#include "msg/msg_object.h"
#include "platform/dplog.h"

namespace {

std::string DumpOf(const MsgObject& body) {
    std::ostringstream out;
    body.dump(out);
    return out.str();
}

[[noreturn]] void Fail(const char* what) {
    fprintf(stderr, "body_decode_fuzz: %s\n", what);
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Rejections are logged at level 3; keep the log out of the measurement.
    SetModuleID(551);
    dpax_log_level_set(551, 0);
    dpax_log_level_set(0, 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0xFFFFFFFFu) {
        return 0;
    }
    MsgObject body;
    unsigned int read = body.decode(data, static_cast<unsigned int>(size));
    if (read == MSG_CODEC_FAILURE) {
        if (!body.empty()) Fail("a failed decode left records behind");
        return 0;
    }
    if (read != size) Fail("a successful decode did not consume the whole body");

    unsigned int length = 0;
    try {
        length = body.length();
    } catch (const MsgException&) {
        Fail("a decoded body cannot be encoded");
    }
    // Duplicate tags are dropped on decoding, so the encoding may be shorter.
    if (length > size) Fail("re-encoding is longer than the input");
    std::vector<unsigned char> wire(length + 1);
    if (body.encode(wire.data(), length) != length) Fail("encode wrote an unexpected length");
    if (length > 0 && body.encode(wire.data(), length - 1) != MSG_CODEC_FAILURE)
        Fail("short encode accepted");

    MsgObject again;
    if (again.decode(wire.data(), length) != length) Fail("re-encoded body does not decode");
    if (DumpOf(again) != DumpOf(body)) Fail("re-encoded body decodes differently");

    MsgObject copy(body);
    if (DumpOf(copy) != DumpOf(body)) Fail("copy differs");
    return 0;
}
