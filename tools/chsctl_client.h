// The client side shared by the chsctl subcommands that talk to a daemon:
// attach to a simulated cluster as a client of one node, send one request
// synchronously, report what went wrong, print a message in its JSON form.
//
// chsctl is single-threaded and attaches once per process; none of this is
// meant to be called from several threads.
#pragma once

#include <cstdint>
#include <string>

#include "msg/inner_msg.h"
#include "tools/chsctl_commands.h"

namespace chs_tools {

// The session key chsctl puts into every management request. The access-
// authentication peer resolves it through <cluster>/peers.json, which
// `./chs cluster up` writes as {"sessions": {"12345": "admin"}}; keep the two
// in step.
constexpr uint32_t kChsctlSessionKey = 12345;

// The daemon's endpoint.
constexpr uint16_t kCollectorPid = 551;

enum class SendOutcome {
    kAnswered,
    kUnreachable,  // no endpoint listens at the destination
    kTimedOut,     // delivered, no answer within the request's time-out
    kNotEncoded,   // the request cannot be encoded
    kFailed,       // transport failure, or an answer that cannot be decoded
};

// Attaches this process to the cluster in `clusterDir` as a client of node
// `node` (it holds no presence) and starts the message transport. false with
// a one-line reason.
bool AttachAsClient(const std::string& clusterDir, uint16_t node, std::string& error);

// Sends `request` to node `node` and waits for the answer. The receiver node
// is filled in; a request time-out of 0 becomes `timeoutSec`. `answer` is
// valid only for kAnswered.
SendOutcome SendRequest(InnerMsg& request, uint16_t node, uint32_t timeoutSec, InnerMsg& answer);

// Prints the reason of a failed send on standard error and returns the exit
// status that goes with it.
int ReportSendFailure(SendOutcome outcome, const InnerMsg& request, uint16_t node);

// Prints `message` in its JSON form on standard output.
void PrintMessageJson(const InnerMsg& message);

// What the subcommands of the global-option form share.

// A request to the daemon's endpoint with chsctl's session key; `record`
// becomes the request's (first) record.
InnerMsg NewCollectorRequest(uint32_t opcode, MsgRecord* record);

// AttachAsClient for the node of `options`; false after printing why.
bool AttachControl(const ControlOptions& options);

// Text of string cell `tag` of the answer's first record; false when there is none.
bool AnswerText(const InnerMsg& answer, unsigned short tag, std::string& text);

// Prints "failed: result 0x%08X" on standard error, followed by " (meaning)"
// when a meaning is given, and returns kExitFailed.
int ReportFailedResult(unsigned int result, const char* meaning = nullptr);

// ReportFailedResult, then "node N says: REASON" when the node gave a reason
// (the text of cell 4094 of its answer) with the refusal.
int ReportRefusal(unsigned int result, const char* meaning, uint16_t node, const std::string& reason);

// A node's text as it may reach a terminal: at most `max` bytes, one line,
// every control character shown as '?'.
std::string TerminalSafe(const std::string& text, size_t max);

}  // namespace chs_tools
