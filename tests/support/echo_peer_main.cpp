// A message endpoint for whole-system tests: attaches to a cluster as a node,
// registers one process endpoint and serves test operations.
//
//   echo_peer <cluster.json> <node-id> <node-root> <pid>
//
// 0x7E01 echo: answers with the request's records and cell 4095 = 1.
// 0x7E02 silent: never answers.
// 0x7E03 relay: asks node <cell 1> endpoint <cell 2> for an echo,
//        synchronously from inside the handler, and answers with its error code.
// 0x7E04 slow: echoes after 20 ms, so that a burst fills the queue.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "infra/chs_log.h"
#include "infra/timer_drv.h"
#include "msg/msg_process.h"
#include "platform/dplog.h"
#include "platform/om_cluster.h"

namespace {

constexpr uint32_t kEcho = 0x7E01;
constexpr uint32_t kSilent = 0x7E02;
constexpr uint32_t kRelay = 0x7E03;
constexpr uint32_t kSlow = 0x7E04;

void Echo(InnerMsg& request) {
    MsgObject body(request.GetBody());
    if (body.empty()) {
        body.append(new MsgRecord(0));
    }
    body[0].replaceAppendInner(CTLVCell::NewUInt32(MSG_TAG_ERROR_CODE, 1));
    request.PostAckMsg(body);
}

void Silent(InnerMsg&) {}

void Slow(InnerMsg& request) {
    usleep(20000);
    Echo(request);
}

void Relay(InnerMsg& request) {
    const MsgRecord& record = request.GetBody()[0];
    InnerMsg echo;
    echo.GetMsgInfo().uiMsgOPCode = kEcho;
    echo.GetMsgInfo().usReceiverBID = static_cast<uint16_t>(record[1].GetUInt64());
    echo.GetMsgInfo().usReceiverPID = static_cast<uint16_t>(record[2].GetUInt64());
    echo.GetMsgInfo().uiMsgTimeout = 5;
    echo.GetBody().append(new MsgRecord(kRelay));
    InnerMsg answer;
    unsigned int code = echo.SimpleSyncMsg(answer);
    request.PostSimpleAckMsg(code, "relayed");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: echo_peer <cluster.json> <node-id> <node-root> <pid>\n");
        return 2;
    }
    std::string error;
    if (!platform::AttachCluster(argv[1], static_cast<uint16_t>(atoi(argv[2])), argv[3], true, error)) {
        fprintf(stderr, "echo_peer: %s\n", error.c_str());
        return 1;
    }
    unsigned int pid = static_cast<unsigned int>(atoi(argv[4]));
    platform::LogOpen(std::string(argv[3]) + "/echo_peer" + std::to_string(pid) + ".log");
    SetModuleID(pid);
    TimerDrvClass::instance()->Init(2);
    MsgProcessClass* engine = MsgProcessClass::Instance();
    if (engine->Init(pid) != 0) {
        fprintf(stderr, "echo_peer: the message engine does not start\n");
        return 1;
    }
    engine->AddHandlerHelper(new MsgHandleWrapper(Echo, MSG_PRI_1), kEcho, 0);
    engine->AddHandlerHelper(new MsgHandleWrapper(Silent, MSG_PRI_1), kSilent, 0);
    engine->AddHandlerHelper(new MsgHandleWrapper(Relay, MSG_PRI_2), kRelay, 0);
    engine->AddHandlerHelper(new MsgHandleWrapper(Slow, MSG_PRI_1), kSlow, 0);
    printf("ready\n");
    fflush(stdout);
    for (;;) {
        pause();
    }
}
