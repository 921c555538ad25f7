// chsctl remote-log: the remote log collection task of the cluster, started
// and stopped through the daemon of one node (the node that then runs it) and
// shown from the task row in the configuration database.
//
//   chsctl [OPTIONS] remote-log ACTION, ACTION one of
//     start --mode 0|1|2 [--from TIME --to TIME] [--task-id ID] [--wait [--wait-limit S]]
//     stop ID
//     show
//
// Every refusal chsctl can see coming (a mode the daemon does not serve, a
// reversed range, an id longer than the row's column, a time it cannot read)
// is made here, before anything is sent: the daemon would otherwise accept
// the start and fail the task afterwards, visible only in the task row.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "msg/chs_wire.h"
#include "msg/inner_msg.h"
#include "platform/om_ccdb.h"
#include "tools/chsctl_client.h"
#include "tools/chsctl_commands.h"
#include "tools/chsctl_json.h"
#include "tools/chsctl_results.h"
#include "tools/chsctl_task_row.h"
#include "tools/chsctl_time.h"

namespace chs_tools {

const char* const kRemoteLogUsage =
    "       chsctl [OPTIONS] remote-log start --mode 0|1|2\n"
    "                 [--from TIME --to TIME] [--task-id ID] [--wait [--wait-limit SECONDS]]\n"
    "         have node N collect the alarm logs (mode 0 or 1) or the history logs of a time range\n"
    "         (mode 2, --from and --to required) of every node and send them to the remote\n"
    "         support service; TIME is YYYY-MM-DDThh:mm:ss[Z|+hh:mm] (local time without a\n"
    "         zone) or seconds since the epoch; --wait follows the task to its end (at most\n"
    "         --wait-limit seconds, 7200 by default)\n"
    "       chsctl [OPTIONS] remote-log stop ID\n"
    "       chsctl [OPTIONS] remote-log show\n"
    "         stop the remote log task ID, or show the cluster's remote log task\n";

namespace {

constexpr unsigned long kDefaultWaitLimitSec = 7200;

struct RemoteLogArgs {
    std::string strAction;
    bool bModeGiven = false;
    uint32_t uiMode = 0;
    bool bRangeGiven = false;
    uint64_t ullBeginMs = 0;
    uint64_t ullEndMs = 0;
    std::string strTaskId;
    bool bWait = false;
    bool bWaitLimitGiven = false;
    unsigned long ulWaitLimitSec = kDefaultWaitLimitSec;
};

int RemoteLogUsage() {
    fprintf(stderr, "usage:\n%s", kRemoteLogUsage);
    return kExitUsage;
}

bool CheckTaskId(const std::string& id) {
    if (id.empty()) {
        fprintf(stderr, "chsctl: the task id is empty\n");
        return false;
    }
    if (id.size() > chs_wire::REMOTE_LOG_TASK_ID_MAX) {
        fprintf(stderr, "chsctl: the task id has %zu bytes, at most %zu fit the task row\n", id.size(),
                chs_wire::REMOTE_LOG_TASK_ID_MAX);
        return false;
    }
    return true;
}

bool TakeTime(const char* option, const std::string& text, uint64_t& ms) {
    std::string error;
    if (!ParseTimeMs(text, ms, error)) {
        fprintf(stderr, "chsctl: %s \"%s\" %s\n", option, text.c_str(), error.c_str());
        return false;
    }
    return true;
}

bool ParseStartArgs(const std::vector<std::string>& words, RemoteLogArgs& args) {
    bool fromGiven = false;
    bool toGiven = false;
    for (size_t i = 2; i < words.size(); ++i) {
        const std::string& word = words[i];
        bool hasValue = i + 1 < words.size();
        if (word == "--mode" && hasValue) {
            unsigned long mode = 0;
            if (!ParseNumber(words[++i].c_str(), chs_wire::REMOTE_LOG_MODE_ALARM_FIRST,
                             chs_wire::REMOTE_LOG_MODE_HISTORY, mode)) {
                fprintf(stderr,
                        "chsctl: --mode takes 0 (alarm logs, first kind), 1 (alarm logs, second kind) or "
                        "2 (history logs of a time range), not \"%s\"\n",
                        words[i].c_str());
                return false;
            }
            args.uiMode = static_cast<uint32_t>(mode);
            args.bModeGiven = true;
        } else if (word == "--from" && hasValue) {
            fromGiven = true;
            if (!TakeTime("--from", words[++i], args.ullBeginMs)) {
                return false;
            }
        } else if (word == "--to" && hasValue) {
            toGiven = true;
            if (!TakeTime("--to", words[++i], args.ullEndMs)) {
                return false;
            }
        } else if (word == "--task-id" && hasValue) {
            args.strTaskId = words[++i];
            if (!CheckTaskId(args.strTaskId)) {
                return false;
            }
        } else if (word == "--wait") {
            args.bWait = true;
        } else if (word == "--wait-limit" && hasValue) {
            if (!ParseNumber(words[++i].c_str(), 1, 86400, args.ulWaitLimitSec)) {
                fprintf(stderr, "chsctl: --wait-limit takes a number of seconds from 1 to 86400\n");
                return false;
            }
            args.bWaitLimitGiven = true;
        } else {
            fprintf(stderr, "chsctl: remote-log start does not take %s (or it lacks its value)\n",
                    word.c_str());
            return false;
        }
    }
    if (!args.bModeGiven) {
        fprintf(stderr, "chsctl: remote-log start needs --mode 0, 1 or 2\n");
        return false;
    }
    if (fromGiven != toGiven) {
        fprintf(stderr, "chsctl: --from and --to go together\n");
        return false;
    }
    args.bRangeGiven = fromGiven;
    if (args.uiMode == chs_wire::REMOTE_LOG_MODE_HISTORY && !args.bRangeGiven) {
        fprintf(stderr, "chsctl: mode 2 collects the history logs of a time range: give --from and --to\n");
        return false;
    }
    if (args.bRangeGiven && args.ullEndMs < args.ullBeginMs) {
        fprintf(stderr, "chsctl: --to lies before --from\n");
        return false;
    }
    if (args.bWaitLimitGiven && !args.bWait) {
        fprintf(stderr, "chsctl: --wait-limit goes with --wait\n");
        return false;
    }
    return true;
}

// false (after printing why) for a bad command line. words[0] is "remote-log".
bool ParseRemoteLogArgs(const std::vector<std::string>& words, RemoteLogArgs& args) {
    if (words.size() < 2) {
        fprintf(stderr, "chsctl: remote-log needs an action: start, stop or show\n");
        return false;
    }
    args.strAction = words[1];
    if (args.strAction == "start") {
        return ParseStartArgs(words, args);
    }
    if (args.strAction == "stop") {
        if (words.size() != 3) {
            fprintf(stderr, "chsctl: remote-log stop takes the id of the task to stop\n");
            return false;
        }
        args.strTaskId = words[2];
        return CheckTaskId(args.strTaskId);
    }
    if (args.strAction == "show") {
        if (words.size() != 2) {
            fprintf(stderr, "chsctl: remote-log show takes no arguments\n");
            return false;
        }
        return true;
    }
    fprintf(stderr, "chsctl: unknown remote-log action %s\n", args.strAction.c_str());
    return false;
}

// The default id: unique enough for one person starting tasks by hand, and
// it says where the task came from.
std::string GeneratedTaskId() {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    return "chsctl-" + std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

class RemoteLogCommand {
  public:
    RemoteLogCommand(const ControlOptions& options, RemoteLogArgs& args)
        : m_options(options), m_args(args), m_usNode(static_cast<uint16_t>(options.ulNode)) {}

    int Run() {
        if (!AttachControl(m_options)) {
            return kExitFailed;
        }
        if (m_args.strAction == "start") {
            return Start();
        }
        if (m_args.strAction == "stop") {
            return Stop();
        }
        return Show();
    }

  private:
    // Sends `request`; kExitOk with the record id and result of the answer's
    // first record (a record without cell 4095 carries 0) and the reason the
    // daemon may give with a refusal, else the exit status after reporting why.
    int Exchange(InnerMsg& request, uint64_t& record, uint32_t& result) {
        InnerMsg answer;
        SendOutcome outcome =
            SendRequest(request, m_usNode, static_cast<uint32_t>(m_options.ulTimeoutSec), answer);
        if (outcome != SendOutcome::kAnswered) {
            return ReportSendFailure(outcome, request, m_usNode);
        }
        if (answer.GetBody().empty()) {
            fprintf(stderr, "chsctl: the answer carries no record\n");
            return kExitFailed;
        }
        const MsgRecord& first = answer.GetBody()[0];
        record = first.GetCode();
        const CTLVCell* cell = first.find(chs_wire::TAG_RESULT);
        result = cell != nullptr ? MsgCellValue32(*cell) : 0;
        m_strDetail.clear();
        AnswerText(answer, chs_wire::TAG_DESCRIPTION, m_strDetail);
        return kExitOk;
    }

    // The refusal on standard error and, with --json, its document.
    int Refused(Json::Value document, uint32_t result, const char* meaning) {
        if (m_options.bJson) {
            AddResultFields(document, result, meaning);
            document["detail"] = m_strDetail;
            PrintJsonDocument(document);
        }
        return ReportRefusal(result, meaning, m_usNode, m_strDetail);
    }

    int Start() {
        if (m_args.strTaskId.empty()) {
            m_args.strTaskId = GeneratedTaskId();
        }
        MsgRecord* record = new MsgRecord(0);
        record->AppendString(chs_wire::REMOTE_LOG_TAG_TASK_ID, m_args.strTaskId);
        record->AppendInt32(chs_wire::REMOTE_LOG_TAG_MODE, static_cast<int32_t>(m_args.uiMode));
        record->AppendUInt64(chs_wire::REMOTE_LOG_TAG_BEGIN, m_args.ullBeginMs);
        record->AppendUInt64(chs_wire::REMOTE_LOG_TAG_END, m_args.ullEndMs);
        InnerMsg request = NewCollectorRequest(chs_wire::OPCODE_REMOTE_LOG_COLLECT, record);
        uint64_t answered = 0;
        uint32_t result = 0;
        int status = Exchange(request, answered, result);
        if (status != kExitOk) {
            return status;
        }
        Json::Value document(Json::objectValue);
        document["task_id"] = m_args.strTaskId;
        // Only the answer that says the task row was written means started;
        // refusals come back under the request's own code.
        if (answered != chs_wire::RECORD_REMOTE_TASK_ADDED || result != 0) {
            document["started"] = false;
            const char* meaning = ResultMeaningOf(result);
            if (result == 0) {
                meaning = "the answer does not say that the task started";
            }
            return Refused(document, result, meaning);
        }
        document["started"] = true;
        if (!m_options.bJson) {
            printf("remote log task %s started on node %u\n", m_args.strTaskId.c_str(), m_usNode);
            fflush(stdout);
        }
        if (!m_args.bWait) {
            if (m_options.bJson) {
                PrintJsonDocument(document);
            }
            return kExitOk;
        }
        return Wait(document);
    }

    // Follows the task row until the task ends. Progress lines go to
    // standard output, or to standard error with --json, where the start
    // document then carries the last row read under "task".
    int Wait(Json::Value& document) {
        if (OpenTaskStore() != OM_CCDB_OK) {
            return kExitFailed;
        }
        FILE* out = m_options.bJson ? stderr : stdout;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(m_args.ulWaitLimitSec);
        std::string lastProgress;
        for (;;) {
            TaskRow row;
            uint32_t ret = ReadLogTask(row);
            if (ret != 0 && ret != static_cast<uint32_t>(OM_CCDB_TIMEOUT)) {
                fprintf(stderr, "chsctl: the task row cannot be read (result %u)\n", ret);
                return kExitFailed;
            }
            if (ret == 0) {
                if (TaskIdOf(row) != m_args.strTaskId) {
                    fprintf(stderr, "chsctl: task %s is no longer the cluster's remote log task (now %s)\n",
                            m_args.strTaskId.c_str(), TaskIdOf(row).c_str());
                    return kExitFailed;
                }
                document["task"] = TaskJson(row);
                // Until the nodes' files are counted there is nothing to show.
                std::string progress = TaskProgressLine(row);
                if (row.i_tasksubitems != 0 && progress != lastProgress) {
                    fprintf(out, "%s\n", progress.c_str());
                    fflush(out);
                    lastProgress = progress;
                }
                if (row.i_taskendtime != 0) {
                    if (m_options.bJson) {
                        PrintJsonDocument(document);
                    } else {
                        PrintTask(row, stdout);
                    }
                    return row.i_taskstatus == chs_wire::TASK_STATUS_SUCCEEDED ? kExitOk : kExitFailed;
                }
            }
            if (std::chrono::steady_clock::now() >= deadline) {
                if (m_options.bJson) {
                    PrintJsonDocument(document);
                }
                fprintf(stderr, "chsctl: task %s is still running after %lu s\n", m_args.strTaskId.c_str(),
                        m_args.ulWaitLimitSec);
                return kExitTimeout;
            }
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
    }

    // The daemon answers 0 both when it sets the stop flag and when the task
    // had ended already; the row read before sending tells the two apart.
    int Stop() {
        bool endedBefore = false;
        if (OpenTaskStore() == OM_CCDB_OK) {
            TaskRow row;
            endedBefore =
                ReadLogTask(row) == 0 && TaskIdOf(row) == m_args.strTaskId && row.i_taskendtime != 0;
        }
        MsgRecord* record = new MsgRecord(0);
        record->AppendString(chs_wire::REMOTE_LOG_STOP_TAG_TASK_ID, m_args.strTaskId);
        InnerMsg request = NewCollectorRequest(chs_wire::OPCODE_REMOTE_LOG_STOP, record);
        uint64_t answered = 0;
        uint32_t result = 0;
        int status = Exchange(request, answered, result);
        if (status != kExitOk) {
            return status;
        }
        Json::Value document(Json::objectValue);
        document["task_id"] = m_args.strTaskId;
        if (result != 0) {
            document["stop_requested"] = false;
            return Refused(document, result, StopMeaningOf(result));
        }
        document["stop_requested"] = true;
        document["ended"] = endedBefore;
        if (m_options.bJson) {
            PrintJsonDocument(document);
        } else if (endedBefore) {
            printf("task %s had ended already: nothing to stop\n", m_args.strTaskId.c_str());
        } else {
            printf("stop requested for task %s\n", m_args.strTaskId.c_str());
        }
        return kExitOk;
    }

    // The stop answers the configuration database's own result when it
    // cannot read the task row.
    static const char* StopMeaningOf(uint32_t result) {
        switch (result) {
            case 0xFFFFFFFF:
                return "the task id does not match the running task";
            case OM_CCDB_NO_VALUE:
                return "no remote log task";
            case OM_CCDB_TIMEOUT:
                return "the configuration database stayed busy";
            case OM_CCDB_ERR_UNREACHABLE:
                return "the configuration database cannot be reached";
            case OM_CCDB_ERR_DB:
                return "the configuration database failed";
            default:
                return ResultMeaningOf(result);
        }
    }

    int Show() {
        if (OpenTaskStore() != OM_CCDB_OK) {
            return kExitFailed;
        }
        TaskRow row;
        uint32_t ret = ReadLogTask(row);
        if (ret == static_cast<uint32_t>(OM_CCDB_NO_VALUE)) {
            if (m_options.bJson) {
                PrintJsonDocument(Json::Value());
            }
            fprintf(stderr, "no remote log task\n");
            return kExitFailed;
        }
        if (ret != 0) {
            fprintf(stderr, "chsctl: the task row cannot be read (result %u)\n", ret);
            return kExitFailed;
        }
        if (m_options.bJson) {
            PrintJsonDocument(TaskJson(row));
        } else {
            PrintTask(row, stdout);
        }
        return kExitOk;
    }

    const ControlOptions& m_options;
    RemoteLogArgs& m_args;
    uint16_t m_usNode;
    std::string m_strDetail;  // of the last answer
};

}  // namespace

int RunRemoteLog(const ControlOptions& options) {
    RemoteLogArgs args;
    if (!ParseRemoteLogArgs(options.vecWords, args)) {
        return RemoteLogUsage();
    }
    return RemoteLogCommand(options, args).Run();
}

}  // namespace chs_tools
