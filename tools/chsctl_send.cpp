// chsctl send: one request, in the JSON form of a message, sent synchronously
// to an endpoint of a node; the answer is printed in the same form.
//
//   chsctl send --cluster DIR --node N [--timeout S] [FILE]    (FILE or "-": standard input)
#include <json/json.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "infra/json_util.h"
#include "msg/inner_msg.h"
#include "tools/chsctl_client.h"
#include "tools/chsctl_commands.h"

namespace chs_tools {
namespace {

struct SendOptions : ClientOptions {
    std::string strInput = "-";
};

int SendUsage() {
    fprintf(stderr, "usage: chsctl send --cluster DIR --node N [--timeout SECONDS] [FILE|-]\n");
    return kExitUsage;
}

bool ParseOptions(int argc, char** argv, SendOptions& options) {
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        int taken = TakeClientOption(argc, argv, i, options);
        if (taken < 0) {
            return false;
        }
        if (taken > 0) {
            continue;
        }
        if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
            SendUsage();
            return false;
        } else {
            options.strInput = arg;
        }
    }
    if (options.strCluster.empty() || !options.bNodeGiven) {
        SendUsage();
        return false;
    }
    return true;
}

bool ReadInput(const std::string& source, std::string& text) {
    std::ostringstream content;
    if (source == "-") {
        content << std::cin.rdbuf();
    } else {
        std::ifstream in(source, std::ios::binary);
        if (!in) {
            fprintf(stderr, "chsctl: cannot read %s: %s\n", source.c_str(), strerror(errno));
            return false;
        }
        content << in.rdbuf();
    }
    text = content.str();
    return true;
}

}  // namespace

int RunSend(int argc, char** argv) {
    SendOptions options;
    if (!ParseOptions(argc, argv, options)) {
        return kExitUsage;
    }
    std::string text;
    if (!ReadInput(options.strInput, text)) {
        return kExitUsage;
    }
    Json::Value root;
    InnerMsg request;
    if (!JsonDeserialization(text, root) || !request.Deserialization(root)) {
        fprintf(stderr, "chsctl: the input is not a message in JSON form ({\"msgHdr\": {...}, \"msgBody\": [...]})\n");
        return kExitUsage;
    }
    tagMsgInfo& info = request.GetMsgInfo();
    if (info.uiMsgOPCode == 0 || info.usReceiverPID == 0 || request.GetBody().empty()) {
        fprintf(stderr, "chsctl: the message needs msgHdr.uiMsgOPCode, msgHdr.usReceiverPID and a record\n");
        return kExitUsage;
    }

    // chsctl speaks as a client of the node it addresses; it holds no presence.
    uint16_t node = static_cast<uint16_t>(options.ulNode);
    std::string error;
    if (!AttachAsClient(options.strCluster, node, error)) {
        fprintf(stderr, "chsctl: %s\n", error.c_str());
        return kExitFailed;
    }
    InnerMsg answer;
    SendOutcome outcome = SendRequest(request, node, static_cast<uint32_t>(options.ulTimeoutSec), answer);
    if (outcome != SendOutcome::kAnswered) {
        return ReportSendFailure(outcome, request, node);
    }
    PrintMessageJson(answer);
    return kExitOk;
}

}  // namespace chs_tools
