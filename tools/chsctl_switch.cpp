// chsctl switch / clear-collected: the collector-control requests of the
// management interface, sent to the daemon of one node.
//
//   chsctl --cluster DIR --node N [--timeout S] [--json] switch get
//   chsctl --cluster DIR --node N [--timeout S] [--json] switch set on|off [--oem]
//   chsctl --cluster DIR --node N [--timeout S] [--json] clear-collected
//
// --json may also follow the subcommand. The export, remote-log and package
// subcommands are parsed here as well and carried out in chsctl_export.cpp,
// chsctl_remote_log.cpp and chsctl_package.cpp.
#include <cstdio>
#include <string>
#include <vector>

#include "msg/chs_wire.h"
#include "msg/inner_msg.h"
#include "tools/chsctl_client.h"
#include "tools/chsctl_commands.h"

namespace chs_tools {
namespace {


// The daemon clears without answering; an answer that does come within this
// wait is a refusal (or a daemon that does not serve the request yet).
constexpr unsigned long kClearAnswerWaitSec = 3;

int ControlUsage() {
    fprintf(stderr,
            "usage: chsctl --cluster DIR --node N [--timeout SECONDS] [--json] switch get\n"
            "       chsctl --cluster DIR --node N [--timeout SECONDS] [--json] switch set on|off [--oem]\n"
            "       chsctl --cluster DIR --node N [--timeout SECONDS] [--json] clear-collected\n"
            "%s%s%s",
            kExportUsage, kRemoteLogUsage, kPackageUsage);
    return kExitUsage;
}

// false (after printing why) for a bad command line.
bool ParseControlOptions(int argc, char** argv, ControlOptions& options) {
    int i = 1;
    for (; i < argc; ++i) {
        std::string arg = argv[i];
        int taken = TakeClientOption(argc, argv, i, options);
        if (taken < 0) {
            return false;
        }
        if (taken > 0) {
            continue;
        }
        if (arg == "--json") {
            options.bJson = true;
        } else if (arg.rfind("--", 0) == 0) {
            fprintf(stderr, "chsctl: unknown or incomplete option %s\n", arg.c_str());
            return false;
        } else {
            break;
        }
    }
    for (; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--json") {
            options.bJson = true;
        } else {
            options.vecWords.push_back(arg);
        }
    }
    if (options.strCluster.empty() || !options.bNodeGiven) {
        fprintf(stderr, "chsctl: --cluster DIR and --node N come before the subcommand\n");
        return false;
    }
    if (options.vecWords.empty()) {
        fprintf(stderr, "chsctl: no subcommand\n");
        return false;
    }
    return true;
}

class ControlCommand {
  public:
    explicit ControlCommand(const ControlOptions& options)
        : m_options(options), m_usNode(static_cast<uint16_t>(options.ulNode)) {}

    int Run() {
        const std::vector<std::string>& words = m_options.vecWords;
        if (words[0] == "export") {
            return RunExport(m_options);
        }
        if (words[0] == "remote-log") {
            return RunRemoteLog(m_options);
        }
        if (words[0] == "package") {
            return RunPackage(m_options);
        }
        if (words[0] == "switch" && words.size() == 2 && words[1] == "get") {
            return Attach() ? QuerySwitch() : kExitFailed;
        }
        if (words[0] == "switch" && words.size() >= 3 && words.size() <= 4 && words[1] == "set") {
            bool oem = words.size() == 4 && words[3] == "--oem";
            if (words.size() == 4 && !oem) {
                return ControlUsage();
            }
            // The daemon takes exactly these texts; anything else would only
            // come back as an illegal-value failure.
            if (words[2] != "on" && words[2] != "off") {
                fprintf(stderr, "chsctl: the switch value is \"on\" or \"off\", not \"%s\"\n",
                        words[2].c_str());
                return kExitUsage;
            }
            return Attach() ? SetSwitch(words[2], oem) : kExitFailed;
        }
        if (words[0] == "clear-collected" && words.size() == 1) {
            return Attach() ? ClearCollected() : kExitFailed;
        }
        return ControlUsage();
    }

  private:
    bool Attach() { return AttachControl(m_options); }

    int QuerySwitch() {
        MsgRecord* record = new MsgRecord(chs_wire::RECORD_QUERY_SWITCH);
        record->appendInner(CTLVCell::NewEnum(chs_wire::SWITCH_TAG_QUALIFIER, chs_wire::SWITCH_QUALIFIER));
        InnerMsg request = NewCollectorRequest(MSG_OPCODE_GENERAL, record);
        InnerMsg answer;
        int status = ExchangeRequest(m_options, request, m_options.ulTimeoutSec, answer);
        if (status != kExitOk) {
            return status;
        }
        unsigned int result = answer.TryGetErrorCode();
        if (result != 0) {
            return ReportFailedResult(result);
        }
        std::string collector;
        std::string oem;
        if (!AnswerText(answer, chs_wire::SWITCH_TAG_COLLECTOR, collector) || !AnswerText(answer, chs_wire::SWITCH_TAG_OEM, oem)) {
            fprintf(stderr, "chsctl: the answer carries no switch values\n");
            return kExitFailed;
        }
        if (!m_options.bJson) {
            printf("collector switch: %s, OEM switch: %s\n", collector.c_str(), oem.c_str());
        }
        return kExitOk;
    }

    int SetSwitch(const std::string& value, bool oem) {
        MsgRecord* record = new MsgRecord(chs_wire::RECORD_SET_SWITCH);
        record->appendInner(CTLVCell::NewEnum(chs_wire::SWITCH_TAG_QUALIFIER, chs_wire::SWITCH_QUALIFIER));
        record->appendInner(CTLVCell::NewString(oem ? chs_wire::SWITCH_TAG_OEM : chs_wire::SWITCH_TAG_COLLECTOR, value));
        InnerMsg request = NewCollectorRequest(MSG_OPCODE_GENERAL, record);
        InnerMsg answer;
        int status = ExchangeRequest(m_options, request, m_options.ulTimeoutSec, answer);
        if (status != kExitOk) {
            return status;
        }
        unsigned int result = answer.TryGetErrorCode();
        if (result != 0) {
            return ReportFailedResult(result);
        }
        if (!m_options.bJson) {
            printf("%s switch set to %s\n", oem ? "OEM" : "collector", value.c_str());
        }
        return kExitOk;
    }

    // The daemon does not answer a clear that it carries out, so a delivered
    // request without an answer within the wait counts as done.
    int ClearCollected() {
        InnerMsg request = NewCollectorRequest(chs_wire::OPCODE_CLEAR_ALL_COLLECTOR_FILE, new MsgRecord(0));
        InnerMsg answer;
        unsigned long wait = m_options.bTimeoutGiven ? m_options.ulTimeoutSec : kClearAnswerWaitSec;
        SendOutcome outcome = SendRequest(request, m_usNode, static_cast<uint32_t>(wait), answer);
        if (outcome == SendOutcome::kTimedOut) {
            if (m_options.bJson) {
                printf("null\n");
            } else {
                printf("all collected files cleared\n");
            }
            return kExitOk;
        }
        if (outcome != SendOutcome::kAnswered) {
            return ReportSendFailure(outcome, request, m_usNode);
        }
        if (m_options.bJson) {
            PrintMessageJson(answer);
        }
        unsigned int result = answer.TryGetErrorCode();
        if (result != 0) {
            return ReportFailedResult(result);
        }
        if (!m_options.bJson) {
            printf("all collected files cleared\n");
        }
        return kExitOk;
    }

    const ControlOptions& m_options;
    uint16_t m_usNode;
};

}  // namespace

int RunControl(int argc, char** argv) {
    ControlOptions options;
    if (!ParseControlOptions(argc, argv, options)) {
        ControlUsage();
        return kExitUsage;
    }
    return ControlCommand(options).Run();
}

}  // namespace chs_tools
