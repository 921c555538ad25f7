// chsctl switch / clear-collected: the collector-control requests of the
// management interface, sent to the daemon of one node.
//
//   chsctl [OPTIONS] switch get
//   chsctl [OPTIONS] switch set on|off [--oem]
//   chsctl [OPTIONS] clear-collected
#include <json/json.h>

#include <cstdio>
#include <string>
#include <vector>

#include "msg/chs_wire.h"
#include "msg/inner_msg.h"
#include "tools/chsctl_client.h"
#include "tools/chsctl_commands.h"
#include "tools/chsctl_json.h"
#include "tools/chsctl_results.h"

namespace chs_tools {

const char* const kSwitchUsage =
    "       chsctl [OPTIONS] switch get\n"
    "       chsctl [OPTIONS] switch set on|off [--oem]\n"
    "         query or set the collector switch (or, with --oem, the OEM switch) of the cluster\n";
const char* const kPluginUsage =
    "       chsctl [OPTIONS] plugin release NAME\n"
    "         let a plugin that the node quarantined after a fault in its code load again, at once\n";
const char* const kClearCollectedUsage =
    "       chsctl [OPTIONS] clear-collected\n"
    "         delete everything the node has collected\n";

namespace {

// The daemon clears without answering; an answer that does come within this
// wait is a refusal (or a daemon that does not serve the request yet).
constexpr unsigned long kClearAnswerWaitSec = 3;

int SubcommandUsage(const char* usage) {
    fprintf(stderr, "usage:\n%s", usage);
    return kExitUsage;
}

class ControlCommand {
  public:
    explicit ControlCommand(const ControlOptions& options)
        : m_options(options), m_usNode(static_cast<uint16_t>(options.ulNode)) {}

    int QuerySwitch() {
        MsgRecord* record = new MsgRecord(chs_wire::RECORD_QUERY_SWITCH);
        record->AppendEnum(chs_wire::SWITCH_TAG_QUALIFIER, chs_wire::SWITCH_QUALIFIER);
        InnerMsg answer;
        int status = Exchange(record, answer);
        if (status != kExitOk) {
            return status;
        }
        Json::Value document(Json::objectValue);
        unsigned int result = answer.TryGetErrorCode();
        if (result != 0) {
            document["collector_switch"] = Json::Value();
            document["oem_switch"] = Json::Value();
            return Refused(document, answer, result);
        }
        std::string collector;
        std::string oem;
        if (!AnswerText(answer, chs_wire::SWITCH_TAG_COLLECTOR, collector) ||
            !AnswerText(answer, chs_wire::SWITCH_TAG_OEM, oem)) {
            fprintf(stderr, "chsctl: the answer carries no switch values\n");
            return kExitFailed;
        }
        if (m_options.bJson) {
            document["collector_switch"] = collector;
            document["oem_switch"] = oem;
            PrintJsonDocument(document);
        } else {
            printf("collector switch: %s, OEM switch: %s\n", collector.c_str(), oem.c_str());
        }
        return kExitOk;
    }

    int SetSwitch(const std::string& value, bool oem) {
        MsgRecord* record = new MsgRecord(chs_wire::RECORD_SET_SWITCH);
        record->AppendEnum(chs_wire::SWITCH_TAG_QUALIFIER, chs_wire::SWITCH_QUALIFIER);
        record->AppendString(oem ? chs_wire::SWITCH_TAG_OEM : chs_wire::SWITCH_TAG_COLLECTOR, value);
        InnerMsg answer;
        int status = Exchange(record, answer);
        if (status != kExitOk) {
            return status;
        }
        Json::Value document(Json::objectValue);
        document["switch"] = oem ? "oem" : "collector";
        document["value"] = value;
        unsigned int result = answer.TryGetErrorCode();
        document["set"] = result == 0;
        if (result != 0) {
            return Refused(document, answer, result);
        }
        if (m_options.bJson) {
            PrintJsonDocument(document);
        } else {
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
        unsigned int result = 0;
        if (outcome == SendOutcome::kAnswered) {
            result = answer.TryGetErrorCode();
        } else if (outcome != SendOutcome::kTimedOut) {
            return ReportSendFailure(outcome, request, m_usNode);
        }
        Json::Value document(Json::objectValue);
        document["cleared"] = result == 0;
        if (result != 0) {
            return Refused(document, answer, result);
        }
        if (m_options.bJson) {
            PrintJsonDocument(document);
        } else {
            printf("all collected files cleared\n");
        }
        return kExitOk;
    }

    int ReleasePlugin(const std::string& name) {
        MsgRecord* record = new MsgRecord(0);
        record->AppendString(chs_wire::PLUGIN_RELEASE_TAG_NAME, name);
        InnerMsg request = NewCollectorRequest(chs_wire::OPCODE_PLUGIN_RELEASE, record);
        InnerMsg answer;
        SendOutcome outcome =
            SendRequest(request, m_usNode, static_cast<uint32_t>(m_options.ulTimeoutSec), answer);
        if (outcome != SendOutcome::kAnswered) {
            return ReportSendFailure(outcome, request, m_usNode);
        }
        Json::Value document(Json::objectValue);
        document["plugin"] = name;
        unsigned int result = answer.TryGetErrorCode();
        document["released"] = result == 0;
        if (result != 0) {
            return Refused(document, answer, result);
        }
        std::string what;
        AnswerText(answer, chs_wire::TAG_DESCRIPTION, what);
        if (m_options.bJson) {
            document["detail"] = what;
            PrintJsonDocument(document);
        } else {
            printf("plugin %s: %s\n", name.c_str(), TerminalSafe(what, 256).c_str());
        }
        return kExitOk;
    }

  private:
    // Sends `record` to the daemon; kExitOk with `answer`, else the exit
    // status after reporting why.
    int Exchange(MsgRecord* record, InnerMsg& answer) {
        InnerMsg request = NewCollectorRequest(MSG_OPCODE_GENERAL, record);
        SendOutcome outcome =
            SendRequest(request, m_usNode, static_cast<uint32_t>(m_options.ulTimeoutSec), answer);
        return outcome == SendOutcome::kAnswered ? kExitOk : ReportSendFailure(outcome, request, m_usNode);
    }

    // A refusal on standard error with the daemon's reason when it gives one
    // (a collector that cannot start names the plugin driver that failed)
    // and, with --json, `document` with the result, its meaning and the reason.
    int Refused(Json::Value& document, const InnerMsg& answer, unsigned int result) {
        std::string reason;
        AnswerText(answer, chs_wire::TAG_DESCRIPTION, reason);
        const char* meaning = ResultMeaningOf(result);
        if (m_options.bJson) {
            AddResultFields(document, result, meaning);
            document["reason"] = reason;
            PrintJsonDocument(document);
        }
        return ReportRefusal(result, meaning, m_usNode, reason);
    }

    const ControlOptions& m_options;
    uint16_t m_usNode;
};

}  // namespace

int RunSwitch(const ControlOptions& options) {
    const std::vector<std::string>& words = options.vecWords;
    bool get = words.size() == 2 && words[1] == "get";
    bool set = words.size() >= 3 && words.size() <= 4 && words[1] == "set";
    bool oem = set && words.size() == 4 && words[3] == "--oem";
    if (!get && !(set && (words.size() == 3 || oem))) {
        fprintf(stderr, "chsctl: switch takes get, or set on|off [--oem]\n");
        return SubcommandUsage(kSwitchUsage);
    }
    // The daemon takes exactly these texts; anything else would only come
    // back as an illegal-value failure.
    if (set && words[2] != "on" && words[2] != "off") {
        fprintf(stderr, "chsctl: the switch value is \"on\" or \"off\", not \"%s\"\n", words[2].c_str());
        return kExitUsage;
    }
    if (!AttachControl(options)) {
        return kExitFailed;
    }
    ControlCommand command(options);
    return get ? command.QuerySwitch() : command.SetSwitch(words[2], oem);
}

int RunPlugin(const ControlOptions& options) {
    const std::vector<std::string>& words = options.vecWords;
    if (words.size() != 3 || words[1] != "release" || words[2].empty()) {
        fprintf(stderr, "chsctl: plugin takes release NAME\n");
        return SubcommandUsage(kPluginUsage);
    }
    if (!AttachControl(options)) {
        return kExitFailed;
    }
    return ControlCommand(options).ReleasePlugin(words[2]);
}

int RunClearCollected(const ControlOptions& options) {
    if (options.vecWords.size() != 1) {
        fprintf(stderr, "chsctl: clear-collected takes no arguments\n");
        return SubcommandUsage(kClearCollectedUsage);
    }
    if (!AttachControl(options)) {
        return kExitFailed;
    }
    return ControlCommand(options).ClearCollected();
}

}  // namespace chs_tools
