// Transport messages. A message is a pointer to its body; in front of the
// body, out of the caller's sight, sits a header holding the message
// information record, the private data of an answer, and the route of a
// received request (the connection it came by and its correlation id, which
// is all an answer needs to travel back).
//
// Every message is on a live list until it is freed, so that tests can count
// the buffers in use and ClientExit can name the call sites of those left.
//
// Ownership: whoever holds the pointer frees it once with FreeMessage (or
// MSG_FreeMsg). Thread-safe; a single message must not be used by two threads
// while one of them frees it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/msg_transport.h"

namespace platform {
namespace transport {

struct MessageRoute {
    uint64_t ulConnection = 0;  // 0: not a received request
    uint64_t ulCorrelation = 0;
    uint64_t ulSource = 0;  // the connection a received request or answer came by; 0: made here
};

// A new message of `length` zeroed body bytes with uiMsgLength = length; null
// when `length` is over MSG_MAX_BODY_LENGTH or memory is short.
void* NewMessage(uint32_t length, uint32_t module, const char* func, uint32_t line);
void FreeMessage(void* message);

// False (and nothing done) when `message` is not a live transport message.
bool IsMessage(void* message);
uint32_t Capacity(void* message);
bool SetInfo(void* message, const tagMsgInfo& info);
bool Info(void* message, tagMsgInfo& info);
bool SetPrivateData(void* message, const tagPrivateData* data);  // null clears it
bool SetRoute(void* message, const MessageRoute& route);
bool Route(void* message, MessageRoute& route);

// The record of an answer to `request`: sender and receiver swapped, type
// MSG_TYPE_RESPONSE, the request's operation code, session key and time-out.
tagMsgInfo AnswerInfo(const tagMsgInfo& request, uint32_t state, uint32_t length);

// For tests and leak reports: the number of live messages, and one log line
// per live message naming the site that allocated it. Returns the count.
size_t LiveMessageCount();
size_t ReportLiveMessages();

}  // namespace transport
}  // namespace platform
