// chsctl export: the cluster-wide diagnose export, driven through the daemon
// of one node, which becomes the node that runs the export.
//
//   chsctl [OPTIONS] export ACTION, ACTION one of
//     start [--type 3|4|5] [--wait [--wait-limit S]]
//     status [--type 3|4|5]
//     download [--type 3|4|5] [-o FILE]
//     verify FILE
//     clear
//
// --timeout bounds each request; `start --wait` polls the status every
// 100 ms for at most --wait-limit seconds (600) and meanwhile shows how far
// each node has come with its package, as the run node's node status tells. `status` tells a complete export from
// one with nodes missing, naming them with the states the export's run node
// reports in its node status. `download` and `verify` check every member of
// the bundle against the SHA-256 of its manifest and print the manifest's
// summary. With --json each action prints one document (see the README).
#include <json/json.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "export/diagnose_download.h"
#include "export/diagnose_export.h"
#include "export/diagnose_manifest.h"
#include "export/export_frame.h"
#include "export/msg_single_run.h"
#include "infra/exec_cmd.h"
#include "infra/file_util.h"
#include "msg/inner_msg.h"
#include "platform/om_cluster.h"
#include "platform/om_file_copy.h"
#include "tools/chsctl_client.h"
#include "tools/chsctl_commands.h"
#include "tools/chsctl_json.h"
#include "tools/chsctl_results.h"
#include "tools/chsctl_status.h"
#include "tools/cluster_layout.h"

namespace chs_tools {

const char* const kExportUsage =
    "       chsctl [OPTIONS] export start [--type 3|4|5] [--wait [--wait-limit SECONDS]]\n"
    "         start a diagnose export of every node on node N (type 5, the default: for download);\n"
    "         --wait follows it to its end (at most --wait-limit seconds, 600 by default) and\n"
    "         shows how far each node has come with its package\n"
    "       chsctl [OPTIONS] export status [--type 3|4|5]\n"
    "       chsctl [OPTIONS] export download [--type 3|4|5] [-o FILE]\n"
    "         have node N merge the packages and copy the result to FILE (./DiagnoseInfo.tgz);\n"
    "         the request waits 300 s unless --timeout is given; every member is checked\n"
    "         against the SHA-256 of the bundle's manifest.json\n"
    "       chsctl [--json] export verify FILE\n"
    "         check a downloaded bundle against its manifest and print its summary (asks no node)\n"
    "       chsctl [OPTIONS] export clear\n"
    "         remove what the export left on the nodes\n";

namespace {

// The clear type of a download export.
constexpr int32_t kClearDownloadExport = 41;
constexpr uint32_t kStatusGathering = static_cast<uint32_t>(EXPORT_GATHER_RUNNING);

// Merging the packages on the node takes a while.
constexpr unsigned long kDownloadTimeoutSec = 300;
constexpr unsigned long kDefaultWaitLimitSec = 600;
constexpr int kWaitPollMs = 100;  // between status requests of "export start --wait"

// The export states the daemon answers with: the text chsctl prints and the
// word of the JSON documents.
struct ExportStatusName {
    uint32_t uiStatus;
    const char* pText;
    const char* pWord;
};
constexpr ExportStatusName kExportStatusNames[] = {
    {kStatusGathering, "gathering", "gathering"},
    {EXPORT_STATUS_READY, "done", "done"},
    {EXPORT_STATUS_ABNORMAL, "done, some parts missing", "partial"},
    {EXPORT_STATUS_FAILED, "failed", "failed"},
};

// nullptr for a value the daemon does not answer with.
const ExportStatusName* FindStatus(uint32_t status) {
    for (const ExportStatusName& name : kExportStatusNames) {
        if (name.uiStatus == status) {
            return &name;
        }
    }
    return nullptr;
}
const char* StatusText(uint32_t status) {
    const ExportStatusName* name = FindStatus(status);
    return name == nullptr ? nullptr : name->pText;
}
const char* StatusWord(uint32_t status) {
    const ExportStatusName* name = FindStatus(status);
    return name == nullptr ? "failed" : name->pWord;
}

const char* CopyErrorText(int code) {
    switch (code) {
        case OM_FILE_ERR_REFUSED:
            return "refused: the path lies outside /VXA/coffer_data/ or has a \"..\" component";
        case OM_FILE_ERR_NOT_FOUND:
            return "no such file";
        case OM_FILE_ERR_NOT_REGULAR:
            return "not a regular file";
        case OM_FILE_ERR_READ:
            return "the file cannot be read";
        case OM_FILE_ERR_CHANGED:
            return "the file changed while it was copied";
        case OM_FILE_ERR_WRITE:
            return "the copy cannot be written";
        case OM_FILE_ERR_PARAM:
            return "unusable file name";
        default:
            return "the copy failed";
    }
}

struct ExportArgs {
    std::string strAction;
    int32_t iType = 5;
    bool bWait = false;
    bool bWaitLimitGiven = false;
    unsigned long ulWaitLimitSec = kDefaultWaitLimitSec;
    std::string strOutput = "DiagnoseInfo.tgz";
};

int ExportUsage() {
    fprintf(stderr, "usage: chsctl --cluster DIR --node N [--timeout SECONDS] [--json] export ACTION\n%s",
            kExportUsage);
    return kExitUsage;
}

// false (after printing why) for a bad command line. words[0] is "export".
bool ParseExportArgs(const std::vector<std::string>& words, ExportArgs& args) {
    if (words.size() < 2) {
        fprintf(stderr, "chsctl: export needs an action: start, status, download, verify or clear\n");
        return false;
    }
    args.strAction = words[1];
    const std::string& action = args.strAction;
    if (action == "verify") {
        if (words.size() != 3 || words[2].empty()) {
            fprintf(stderr, "chsctl: export verify takes the bundle's file name\n");
            return false;
        }
        args.strOutput = words[2];
        return true;
    }
    if (action != "start" && action != "status" && action != "download" && action != "clear") {
        fprintf(stderr, "chsctl: unknown export action %s\n", action.c_str());
        return false;
    }
    for (size_t i = 2; i < words.size(); ++i) {
        const std::string& word = words[i];
        bool hasValue = i + 1 < words.size();
        if (word == "--type" && hasValue && action != "clear") {
            unsigned long type = 0;
            if (!ParseNumber(words[++i].c_str(), 3, 5, type)) {
                fprintf(stderr, "chsctl: --type takes 3, 4 or 5\n");
                return false;
            }
            args.iType = static_cast<int32_t>(type);
        } else if (word == "--wait" && action == "start") {
            args.bWait = true;
        } else if (word == "--wait-limit" && hasValue && action == "start") {
            if (!ParseNumber(words[++i].c_str(), 1, 86400, args.ulWaitLimitSec)) {
                fprintf(stderr, "chsctl: --wait-limit takes a number of seconds from 1 to 86400\n");
                return false;
            }
            args.bWaitLimitGiven = true;
        } else if (word == "-o" && hasValue && action == "download" && !words[i + 1].empty()) {
            args.strOutput = words[++i];
        } else {
            fprintf(stderr, "chsctl: export %s does not take %s (or it lacks its value)\n", action.c_str(),
                    word.c_str());
            return false;
        }
    }
    if (args.bWaitLimitGiven && !args.bWait) {
        fprintf(stderr, "chsctl: --wait-limit goes with --wait\n");
        return false;
    }
    return true;
}

// How far every node of the export has come with its package, as the run node
// reports it in its node status. Report() prints a line for each node whose
// state changed since the last call.
class PackageProgress {
  public:
    PackageProgress(uint16_t askedNode, uint32_t timeoutSec, FILE* out)
        : m_usAsked(askedNode), m_uiTimeoutSec(timeoutSec < kProgressTimeoutSec ? timeoutSec : kProgressTimeoutSec),
          m_pOut(out) {}

    // A node that does not answer the node status (a daemon without it, a
    // run node gone) ends the progress lines, not the wait.
    // `last`: the gathering has ended, report whatever the interval; else at
    // most every kProgressIntervalMs, so that a wait does not make the daemons
    // take a status snapshot at every 100 ms poll.
    void Report(bool last) {
        NodeStatusReport report;
        auto now = std::chrono::steady_clock::now();
        if (m_bGivenUp || (!last && now < m_nextReport)) {
            return;
        }
        m_nextReport = now + std::chrono::milliseconds(kProgressIntervalMs);
        if (QueryNodeStatus(m_usAsked, m_uiTimeoutSec, report) != SendOutcome::kAnswered) {
            m_bGivenUp = true;
            return;
        }
        if (!report.bHasExportRunNode) {
            return;
        }
        if (report.uiExportRunNode != m_usAsked &&
            QueryNodeStatus(static_cast<uint16_t>(report.uiExportRunNode), m_uiTimeoutSec, report) !=
                SendOutcome::kAnswered) {
            m_bGivenUp = true;
            return;
        }
        for (const NodeStatusExportNode& node : report.vecExportNodes) {
            std::string state = node.strState;
            if (node.strState == "built") {
                state += " (" + std::to_string(static_cast<unsigned long long>(node.ullBytes)) + " bytes)";
            } else if (!node.strReason.empty()) {
                state += ": " + node.strReason;
            }
            std::string& last = m_states[node.uiNode];
            if (state != last) {
                fprintf(m_pOut, "node %u (%s): %s\n", node.uiNode, node.strName.c_str(), state.c_str());
                fflush(m_pOut);
                last = state;
            }
        }
    }

  private:
    static constexpr uint32_t kProgressTimeoutSec = 5;
    static constexpr int kProgressIntervalMs = 500;
    std::chrono::steady_clock::time_point m_nextReport{};
    uint16_t m_usAsked;
    uint32_t m_uiTimeoutSec;
    FILE* m_pOut;
    bool m_bGivenUp = false;
    std::map<uint32_t, std::string> m_states;
};

// ------------------------------------------------------------ bundle check

constexpr const char* kTar = "/bin/tar";
constexpr uint32_t kTarTimeoutMs = 120000;
constexpr uintmax_t kManifestMax = 4 * 1024 * 1024;

// Runs tar with `args` (no shell); its exit status, or -1. `listing` gets
// what it prints when given.
int RunTar(const std::vector<std::string>& args, std::string* listing) {
    std::vector<std::string> words{kTar};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(&word[0]);
    }
    argv.push_back(nullptr);
    std::string output;
    int32_t status = -1;
    pid_t child = 0;
    int32_t ran = chs_safeSystemSub(kTar, argv.data(), kTarTimeoutMs, &status, &child,
                                    listing != nullptr ? CHS_EXEC_MAX_LINES : 0, output);
    if (listing != nullptr) {
        *listing = output;
    }
    return ran == 0 ? status : -1;
}

// A member name a manifest may list: one plain file name.
bool PlainMember(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name[0] != '-' &&
           name.find('/') == std::string::npos;
}

bool IsSha256Hex(const std::string& text) {
    return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// A private directory for the members being checked, removed with
// everything in it (links are removed, never followed).
class ScratchDir {
  public:
    ScratchDir() {
        const char* tmp = getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && *tmp == '/' ? tmp : "/tmp") + "/chsctl-verify.XXXXXX";
        if (mkdtemp(&pattern[0]) != nullptr) {
            m_strPath = pattern;
        }
    }
    ~ScratchDir() {
        if (!m_strPath.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(m_strPath, ec);
        }
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& Path() const { return m_strPath; }

  private:
    std::string m_strPath;
};

// The members a manifest says the bundle holds, with their SHA-256. false
// with `error` for a manifest that names an unusable member.
bool ManifestMembers(const Json::Value& manifest, std::map<std::string, std::string>& members,
                     std::string& error) {
    std::vector<const Json::Value*> entries;
    if (manifest["nodes"].isArray()) {
        for (const Json::Value& node : manifest["nodes"]) {
            entries.push_back(&node);
        }
    }
    entries.push_back(&manifest["running_data"]);
    entries.push_back(&manifest["alarm_event"]);
    for (const Json::Value* entry : entries) {
        if (!entry->isObject() || !(*entry)["in_bundle"].isBool() || !(*entry)["in_bundle"].asBool()) {
            continue;
        }
        const Json::Value& name = (*entry)["package"];
        const Json::Value& sha = (*entry)["sha256"];
        if (!name.isString() || !PlainMember(name.asString()) || !sha.isString() ||
            !IsSha256Hex(sha.asString())) {
            error = "the manifest lists a member without a usable name or SHA-256";
            return false;
        }
        members[name.asString()] = sha.asString();
    }
    return true;
}

bool ReadManifest(const std::string& path, Json::Value& manifest, std::string& error) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<uintmax_t>(st.st_size) > kManifestMax) {
        error =
            std::string("the bundle's ") + DIAGNOSE_MANIFEST_NAME + " is missing, not a file or too large";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::string body = text.str();
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string why;
    if (!reader->parse(body.data(), body.data() + body.size(), &manifest, &why) || !manifest.isObject()) {
        error = std::string("the bundle's ") + DIAGNOSE_MANIFEST_NAME + " is not a JSON object";
        return false;
    }
    return true;
}

// Checks every member of `bundle` against its manifest: each listed member
// is there and has its SHA-256, nothing else is. `checked` counts the members
// checked. false with `error` naming the member that fails.
bool VerifyBundle(const std::string& bundle, Json::Value& manifest, size_t& checked, std::string& error) {
    std::string listing;
    if (RunTar({"-tzf", bundle}, &listing) != 0) {
        error = bundle + " is not a readable compressed tar archive";
        return false;
    }
    std::vector<std::string> inBundle;
    std::istringstream lines(listing);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) {
            inBundle.push_back(line);
        }
    }
    ScratchDir scratch;
    if (scratch.Path().empty()) {
        error = "no private directory for the check";
        return false;
    }
    if (RunTar({"-xzf", bundle, "-C", scratch.Path(), "--no-same-owner", "--no-same-permissions",
                "--no-wildcards", "--", DIAGNOSE_MANIFEST_NAME},
               nullptr) != 0 ||
        !ReadManifest(scratch.Path() + "/" + DIAGNOSE_MANIFEST_NAME, manifest, error)) {
        if (error.empty()) {
            error = std::string("the bundle holds no ") + DIAGNOSE_MANIFEST_NAME;
        }
        return false;
    }
    std::map<std::string, std::string> members;
    if (!ManifestMembers(manifest, members, error)) {
        return false;
    }
    for (const std::string& member : inBundle) {
        if (member != DIAGNOSE_MANIFEST_NAME && members.count(member) == 0) {
            error = "member " + member + " is not listed in the manifest";
            return false;
        }
    }
    std::vector<std::string> extract{
        "-xzf",           bundle, "-C", scratch.Path(), "--no-same-owner", "--no-same-permissions",
        "--no-wildcards", "--"};
    for (const auto& member : members) {
        if (std::find(inBundle.begin(), inBundle.end(), member.first) == inBundle.end()) {
            error = "member " + member.first + " listed in the manifest is missing";
            return false;
        }
        extract.push_back(member.first);
    }
    if (!members.empty() && RunTar(extract, nullptr) != 0) {
        error = "the members of " + bundle + " cannot be unpacked";
        return false;
    }
    checked = 0;
    for (const auto& member : members) {
        std::string path = scratch.Path() + "/" + member.first;
        struct stat st {};
        std::string actual;
        if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !Sha256OfFile(path, actual)) {
            error = "member " + member.first + " is not a regular file";
            return false;
        }
        if (actual != member.second) {
            error = "member " + member.first + " does not match its SHA-256 (manifest " + member.second +
                    ", bundle " + actual + ")";
            return false;
        }
        ++checked;
    }
    return true;
}

std::string EntryLine(const Json::Value& entry) {
    std::string line = entry["status"].asString();
    if (entry["bytes"].isUInt64()) {
        line += ", " + std::to_string(entry["bytes"].asUInt64()) + " bytes";
    }
    if (entry["in_bundle"].asBool()) {
        line += ", in the bundle";
    } else {
        line += ", not in the bundle";
    }
    if (entry["reason"].isString()) {
        line += ": " + entry["reason"].asString();
    }
    return line;
}

// The manifest's summary: nodes, sizes, what is missing and why.
void PrintManifestSummary(const Json::Value& manifest) {
    const Json::Value& info = manifest["export"];
    printf("export type %u (%s) run on node %u, %s to %s\n", info["type"].asUInt(),
           info["type_text"].asCString(), info["run_node"].asUInt(), info["start"].asCString(),
           info["end"].asCString());
    for (const Json::Value& node : manifest["nodes"]) {
        printf("  node %u (%s): %s\n", node["node"].asUInt(), node["name"].asCString(),
               EntryLine(node).c_str());
    }
    printf("  running data: %s\n", EntryLine(manifest["running_data"]).c_str());
    printf("  alarm and event file: %s\n", EntryLine(manifest["alarm_event"]).c_str());
    const Json::Value& budget = manifest["budget"];
    printf("  size budget %llu bytes", static_cast<unsigned long long>(budget["bytes"].asUInt64()));
    if (budget["left_out"].empty()) {
        printf(", nothing left out\n");
        return;
    }
    printf(", left out:\n");
    for (const Json::Value& item : budget["left_out"]) {
        std::string who =
            item.isMember("node") ? "node " + std::to_string(item["node"].asUInt()) : item["kind"].asString();
        printf("    %s: %s\n", who.c_str(), item["reason"].asCString());
    }
}

// Reads the manifest of `bundle` without trusting it beyond its types.
bool SaneManifest(const Json::Value& manifest) {
    return manifest["export"].isObject() && manifest["export"]["type"].isUInt() &&
           manifest["export"]["type_text"].isString() && manifest["export"]["run_node"].isUInt() &&
           manifest["export"]["start"].isString() && manifest["export"]["end"].isString() &&
           manifest["nodes"].isArray() && manifest["budget"].isObject() &&
           manifest["budget"]["bytes"].isUInt64() && manifest["budget"]["left_out"].isArray();
}

// Verifies `bundle` and reports: the summary (text) or one document (JSON,
// `document` already holding the caller's fields). kExitOk or kExitFailed.
int CheckBundle(const std::string& bundle, bool json, Json::Value document) {
    Json::Value manifest;
    size_t checked = 0;
    std::string error;
    bool ok = VerifyBundle(bundle, manifest, checked, error);
    if (ok && !SaneManifest(manifest)) {
        ok = false;
        error = std::string("the bundle's ") + DIAGNOSE_MANIFEST_NAME + " lacks its export, nodes or budget";
    }
    if (json) {
        document["file"] = bundle;
        document["verified"] = ok;
        if (ok) {
            document["members_checked"] = static_cast<Json::UInt64>(checked);
            document["manifest"] = manifest;
        } else {
            document["status"] = "mismatch";
            document["error"] = error;
        }
        PrintJsonDocument(document);
    }
    if (!ok) {
        fprintf(stderr, "chsctl: %s does not verify: %s\n", bundle.c_str(), error.c_str());
        return kExitFailed;
    }
    if (!json) {
        printf("verified %s: %zu member(s) match the SHA-256 of the manifest\n", bundle.c_str(), checked);
        PrintManifestSummary(manifest);
    }
    return kExitOk;
}

class ExportCommand {
  public:
    ExportCommand(const ControlOptions& options, const ExportArgs& args)
        : m_options(options), m_args(args), m_usNode(static_cast<uint16_t>(options.ulNode)) {}

    int Run() {
        if (m_args.strAction == "verify") {
            Json::Value document(Json::objectValue);
            document["status"] = "verified";
            return CheckBundle(m_args.strOutput, m_options.bJson, document);
        }
        if (!AttachControl(m_options)) {
            return kExitFailed;
        }
        if (m_args.strAction == "start") {
            return Start();
        }
        if (m_args.strAction == "status") {
            return Status();
        }
        if (m_args.strAction == "download") {
            return Download();
        }
        return Clear();
    }

  private:
    static InnerMsg TypedRequest(uint32_t opcode, int32_t type) {
        MsgRecord* record = new MsgRecord(0);
        record->AppendInt32(EXPORT_TAG_TYPE, type);
        return NewCollectorRequest(opcode, record);
    }

    // Sends `request` and checks the answer's result code; kExitOk when the
    // daemon accepted it, else the exit status after reporting why (with
    // --json also as a document {"status":"refused","result":..,"result_text":..}).
    int Request(InnerMsg& request, unsigned long timeoutSec, InnerMsg& answer) {
        SendOutcome outcome = SendRequest(request, m_usNode, static_cast<uint32_t>(timeoutSec), answer);
        if (outcome != SendOutcome::kAnswered) {
            return ReportSendFailure(outcome, request, m_usNode);
        }
        uint32_t result = answer.TryGetErrorCode();
        return result == 0 ? kExitOk : Refused(result, ResultMeaningOf(result));
    }

    int Refused(uint32_t result, const char* meaning) {
        if (m_options.bJson) {
            Json::Value document(Json::objectValue);
            document["status"] = "refused";
            AddResultFields(document, result, meaning);
            PrintJsonDocument(document);
        }
        return ReportFailedResult(result, meaning);
    }

    // The nodes of the export as its run node reports them; false when no
    // run node is known or it does not answer.
    bool ExportNodes(std::vector<NodeStatusExportNode>& nodes) {
        uint32_t timeout = static_cast<uint32_t>(m_options.ulTimeoutSec);
        NodeStatusReport here;
        if (QueryNodeStatus(m_usNode, timeout, here) != SendOutcome::kAnswered || !here.bHasExportRunNode) {
            return false;
        }
        NodeStatusReport run = here;
        if (here.uiExportRunNode != m_usNode && QueryNodeStatus(static_cast<uint16_t>(here.uiExportRunNode),
                                                                timeout, run) != SendOutcome::kAnswered) {
            return false;
        }
        nodes = run.vecExportNodes;
        return !nodes.empty();
    }

    // Prints the final status of an export: "done", "done, K of N nodes"
    // with the missing nodes, or another state; with --json the document
    // {"status":..,"nodes":[..]}. `out` takes the text.
    void PrintFinalStatus(uint32_t status, FILE* out, const char* prefix) {
        std::vector<NodeStatusExportNode> nodes;
        bool done = status == EXPORT_STATUS_READY || status == EXPORT_STATUS_ABNORMAL;
        bool known = done && ExportNodes(nodes);
        size_t built = 0;
        for (const NodeStatusExportNode& node : nodes) {
            built += node.strState == EXPORT_STATE_BUILT ? 1 : 0;
        }
        // The gather result says "done" also when nodes are missing: the
        // node states tell.
        bool partial = status == EXPORT_STATUS_ABNORMAL || (known && built < nodes.size());
        if (m_options.bJson) {
            Json::Value document(Json::objectValue);
            document["status"] = partial ? "partial" : StatusWord(status);
            document["nodes"] = Json::Value(Json::arrayValue);
            for (const NodeStatusExportNode& node : nodes) {
                Json::Value item(Json::objectValue);
                item["node"] = node.uiNode;
                item["name"] = node.strName;
                item["state"] = node.strState;
                item["bytes"] = static_cast<Json::UInt64>(node.ullBytes);
                if (!node.strReason.empty()) {
                    item["reason"] = node.strReason;
                }
                document["nodes"].append(item);
            }
            PrintJsonDocument(document);
            if (out == stdout) {
                return;
            }
        }
        if (partial && known && built < nodes.size()) {
            fprintf(out, "%sdone, %zu of %zu nodes\n", prefix, built, nodes.size());
        } else {
            fprintf(out, "%s%s\n", prefix, StatusText(status));
        }
        for (const NodeStatusExportNode& node : nodes) {
            if (node.strState != EXPORT_STATE_BUILT) {
                fprintf(out, "  missing: node %u (%s): %s%s%s\n", node.uiNode, node.strName.c_str(),
                        node.strState.c_str(), node.strReason.empty() ? "" : ", ", node.strReason.c_str());
            }
        }
    }

    int Start() {
        MsgRecord* record = new MsgRecord(0);
        std::string taskId = "chsctl-" + std::to_string(getpid()) + "-" +
                             std::to_string(static_cast<long long>(time(nullptr)));
        record->AppendString(EXPORT_TAG_TASK_ID, taskId);
        record->AppendInt32(EXPORT_TAG_TYPE, m_args.iType);
        record->AppendNumber(CTLVCell::TLV_INTEGER, EXPORT_TAG_RESERVED64, 0, 8);
        record->AppendInt32(EXPORT_TAG_RESERVED, 0);
        InnerMsg request = NewCollectorRequest(EXPORT_OPCODE_EXPORT_FILE, record);
        InnerMsg answer;
        SendOutcome outcome =
            SendRequest(request, m_usNode, static_cast<uint32_t>(m_options.ulTimeoutSec), answer);
        if (outcome != SendOutcome::kAnswered) {
            return ReportSendFailure(outcome, request, m_usNode);
        }
        uint32_t result = answer.TryGetErrorCode();
        if (result == EXPORT_ERR_TASK_RUNNING && FinishedExportLeft()) {
            return Refused(result,
                           "a finished diagnose export has not been cleared: fetch it with "
                           "\"chsctl export download\" or drop it with \"chsctl export clear\"");
        }
        if (result != 0) {
            return Refused(result, ResultMeaningOf(result));
        }
        if (m_options.bJson && !m_args.bWait) {
            Json::Value document(Json::objectValue);
            document["status"] = "started";
            document["node"] = m_usNode;
            document["type"] = m_args.iType;
            PrintJsonDocument(document);
        } else if (!m_options.bJson) {
            printf("diagnose export started on node %u (type %d)\n", m_usNode, m_args.iType);
            fflush(stdout);
        }
        return m_args.bWait ? Wait() : kExitOk;
    }

    // Whether the export that refused a start has finished gathering (and
    // waits for its download and clear) rather than still running.
    bool FinishedExportLeft() {
        InnerMsg answer;
        uint32_t result = 0;
        uint32_t status = kStatusGathering;
        return QueryStatus(answer, result, status, false) == kExitOk && result == 0 &&
               status != kStatusGathering;
    }

    // One status query without printing the answer. kExitOk when an answer
    // came: `result` is its result code and, when that is 0, `status` the
    // export status. Otherwise the exit status, the reason printed.
    int QueryStatus(InnerMsg& answer, uint32_t& result, uint32_t& status, bool report = true) {
        InnerMsg request = TypedRequest(EXPORT_OPCODE_GET_STATUS, m_args.iType);
        SendOutcome outcome =
            SendRequest(request, m_usNode, static_cast<uint32_t>(m_options.ulTimeoutSec), answer);
        if (outcome != SendOutcome::kAnswered) {
            return report ? ReportSendFailure(outcome, request, m_usNode) : kExitFailed;
        }
        result = answer.TryGetErrorCode();
        if (result != 0) {
            return kExitOk;
        }
        const CTLVCell* cell =
            answer.GetBody().empty() ? nullptr : answer.GetBody()[0].find(DIAGNOSE_TAG_STATUS);
        if (cell == nullptr || !CTLVCell::IsNumericalType(cell->GetType())) {
            fprintf(stderr, "chsctl: the status answer carries no export status\n");
            return kExitFailed;
        }
        status = MsgCellValue32(*cell);
        return kExitOk;
    }

    int Status() {
        InnerMsg answer;
        uint32_t result = 0;
        uint32_t status = 0;
        int exit = QueryStatus(answer, result, status);
        if (exit != kExitOk) {
            return exit;
        }
        if (result != 0) {
            return Refused(result, ResultMeaningOf(result));
        }
        if (StatusText(status) == nullptr) {
            fprintf(stderr, "chsctl: unknown export status 0x%08X\n", status);
            return kExitFailed;
        }
        PrintFinalStatus(status, stdout, "diagnose export status: ");
        return kExitOk;
    }

    // Polls the status until the export is no longer gathering. A busy
    // answer (another status query runs) is asked again; any other refusal
    // ends the wait. With --json the progress goes to standard error and the
    // last status answer to standard output.
    int Wait() {
        FILE* out = m_options.bJson ? stderr : stdout;
        PackageProgress progress(static_cast<uint16_t>(m_options.ulNode), static_cast<uint32_t>(m_options.ulTimeoutSec),
                                 out);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(m_args.ulWaitLimitSec);
        for (;;) {
            InnerMsg answer;
            uint32_t result = 0;
            uint32_t status = 0;
            int exit = QueryStatus(answer, result, status);
            if (exit != kExitOk) {
                return exit;
            }
            progress.Report(result == 0 && status != kStatusGathering);
            if (result != 0 && result != SINGLE_RUN_BUSY) {
                return Refused(result, ResultMeaningOf(result));
            }
            if (result == 0 && status != kStatusGathering) {
                if (StatusText(status) == nullptr) {
                    fprintf(stderr, "chsctl: unknown export status 0x%08X\n", status);
                    return kExitFailed;
                }
                PrintFinalStatus(status, out, "diagnose export ");
                return status == EXPORT_STATUS_READY || status == EXPORT_STATUS_ABNORMAL ? kExitOk
                                                                                         : kExitFailed;
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                fprintf(stderr, "chsctl: the export is still gathering after %lu s\n", m_args.ulWaitLimitSec);
                return kExitTimeout;
            }
            // A status request is one small round trip: asking ten times a
            // second ends the wait within 0.1 s of the gathering's end.
            std::this_thread::sleep_for(std::chrono::milliseconds(kWaitPollMs));
        }
    }

    // The daemon names the merged file by its system path on this node; the
    // platform's file copy maps it below the node root, refuses anything
    // outside the coffer tree and writes through a temporary name.
    int Download() {
        InnerMsg request = TypedRequest(EXPORT_OPCODE_DOWNLOAD, m_args.iType);
        InnerMsg answer;
        unsigned long timeout = m_options.bTimeoutGiven ? m_options.ulTimeoutSec : kDownloadTimeoutSec;
        int status = Request(request, timeout, answer);
        if (status != kExitOk) {
            return status;
        }
        std::string source;
        if (!AnswerText(answer, DIAGNOSE_TAG_FINAL_PATH, source) || source.empty()) {
            fprintf(stderr, "chsctl: the download answer names no file\n");
            return kExitFailed;
        }
        std::string target = m_args.strOutput;
        struct stat st {};
        if (target.back() == '/' || (stat(target.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) {
            target += (target.back() == '/' ? "" : "/") + baseName(source);
        }
        int copied =
            OM_GetFileFromOtherNode(m_usNode, source.c_str(), target.c_str(), static_cast<uint32_t>(timeout));
        if (copied != 0) {
            fprintf(stderr, "chsctl: cannot copy %s of node %u to %s: %s\n", source.c_str(), m_usNode,
                    target.c_str(), CopyErrorText(copied));
            return kExitFailed;
        }
        if (stat(target.c_str(), &st) != 0) {
            fprintf(stderr, "chsctl: %s is gone after the copy\n", target.c_str());
            return kExitFailed;
        }
        if (!m_options.bJson) {
            printf("written %s (%llu bytes)\n", target.c_str(), static_cast<unsigned long long>(st.st_size));
        }
        Json::Value document(Json::objectValue);
        document["status"] = "downloaded";
        document["bytes"] = static_cast<Json::UInt64>(st.st_size);
        return CheckBundle(target, m_options.bJson, document);
    }

    int Clear() {
        InnerMsg request = TypedRequest(EXPORT_OPCODE_CLEAR, kClearDownloadExport);
        InnerMsg answer;
        int status = Request(request, m_options.ulTimeoutSec, answer);
        if (status == kExitOk && m_options.bJson) {
            Json::Value document(Json::objectValue);
            document["status"] = "cleared";
            PrintJsonDocument(document);
        } else if (status == kExitOk) {
            printf("diagnose export cleared\n");
        }
        return status;
    }

    const ControlOptions& m_options;
    const ExportArgs& m_args;
    uint16_t m_usNode;
};

}  // namespace

int RunExport(const ControlOptions& options) {
    ExportArgs args;
    if (!ParseExportArgs(options.vecWords, args)) {
        return ExportUsage();
    }
    return ExportCommand(options, args).Run();
}

}  // namespace chs_tools
