#include "platform/transport_socket.h"

#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/om_cluster.h"
#include "platform/transport_message.h"
#include "platform/transport_runtime.h"

namespace platform {
namespace transport {
namespace {

constexpr int kListenBacklog = 128;

std::string SocketPath(const EndpointId& endpoint) {
    return Cluster().strDir + "/run/ep-" + std::to_string(endpoint.usNode) + "-" +
           std::to_string(endpoint.usPid) + ".sock";
}

// Reads up to `size` bytes; fewer only at end of stream or on an error
// (then errno is kept and the count is what arrived before it).
size_t ReadFull(int fd, void* data, size_t size, bool& failed) {
    auto* bytes = static_cast<uint8_t*>(data);
    size_t done = 0;
    failed = false;
    while (done < size) {
        ssize_t got = recv(fd, bytes + done, size - done, 0);
        if (got > 0) {
            done += static_cast<size_t>(got);
        } else if (got == 0) {
            break;
        } else if (errno != EINTR) {
            failed = true;
            break;
        }
    }
    return done;
}

}  // namespace

bool EndpointAddress(const EndpointId& endpoint, sockaddr_storage& address, socklen_t& length,
                     std::string& error) {
    if (Cluster().strDir.empty()) {
        error = "the process is not attached to a cluster";
        return false;
    }
    std::string path = SocketPath(endpoint);
    sockaddr_un unixAddress{};
    if (path.size() >= sizeof(unixAddress.sun_path)) {
        error = "socket path " + path + " is too long";
        return false;
    }
    unixAddress.sun_family = AF_UNIX;
    memcpy(unixAddress.sun_path, path.c_str(), path.size() + 1);
    memset(&address, 0, sizeof(address));
    memcpy(&address, &unixAddress, sizeof(unixAddress));
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
    return true;
}

ListenSocket Listen(const EndpointId& endpoint, std::string& error) {
    ListenSocket result;
    sockaddr_storage address;
    socklen_t length = 0;
    if (!EndpointAddress(endpoint, address, length, error)) {
        return result;
    }
    std::string path = SocketPath(endpoint);
    int probe = Connect(endpoint);
    if (probe >= 0) {
        close(probe);
        error = "another process serves " + path;
        return result;
    }
    unlink(path.c_str());  // a dead process's file; nobody answers on it
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + strerror(errno);
        return result;
    }
    struct stat st {};
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(fd, kListenBacklog) != 0 ||
        stat(path.c_str(), &st) != 0) {
        error = "cannot listen on " + path + ": " + strerror(errno);
        close(fd);
        return result;
    }
    result.fd = fd;
    result.ino = st.st_ino;
    return result;
}

void RemoveSocketFile(const EndpointId& endpoint, const ListenSocket& socket) {
    std::string path = SocketPath(endpoint);
    struct stat st {};
    if (!Cluster().strDir.empty() && stat(path.c_str(), &st) == 0 && st.st_ino == socket.ino) {
        unlink(path.c_str());
    }
}

int Connect(const EndpointId& endpoint) {
    sockaddr_storage address;
    socklen_t length = 0;
    std::string error;
    if (!EndpointAddress(endpoint, address, length, error)) {
        errno = EINVAL;
        return -1;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    int rc;
    do {
        rc = connect(fd, reinterpret_cast<sockaddr*>(&address), length);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

void SetSendStallLimit(int fd) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(kSendStallLimit.count());
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
}

bool WriteFrame(int fd, const FrameHeader& header, const void* body) {
    uint8_t head[kFrameHeaderSize];
    EncodeFrameHeader(header, head);
    iovec parts[2];
    parts[0].iov_base = head;
    parts[0].iov_len = sizeof(head);
    parts[1].iov_base = const_cast<void*>(body);
    parts[1].iov_len = body != nullptr ? header.info.uiMsgLength : 0;
    if (parts[1].iov_len != header.info.uiMsgLength) {
        return false;
    }
    size_t index = 0;
    while (index < 2) {
        if (parts[index].iov_len == 0) {
            ++index;
            continue;
        }
        msghdr message{};
        message.msg_iov = parts + index;
        message.msg_iovlen = 2 - index;
        ssize_t sent = sendmsg(fd, &message, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        size_t left = static_cast<size_t>(sent);
        while (index < 2 && left >= parts[index].iov_len) {
            left -= parts[index].iov_len;
            ++index;
        }
        if (index < 2) {
            parts[index].iov_base = static_cast<uint8_t*>(parts[index].iov_base) + left;
            parts[index].iov_len -= left;
        }
    }
    return true;
}

ReadStatus ReadFrame(int fd, FrameHeader& header, void*& message, FrameError& error) {
    message = nullptr;
    error = FrameError::kNone;
    uint8_t head[kFrameHeaderSize];
    bool failed = false;
    size_t got = ReadFull(fd, head, sizeof(head), failed);
    if (failed) {
        return ReadStatus::kIoError;
    }
    if (got == 0) {
        return ReadStatus::kClosed;
    }
    error = DecodeFrameHeader(head, got, header);
    if (error != FrameError::kNone) {
        return ReadStatus::kBadFrame;
    }
    void* body = NewMessage(header.info.uiMsgLength, 0, "transport receive", 0);
    if (body == nullptr) {
        return ReadStatus::kIoError;
    }
    got = ReadFull(fd, body, header.info.uiMsgLength, failed);
    if (got != header.info.uiMsgLength) {
        FreeMessage(body);
        if (failed) {
            return ReadStatus::kIoError;
        }
        error = FrameError::kTruncated;
        return ReadStatus::kBadFrame;
    }
    SetInfo(body, header.info);
    message = body;
    return ReadStatus::kFrame;
}

}  // namespace transport
}  // namespace platform
