// chsctl status: the state of every node of the cluster in one screen.
//
//   chsctl [--cluster DIR] [--timeout S] [--json] status
//
// Every node of the cluster is asked with the node status request; all of
// them together get --timeout seconds (30). A node whose daemon does not
// answer is shown as offline with the reason; that is no failure of the
// command (exit 0), which fails only when chsctl cannot attach at all.
#include "tools/chsctl_status.h"

#include <json/json.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "msg/chs_wire.h"
#include "platform/om_cluster.h"
#include "tools/chsctl_commands.h"
#include "tools/chsctl_json.h"

namespace chs_tools {

namespace {

using namespace chs_wire;

std::string Text(const MsgRecord& record, unsigned short tag) {
    const CTLVCell* cell = record.find(tag);
    if (cell == nullptr || CTLVCell::IsNumericalType(cell->GetType())) {
        return std::string();
    }
    return TerminalSafe(static_cast<const char*>(*cell), NODE_STATUS_TEXT_MAX);
}

bool Number(const MsgRecord& record, unsigned short tag, uint64_t& value) {
    const CTLVCell* cell = record.find(tag);
    if (cell == nullptr || !CTLVCell::IsNumericalType(cell->GetType())) {
        return false;
    }
    value = cell->GetUInt64();
    return true;
}

uint64_t NumberOr0(const MsgRecord& record, unsigned short tag) {
    uint64_t value = 0;
    return Number(record, tag, value) ? value : 0;
}

bool Decode(const InnerMsg& answer, NodeStatusReport& report) {
    const MsgObject& body = answer.GetBody();
    if (body.empty() || body[0].GetCode() != OPCODE_NODE_STATUS) {
        return false;
    }
    const MsgRecord& head = body[0];
    report.ullUptimeSec = NumberOr0(head, STATUS_TAG_UPTIME);
    report.strCollectorSwitch = Text(head, STATUS_TAG_COLLECTOR_SWITCH);
    report.strOemSwitch = Text(head, STATUS_TAG_OEM_SWITCH);
    report.strLastFile = Text(head, STATUS_TAG_LAST_FILE);
    report.ullLastFileTime = NumberOr0(head, STATUS_TAG_LAST_FILE_TIME);
    report.strTask = Text(head, STATUS_TAG_TASK);
    report.strTaskProgress = Text(head, STATUS_TAG_TASK_PROGRESS);
    report.ullCofferFree = NumberOr0(head, STATUS_TAG_COFFER_FREE);
    uint64_t value = 0;
    report.bHasExportRunNode = Number(head, STATUS_TAG_EXPORT_RUN_NODE, value);
    report.uiExportRunNode = static_cast<uint32_t>(value);
    const CTLVCell* state = head.find(STATUS_TAG_EXPORT_STATE);
    report.bHasExportState = state != nullptr && CTLVCell::IsNumericalType(state->GetType());
    report.iExportState = report.bHasExportState ? static_cast<int32_t>(state->GetInt64()) : 0;
    for (size_t i = 1; i < body.size(); ++i) {
        const MsgRecord& record = body[i];
        if (record.GetCode() == RECORD_STATUS_DRIVER && report.vecDrivers.size() < NODE_STATUS_LIST_MAX) {
            report.vecDrivers.push_back({Text(record, STATUS_DRIVER_TAG_NAME),
                                         NumberOr0(record, STATUS_DRIVER_TAG_RUNNING) != 0,
                                         NumberOr0(record, STATUS_DRIVER_TAG_STUCK) != 0});
        } else if (record.GetCode() == RECORD_STATUS_QUEUE &&
                   report.vecQueues.size() < NODE_STATUS_LIST_MAX) {
            report.vecQueues.push_back({Text(record, STATUS_QUEUE_TAG_NAME),
                                        static_cast<uint32_t>(NumberOr0(record, STATUS_QUEUE_TAG_LENGTH))});
        } else if (record.GetCode() == RECORD_STATUS_EXPORT_NODE &&
                   report.vecExportNodes.size() < NODE_STATUS_LIST_MAX) {
            NodeStatusExportNode node;
            node.uiNode = static_cast<uint32_t>(NumberOr0(record, STATUS_EXPORT_TAG_NODE));
            node.strName = Text(record, STATUS_EXPORT_TAG_NAME);
            node.strState = Text(record, STATUS_EXPORT_TAG_STATE);
            node.ullBytes = NumberOr0(record, STATUS_EXPORT_TAG_BYTES);
            node.strReason = Text(record, STATUS_EXPORT_TAG_REASON);
            report.vecExportNodes.push_back(node);
        } else if (record.GetCode() == RECORD_STATUS_QUARANTINE &&
                   report.vecQuarantined.size() < NODE_STATUS_LIST_MAX) {
            report.vecQuarantined.push_back(
                {Text(record, STATUS_QUARANTINE_TAG_NAME), Text(record, STATUS_QUARANTINE_TAG_LIBRARY)});
        }
    }
    return true;
}

std::string Duration(uint64_t seconds) {
    char text[64];
    if (seconds >= 86400) {
        snprintf(text, sizeof(text), "%llud %02lluh%02llum", static_cast<unsigned long long>(seconds / 86400),
                 static_cast<unsigned long long>(seconds % 86400 / 3600),
                 static_cast<unsigned long long>(seconds % 3600 / 60));
    } else {
        snprintf(text, sizeof(text), "%lluh%02llum%02llus", static_cast<unsigned long long>(seconds / 3600),
                 static_cast<unsigned long long>(seconds % 3600 / 60),
                 static_cast<unsigned long long>(seconds % 60));
    }
    return text;
}

std::string UtcTime(uint64_t seconds) {
    time_t value = static_cast<time_t>(seconds);
    struct tm utc {};
    char text[32] = {};
    if (gmtime_r(&value, &utc) == nullptr || strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &utc) == 0) {
        return "?";
    }
    return text;
}

std::string Bytes(uint64_t bytes) {
    const char* units[] = {"B", "KB", "MB", "GB", "TB"};
    double value = static_cast<double>(bytes);
    size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < sizeof(units) / sizeof(units[0])) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    snprintf(text, sizeof(text), unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
    return text;
}

struct NodeLine {
    uint16_t usNode;
    std::string strName;
    SendOutcome outcome;
    NodeStatusReport report;
};

void PrintText(const std::vector<NodeLine>& lines) {
    for (const NodeLine& line : lines) {
        if (line.outcome != SendOutcome::kAnswered) {
            printf("node %u (%s): offline (%s)\n", line.usNode, line.strName.c_str(),
                   SendOutcomeText(line.outcome));
            continue;
        }
        const NodeStatusReport& r = line.report;
        printf("node %u (%s): online, up %s\n", line.usNode, line.strName.c_str(),
               Duration(r.ullUptimeSec).c_str());
        printf("  collector %s, OEM %s\n", r.strCollectorSwitch.empty() ? "?" : r.strCollectorSwitch.c_str(),
               r.strOemSwitch.empty() ? "?" : r.strOemSwitch.c_str());
        std::string drivers;
        for (const NodeStatusDriver& driver : r.vecDrivers) {
            drivers += (drivers.empty() ? "" : ", ") + driver.strName +
                       (driver.bRunning ? " (running" : " (stopped") + (driver.bStuck ? ", stuck)" : ")");
        }
        printf("  drivers: %s\n", drivers.empty() ? "none" : drivers.c_str());
        for (const NodeStatusQuarantined& plugin : r.vecQuarantined) {
            printf("  quarantined: %s (%s), \"chsctl --node %u plugin release %s\" lets it load\n",
                   plugin.strName.c_str(), plugin.strLibrary.c_str(), line.usNode, plugin.strName.c_str());
        }
        std::string queues;
        for (const NodeStatusQueue& queue : r.vecQueues) {
            queues += (queues.empty() ? "" : ", ") + queue.strName + " " + std::to_string(queue.uiLength);
        }
        printf("  dispatcher queues: %s\n", queues.empty() ? "?" : queues.c_str());
        if (r.ullLastFileTime != 0) {
            printf("  last file to the agent: %s at %s\n", r.strLastFile.c_str(),
                   UtcTime(r.ullLastFileTime).c_str());
        } else {
            printf("  last file to the agent: none since the daemon started\n");
        }
        printf("  task: %s\n", r.strTask.empty() ? "none" : (r.strTask + ", " + r.strTaskProgress).c_str());
        printf("  coffer disk free: %s\n", Bytes(r.ullCofferFree).c_str());
    }
}

Json::Value NodeJson(const NodeLine& line) {
    Json::Value node(Json::objectValue);
    node["node"] = line.usNode;
    node["name"] = line.strName;
    node["online"] = line.outcome == SendOutcome::kAnswered;
    if (line.outcome != SendOutcome::kAnswered) {
        node["reason"] = SendOutcomeText(line.outcome);
        return node;
    }
    const NodeStatusReport& r = line.report;
    node["uptime_s"] = static_cast<Json::UInt64>(r.ullUptimeSec);
    node["collector_switch"] = r.strCollectorSwitch;
    node["oem_switch"] = r.strOemSwitch;
    Json::Value drivers(Json::arrayValue);
    for (const NodeStatusDriver& driver : r.vecDrivers) {
        Json::Value item(Json::objectValue);
        item["name"] = driver.strName;
        item["running"] = driver.bRunning;
        item["stuck"] = driver.bStuck;
        drivers.append(item);
    }
    node["drivers"] = drivers;
    Json::Value quarantined(Json::arrayValue);
    for (const NodeStatusQuarantined& plugin : r.vecQuarantined) {
        Json::Value item(Json::objectValue);
        item["name"] = plugin.strName;
        item["library"] = plugin.strLibrary;
        quarantined.append(item);
    }
    node["quarantined"] = quarantined;
    Json::Value queues(Json::objectValue);
    for (const NodeStatusQueue& queue : r.vecQueues) {
        queues[queue.strName] = queue.uiLength;
    }
    node["queues"] = queues;
    if (r.ullLastFileTime != 0) {
        node["last_file"]["name"] = r.strLastFile;
        node["last_file"]["time"] = UtcTime(r.ullLastFileTime);
    } else {
        node["last_file"] = Json::Value(Json::nullValue);
    }
    if (!r.strTask.empty()) {
        node["task"]["kind"] = r.strTask;
        node["task"]["progress"] = r.strTaskProgress;
    } else {
        node["task"] = Json::Value(Json::nullValue);
    }
    node["coffer_free_bytes"] = static_cast<Json::UInt64>(r.ullCofferFree);
    return node;
}

}  // namespace

const char* SendOutcomeText(SendOutcome outcome) {
    switch (outcome) {
        case SendOutcome::kAnswered:
            return "answered";
        case SendOutcome::kUnreachable:
            return "no daemon listens";
        case SendOutcome::kTimedOut:
            return "no answer in time";
        case SendOutcome::kNotEncoded:
            return "the request cannot be encoded";
        default:
            return "the answer cannot be read";
    }
}

SendOutcome QueryNodeStatus(uint16_t node, uint32_t timeoutSec, NodeStatusReport& report) {
    InnerMsg request = NewCollectorRequest(OPCODE_NODE_STATUS, new MsgRecord(0));
    InnerMsg answer;
    SendOutcome outcome = SendRequest(request, node, timeoutSec, answer);
    if (outcome != SendOutcome::kAnswered) {
        return outcome;
    }
    report = NodeStatusReport();
    return answer.TryGetErrorCode() == 0 && Decode(answer, report) ? SendOutcome::kAnswered
                                                                   : SendOutcome::kFailed;
}

int RunStatus(const ControlOptions& options) {
    if (options.vecWords.size() > 1) {
        fprintf(stderr, "chsctl: status takes no arguments (%s)\n", options.vecWords[1].c_str());
        return kExitUsage;
    }
    if (!AttachControl(options)) {
        return kExitFailed;
    }
    // All nodes share the one time-out.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.ulTimeoutSec);
    std::vector<NodeLine> lines;
    for (const platform::NodeConfig& node : platform::Cluster().nodes) {
        NodeLine line{node.usId, node.strName, SendOutcome::kTimedOut, NodeStatusReport()};
        auto left =
            std::chrono::duration_cast<std::chrono::seconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() >= 1) {
            line.outcome = QueryNodeStatus(node.usId, static_cast<uint32_t>(left.count()), line.report);
        }
        lines.push_back(line);
    }
    if (options.bJson) {
        Json::Value document(Json::objectValue);
        document["nodes"] = Json::Value(Json::arrayValue);
        for (const NodeLine& line : lines) {
            document["nodes"].append(NodeJson(line));
        }
        PrintJsonDocument(document);
    } else {
        PrintText(lines);
    }
    return kExitOk;
}

}  // namespace chs_tools
