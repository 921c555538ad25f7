// chsctl export: the cluster-wide diagnose export, driven through the daemon
// of one node, which becomes the node that runs the export.
//
//   chsctl --cluster DIR --node N [--timeout S] [--json] export ACTION, ACTION one of
//     start [--type 3|4|5] [--wait [--wait-limit S]]
//     status [--type 3|4|5]
//     download [--type 3|4|5] [-o FILE]
//     clear
//
// --timeout bounds each request; `start --wait` polls the status once a
// second for at most --wait-limit seconds (600) and meanwhile shows how far
// each node has come with its package, read from the node's diagnose
// directory in the cluster directory.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "export/diagnose_download.h"
#include "export/diagnose_export.h"
#include "export/export_frame.h"
#include "export/msg_single_run.h"
#include "infra/file_util.h"
#include "msg/inner_msg.h"
#include "platform/om_cluster.h"
#include "platform/om_file_copy.h"
#include "tools/chsctl_client.h"
#include "tools/chsctl_commands.h"
#include "tools/chsctl_results.h"
#include "tools/cluster_layout.h"

namespace chs_tools {

const char* const kExportUsage =
    "       chsctl --cluster DIR --node N [--timeout SECONDS] [--json] export start [--type 3|4|5]\n"
    "                                                   [--wait [--wait-limit SECONDS]]\n"
    "         start a diagnose export of every node on node N (type 5, the default: for download);\n"
    "         --wait follows it to its end (at most --wait-limit seconds, 600 by default) and\n"
    "         shows how far each node has come with its package\n"
    "       chsctl --cluster DIR --node N [--timeout SECONDS] [--json] export status [--type 3|4|5]\n"
    "       chsctl --cluster DIR --node N [--timeout SECONDS] [--json] export download [--type 3|4|5]\n"
    "                                                   [-o FILE]\n"
    "         have node N merge the packages and copy the result to FILE (./DiagnoseInfo.tgz);\n"
    "         the request waits 300 s unless --timeout is given\n"
    "       chsctl --cluster DIR --node N [--timeout SECONDS] [--json] export clear\n"
    "         remove what the export left on the nodes\n";

namespace {

// The clear type of a download export.
constexpr int32_t kClearDownloadExport = 41;
constexpr uint32_t kStatusGathering = static_cast<uint32_t>(EXPORT_GATHER_RUNNING);

// Merging the packages on the node takes a while.
constexpr unsigned long kDownloadTimeoutSec = 300;
constexpr unsigned long kDefaultWaitLimitSec = 600;
constexpr int kWaitPollMs = 100;  // between status requests of "export start --wait"

// Where every node builds its package: the directory DiagnoseInfo_<name>[_MAIN][_LOCAL]/
// and, once it is packed, the file of that name with ".tgz".
constexpr const char* kDiagnoseDir = "/VXA/coffer_data/omm/export_import/chs/export/diagnoseinfo/";
constexpr const char* kPackageSuffixes[] = {"", "_MAIN", "_LOCAL", "_MAIN_LOCAL"};

// nullptr for a value the daemon does not answer with.
const char* StatusText(uint32_t status) {
    switch (status) {
        case kStatusGathering:
            return "gathering";
        case EXPORT_STATUS_READY:
            return "done";
        case EXPORT_STATUS_ABNORMAL:
            return "done, some parts missing";
        case EXPORT_STATUS_FAILED:
            return "failed";
        default:
            return nullptr;
    }
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
        fprintf(stderr, "chsctl: export needs an action: start, status, download or clear\n");
        return false;
    }
    args.strAction = words[1];
    const std::string& action = args.strAction;
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

// How far every node of the cluster has come with its package, read from the
// node's diagnose directory. Report() prints a line for each node whose state
// changed since the last call; a node without a package says nothing.
class PackageProgress {
  public:
    PackageProgress(const std::string& clusterDir, FILE* out) : m_strClusterDir(clusterDir), m_pOut(out) {}

    void Report() {
        for (const platform::NodeConfig& node : platform::Cluster().nodes) {
            std::string state = NodeState(node);
            std::string& last = m_states[node.usId];
            if (state != last) {
                fprintf(m_pOut, "node %u (%s): %s\n", node.usId, node.strName.c_str(),
                        state.empty() ? "no package" : state.c_str());
                fflush(m_pOut);
                last = state;
            }
        }
    }

  private:
    // "built (<size> bytes)" once the package file is there, "building"
    // while only its directory is, else empty.
    std::string NodeState(const platform::NodeConfig& node) const {
        std::string dir = SimulatedNodeRoot(m_strClusterDir, node.usId) + kDiagnoseDir;
        std::string state;
        for (const char* suffix : kPackageSuffixes) {
            std::string base = dir + EXPORT_DIAGNOSE_PKG_PREFIX + node.strName + suffix;
            struct stat st {};
            if (stat((base + ".tgz").c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
                return "built (" + std::to_string(static_cast<unsigned long long>(st.st_size)) + " bytes)";
            }
            if (stat(base.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                state = "building";
            }
        }
        return state;
    }

    std::string m_strClusterDir;
    FILE* m_pOut;
    std::map<uint16_t, std::string> m_states;
};

class ExportCommand {
  public:
    ExportCommand(const ControlOptions& options, const ExportArgs& args)
        : m_options(options), m_args(args), m_usNode(static_cast<uint16_t>(options.ulNode)) {}

    int Run() {
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
        record->appendInner(CTLVCell::NewInt32(EXPORT_TAG_TYPE, type));
        return NewCollectorRequest(opcode, record);
    }

    // Sends `request` and checks the answer's result code; kExitOk when the
    // daemon accepted it, else the exit status after reporting why.
    int Request(InnerMsg& request, unsigned long timeoutSec, InnerMsg& answer) {
        int status = ExchangeRequest(m_options, request, timeoutSec, answer);
        if (status != kExitOk) {
            return status;
        }
        uint32_t result = answer.TryGetErrorCode();
        return result == 0 ? kExitOk : ReportResult(result);
    }

    int Start() {
        MsgRecord* record = new MsgRecord(0);
        std::string taskId = "chsctl-" + std::to_string(getpid()) + "-" +
                             std::to_string(static_cast<long long>(time(nullptr)));
        record->appendInner(CTLVCell::NewString(EXPORT_TAG_TASK_ID, taskId));
        record->appendInner(CTLVCell::NewInt32(EXPORT_TAG_TYPE, m_args.iType));
        record->appendInner(CTLVCell::NewNumber(CTLVCell::TLV_INTEGER, EXPORT_TAG_RESERVED64, 0, 8));
        record->appendInner(CTLVCell::NewInt32(EXPORT_TAG_RESERVED, 0));
        InnerMsg request = NewCollectorRequest(EXPORT_OPCODE_EXPORT_FILE, record);
        InnerMsg answer;
        int status = Request(request, m_options.ulTimeoutSec, answer);
        if (status != kExitOk) {
            return status;
        }
        if (!m_options.bJson) {
            printf("diagnose export started on node %u (type %d)\n", m_usNode, m_args.iType);
            fflush(stdout);
        }
        return m_args.bWait ? Wait() : kExitOk;
    }

    // One status query without printing the answer. kExitOk when an answer
    // came: `result` is its result code and, when that is 0, `status` the
    // export status. Otherwise the exit status, the reason printed.
    int QueryStatus(InnerMsg& answer, uint32_t& result, uint32_t& status) {
        InnerMsg request = TypedRequest(EXPORT_OPCODE_GET_STATUS, m_args.iType);
        SendOutcome outcome =
            SendRequest(request, m_usNode, static_cast<uint32_t>(m_options.ulTimeoutSec), answer);
        if (outcome != SendOutcome::kAnswered) {
            return ReportSendFailure(outcome, request, m_usNode);
        }
        result = answer.TryGetErrorCode();
        if (result != 0) {
            return kExitOk;
        }
        const CTLVCell* cell = answer.GetBody().empty() ? nullptr : answer.GetBody()[0].find(DIAGNOSE_TAG_STATUS);
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
        if (m_options.bJson) {
            PrintMessageJson(answer);
        }
        if (result != 0) {
            return ReportResult(result);
        }
        const char* text = StatusText(status);
        if (text == nullptr) {
            fprintf(stderr, "chsctl: unknown export status 0x%08X\n", status);
            return kExitFailed;
        }
        if (!m_options.bJson) {
            printf("diagnose export status: %s\n", text);
        }
        return kExitOk;
    }

    // Polls the status until the export is no longer gathering. A busy
    // answer (another status query runs) is asked again; any other refusal
    // ends the wait. With --json the progress goes to standard error and the
    // last status answer to standard output.
    int Wait() {
        FILE* out = m_options.bJson ? stderr : stdout;
        PackageProgress progress(m_options.strCluster, out);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(m_args.ulWaitLimitSec);
        for (;;) {
            InnerMsg answer;
            uint32_t result = 0;
            uint32_t status = 0;
            int exit = QueryStatus(answer, result, status);
            if (exit != kExitOk) {
                return exit;
            }
            progress.Report();
            if (result != 0 && result != SINGLE_RUN_BUSY) {
                if (m_options.bJson) {
                    PrintMessageJson(answer);
                }
                return ReportResult(result);
            }
            if (result == 0 && status != kStatusGathering) {
                if (m_options.bJson) {
                    PrintMessageJson(answer);
                }
                const char* text = StatusText(status);
                if (text == nullptr) {
                    fprintf(stderr, "chsctl: unknown export status 0x%08X\n", status);
                    return kExitFailed;
                }
                fprintf(out, "diagnose export %s\n", text);
                return status == EXPORT_STATUS_READY || status == EXPORT_STATUS_ABNORMAL ? kExitOk : kExitFailed;
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
        return kExitOk;
    }

    int Clear() {
        InnerMsg request = TypedRequest(EXPORT_OPCODE_CLEAR, kClearDownloadExport);
        InnerMsg answer;
        int status = Request(request, m_options.ulTimeoutSec, answer);
        if (status == kExitOk && !m_options.bJson) {
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
