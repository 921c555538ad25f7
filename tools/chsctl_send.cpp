// chsctl send: one request, in the JSON form of a message, sent synchronously
// to an endpoint of a node; the answer is printed in the same form.
//
//   chsctl [OPTIONS] send [FILE|-]    (no FILE or "-": standard input)
#include <json/json.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "infra/json_util.h"
#include "msg/inner_msg.h"
#include "tools/chsctl_client.h"
#include "tools/chsctl_commands.h"

namespace chs_tools {

const char* const kSendUsage =
    "       chsctl [OPTIONS] send [FILE|-]\n"
    "         send a message in JSON form (FILE, or standard input) to an endpoint of a node and\n"
    "         print the answer in the same form\n";

namespace {

// Far above the JSON form of the largest message the transport carries
// (platform/msg_transport.h), and a bound for what is read into memory.
constexpr size_t kMaxInputBytes = 16u << 20;

bool ReadInput(const std::string& source, std::string& text) {
    std::ifstream file;
    std::istream* in = &std::cin;
    if (source != "-") {
        file.open(source, std::ios::binary);
        if (!file) {
            fprintf(stderr, "chsctl: cannot read %s: %s\n", source.c_str(), strerror(errno));
            return false;
        }
        in = &file;
    }
    char buffer[65536];
    while (in->read(buffer, sizeof(buffer)) || in->gcount() > 0) {
        text.append(buffer, static_cast<size_t>(in->gcount()));
        if (text.size() > kMaxInputBytes) {
            fprintf(stderr, "chsctl: the message in %s is longer than %zu bytes\n",
                    source == "-" ? "standard input" : source.c_str(), kMaxInputBytes);
            return false;
        }
    }
    return true;
}

}  // namespace

int RunSend(const ControlOptions& options) {
    const std::vector<std::string>& words = options.vecWords;
    if (words.size() > 2 || (words.size() == 2 && words[1].size() > 1 && words[1][0] == '-')) {
        fprintf(stderr, "chsctl: send takes one FILE or - (standard input)\nusage:\n%s", kSendUsage);
        return kExitUsage;
    }
    std::string input = words.size() == 2 ? words[1] : "-";
    std::string text;
    if (!ReadInput(input, text)) {
        return kExitUsage;
    }
    Json::Value root;
    InnerMsg request;
    if (!JsonDeserialization(text, root) || !request.Deserialization(root)) {
        fprintf(
            stderr,
            "chsctl: the input is not a message in JSON form ({\"msgHdr\": {...}, \"msgBody\": [...]})\n");
        return kExitUsage;
    }
    tagMsgInfo& info = request.GetMsgInfo();
    if (info.uiMsgOPCode == 0 || info.usReceiverPID == 0 || request.GetBody().empty()) {
        fprintf(stderr, "chsctl: the message needs msgHdr.uiMsgOPCode, msgHdr.usReceiverPID and a record\n");
        return kExitUsage;
    }

    // chsctl speaks as a client of the node it addresses; it holds no presence.
    uint16_t node = static_cast<uint16_t>(options.ulNode);
    if (!AttachControl(options)) {
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
