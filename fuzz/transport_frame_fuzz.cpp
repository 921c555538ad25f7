// Transport frames as they arrive from a peer: the in-memory decoder, and the
// stream reader the connections use, fed the same bytes through a socket.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/transport_frame.h"
#include "platform/transport_message.h"
#include "platform/transport_socket.h"

using namespace platform::transport;

namespace {

// Larger inputs would block the writer on a full socket buffer.
constexpr size_t kMaxStreamInput = 64 * 1024;

void CheckDecoder(const uint8_t* data, size_t size) {
    FrameHeader header;
    const uint8_t* body = nullptr;
    if (DecodeFrame(data, size, header, body) != FrameError::kNone) {
        return;
    }
    // A frame that decodes is canonical: encoding it again gives the same bytes.
    std::vector<uint8_t> again = EncodeFrame(header, body);
    if (again.size() != size || memcmp(again.data(), data, size) != 0) {
        abort();
    }
}

void CheckStreamReader(const uint8_t* data, size_t size) {
    if (size > kMaxStreamInput) {
        return;
    }
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
        return;
    }
    size_t written = 0;
    while (written < size) {
        ssize_t n = send(fds[1], data + written, size - written, MSG_NOSIGNAL);
        if (n <= 0) {
            break;
        }
        written += static_cast<size_t>(n);
    }
    close(fds[1]);
    for (;;) {
        FrameHeader header;
        void* message = nullptr;
        FrameError error = FrameError::kNone;
        if (ReadFrame(fds[0], header, message, error) != ReadStatus::kFrame) {
            if (message != nullptr) {
                abort();  // a refused frame must leave nothing behind
            }
            break;
        }
        tagMsgInfo info;
        if (!Info(message, info) || info.uiMsgLength != header.info.uiMsgLength ||
            Capacity(message) != info.uiMsgLength) {
            abort();
        }
        FreeMessage(message);
    }
    close(fds[0]);
    if (LiveMessageCount() != 0) {
        abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    CheckDecoder(data, size);
    CheckStreamReader(data, size);
    return 0;
}
