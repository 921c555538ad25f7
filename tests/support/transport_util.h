// Messages and raw sockets for the tests of the message transport.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/msg_transport.h"

namespace chs_test {

// A message buffer holding `bytes`.
inline void* NewBody(const std::string& bytes) {
    void* message = MSG_AllocMsg(static_cast<uint32_t>(bytes.size()), 0, __func__, __LINE__);
    if (!bytes.empty()) {
        memcpy(message, bytes.data(), bytes.size());
    }
    return message;
}

inline std::string BodyOf(void* message) {
    tagMsgInfo info{};
    MSG_GetMsgInfo(message, &info);
    return std::string(static_cast<const char*>(message), info.uiMsgLength);
}

inline tagMsgInfo RequestInfo(uint16_t node, uint16_t pid, uint32_t opcode, size_t length, uint32_t timeout) {
    tagMsgInfo info;
    MSG_InitMsgInfo(&info);
    info.usReceiverBID = node;
    info.usReceiverPID = pid;
    info.uiMsgOPCode = opcode;
    info.uiMsgLength = static_cast<uint32_t>(length);
    info.uiMsgTimeout = timeout;
    return info;
}

// Sends `text` synchronously as `info` says; the answer's body, or "rc=<result>".
inline std::string AskSync(tagMsgInfo info, const std::string& text) {
    void* answer = nullptr;
    int rc = MSG_SendSyncMsg(NewBody(text), &info, &answer);
    std::string result = rc == 0 ? BodyOf(answer) : "rc=" + std::to_string(rc);
    MSG_FreeMsg(answer);
    return result;
}

inline sockaddr_un AddressOf(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
    return address;
}

// A stream socket connected to `path`, bound first to `bindPath` when given; -1 on failure.
inline int ConnectTo(const std::string& path, const std::string& bindPath = "") {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (!bindPath.empty()) {
        sockaddr_un own = AddressOf(bindPath);
        bind(fd, reinterpret_cast<sockaddr*>(&own), sizeof(own));
    }
    sockaddr_un address = AddressOf(path);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

inline bool CanConnect(const std::string& path) {
    int fd = ConnectTo(path);
    close(fd);
    return fd >= 0;
}

}  // namespace chs_test
