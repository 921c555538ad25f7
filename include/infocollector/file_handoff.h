// Hand-off of collected files as plugins see it: fetching a file of another
// node, asking the local remote-service agent (endpoint 550) to send a file
// on, the standard name of a collected file and the waits that go with
// transfers. The daemon exports these symbols; a plugin resolves them at load
// time, so it must be built with the same C++ standard library. Only standard
// headers are included.
//
// Thread safety: every function may be called from any thread. The send
// functions return once the request is queued; the response callback (or the
// daemon's time-out handler) then runs later on one of the daemon's message
// threads. A plain flag or counter that the callback sets may be waited on
// with waitSendFileFinish / waitAllNodeResponse: they read it atomically, so
// the callback must write it atomically too (__atomic_store_n, or a single
// store the plugin's compiler cannot tear).
#pragma once

#include <cstdint>
#include <string>

// The daemon's message type. A plugin that passes a null callback never needs
// its definition; one that reads answers includes the daemon's msg headers.
class InnerMsg;

// Brings `source` of node `nodeId` into the local directory `destination`
// (the file keeps its name). 0, or -1 when the copy fails.
int pluginGetFile(int nodeId, std::string source, std::string destination);

// Asks the agent to send `file` (a real path) to `address`, or to node
// `nodeId`. `fileType` travels as given. `onResponse` (may be null) receives
// the agent's answer: its result cell 4095 is 0 on success. `timeout` is the
// request's time-out in seconds. 0 when the request was queued; -1 when the
// request could not be built or posted, or when the file should be on this
// node (address form, or the local node id) and is not a regular file; the
// callback is then never called. A file of another node is not checked here
// and travels with size 0.
int pluginSendFile(std::string file, int fileType, std::string address, void (*onResponse)(InnerMsg&),
                   unsigned int timeout);
int pluginSendFile(std::string file, int fileType, unsigned short nodeId, void (*onResponse)(InnerMsg&),
                   unsigned int timeout);

// What became of a file handed to the agent with pluginSendFileWithResult.
enum PluginSendOutcome : int32_t {
    PLUGIN_SEND_DELIVERED = 0,  // the agent answered with result 0: the file is sent
    PLUGIN_SEND_REFUSED = 1,    // the agent answered a failure, or its answer was lost on the way
    PLUGIN_SEND_TIMED_OUT = 2,  // no answer within the time-out; the file may or may not be sent
};

// The `code` of a refusal whose answer could not be read: the transport, not
// the agent, failed.
constexpr uint32_t PLUGIN_SEND_CODE_TRANSPORT = 0xFFFFFFFFu;

// Receives the outcome of one request: `file` as it was passed, `code` the
// agent's result code (its cell 4095) for a refusal, PLUGIN_SEND_CODE_TRANSPORT
// for an unreadable answer, and 0 for the other outcomes. `context` is the
// caller's pointer, passed through untouched.
typedef void (*PluginSendResultFunc)(const std::string& file, PluginSendOutcome outcome, uint32_t code,
                                     void* context);

// Asks the agent to send `file`, as pluginSendFile does (the same request,
// the same checks), and reports the outcome without any message type of the
// daemon. 0 when the request was queued: `onResult` is then called exactly
// once, later, on one of the daemon's message threads (never from within this
// call). -1 when it was not queued (no regular file on this node, a null
// `onResult`, the request could not be posted): `onResult` is never called.
//
// The callback runs on a thread that also carries the daemon's other answers:
// it must return quickly, must not block or wait for another answer
// (waitSendFileFinish, a synchronous request), and must catch what it throws
// (the daemon logs and drops an exception). A result may arrive after the
// driver's Stop returned, up to `timeoutSec` seconds later: `context` must stay
// valid until its call, or be null and the callback need nothing of the
// driver. A result is not carried across a daemon restart.
int pluginSendFileWithResult(const std::string& file, int fileType, const std::string& address,
                             PluginSendResultFunc onResult, void* context, unsigned int timeoutSec);
int pluginSendFileWithResult(const std::string& file, int fileType, unsigned short nodeId,
                             PluginSendResultFunc onResult, void* context, unsigned int timeoutSec);

// Standard name of a collected file:
//   prefix + serial number + ("_SP" + node id, only for kind 0) + "_" + time
//   + time-zone part + suffix
// `time` is the local time as "%Y%m%d%H%M%S". 0, or -1 (with `name` untouched)
// when the serial number or the time zone cannot be read.
int GenCollectorFileNameByNodeId(int kind, const std::string& time, const std::string& prefix,
                                 const std::string& suffix, unsigned short nodeId, std::string& name);
// The same for the local node.
int GenCollectorFileName(int kind, const std::string& time, const std::string& prefix,
                         const std::string& suffix, std::string& name);
// The time-zone part of a name: the zone text without ':' followed by the
// daylight-saving flag (0 or 1), e.g. "UTC+08000". 0 or -1.
int getTimeZoneInfo(std::string& text);

// Whether the current local minute is a collection minute of `timerName`:
// "collect_array" at minutes 0, 5, 10, ...; "collect_node" at 2, 7, 12, ...
// Any other name is logged and answers true.
bool isNodeOrArrayOnCollectTime(std::string timerName);

// Poll once a second, for at most `seconds` seconds, until `done` is true or
// `pending` is 0. The flag or counter is written by response callbacks on
// other threads.
void waitSendFileFinish(bool& done, int seconds);
void waitAllNodeResponse(unsigned int& pending, int seconds);
