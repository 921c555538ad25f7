// Checks and decodes arbitrary bytes as a NetMgrMsg. CheckValid and Decode
// must agree, a failed Decode must leave the message as it was, and a decoded
// message must encode back to a buffer that decodes to the same message.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <vector>

#include "infra/chs_log.h"
#include "msg/msg_exception.h"
#include "msg/net_mgr_msg.h"
#include "platform/dplog.h"

namespace {

std::string DumpOf(const NetMgrMsg& message) {
    std::ostringstream out;
    message.Dump(out);
    return out.str();
}

[[noreturn]] void Fail(const char* what) {
    fprintf(stderr, "net_mgr_msg_fuzz: %s\n", what);
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetModuleID(551);
    dpax_log_level_set(551, 0);
    dpax_log_level_set(0, 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0xFFFFFFFFu) {
        return 0;
    }
    unsigned int size32 = static_cast<unsigned int>(size);
    // Decode takes a mutable buffer; give it a copy of exactly `size` bytes so
    // that ASan sees any read past the end.
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[size ? size : 1]);
    if (size) memcpy(buffer.get(), data, size);

    Q7XMsgHeadV3 head = MakeFreshQ7XMsgHeadV3();
    unsigned int valid = NetMgrMsg::CheckValid(buffer.get(), size32, head);

    NetMgrMsg message;
    message.SetSessionKey(1234);
    message.GetBody().append(new MsgRecord(99));
    std::string before = DumpOf(message);
    unsigned int read = message.Decode(buffer.get(), size32);
    if (read == MSG_CODEC_FAILURE) {
        if (DumpOf(message) != before) Fail("a failed decode changed the message");
        return 0;
    }
    if (valid != 0) Fail("Decode accepted what CheckValid refused");
    if (read != size32) Fail("Decode did not consume the whole buffer");

    unsigned char* raw = nullptr;
    unsigned int bodyLength = 0;
    try {
        bodyLength = message.Encode(raw);
    } catch (const MsgException&) {
        Fail("a decoded message cannot be encoded");
    }
    std::unique_ptr<unsigned char[]> encoded(raw);
    NetMgrMsg again;
    if (again.Decode(encoded.get(), 28 + bodyLength) != 28 + bodyLength)
        Fail("re-encoded message does not decode");
    if (DumpOf(again) != DumpOf(message)) Fail("re-encoded message decodes differently");
    if (memcmp(&again.GetHead(), &message.GetHead(), sizeof(Q7XMsgHeadV3)) != 0) Fail("header changed");
    return 0;
}
