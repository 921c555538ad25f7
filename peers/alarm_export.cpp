#include "peers/alarm_export.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "infra/chs_log.h"
#include "msg/chs_wire.h"
#include "peers/child_run.h"
#include "peers/peer_codes.h"

namespace chs_peers {
namespace {

constexpr uint32_t kLogTypes[] = {chs_wire::ALM_LOG_TYPE_FIRST, chs_wire::ALM_LOG_TYPE_SECOND,
                                  chs_wire::ALM_LOG_TYPE_EVENT};

bool IsReady(int32_t state) {
    return state == chs_wire::ALM_NODE_READY || state == chs_wire::ALM_NODE_READY_PARTIAL;
}

bool IsRegularIn(int dir, const std::string& name) {
    struct stat info {};
    return fstatat(dir, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode);
}

// The first line of what tar printed, for the log.
std::string FirstLine(const std::string& file) {
    int fd = open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return "";
    }
    char buffer[256];
    ssize_t got = read(fd, buffer, sizeof(buffer));
    close(fd);
    std::string text(buffer, got > 0 ? static_cast<size_t>(got) : 0);
    return text.substr(0, text.find('\n'));
}

std::string AlarmFileName(uint16_t node) { return "node" + std::to_string(node) + ".jsonl"; }

}  // namespace

AlarmExports::~AlarmExports() {
    for (Slot& slot : m_slots) {
        std::lock_guard<std::mutex> starting(slot.startMutex);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (slot.job) {
                Abandon(*slot.job);
            }
        }
        if (slot.worker.joinable()) {
            slot.worker.join();
        }
    }
}

bool AlarmExports::IsLogType(uint32_t logType) {
    return std::find(std::begin(kLogTypes), std::end(kLogTypes), logType) != std::end(kLogTypes);
}

bool AlarmExports::LogTypeOfClearType(uint32_t clearType, uint32_t& logType) {
    switch (clearType) {
        case chs_wire::ALM_CLEAR_TYPE_FIRST:
            logType = chs_wire::ALM_LOG_TYPE_FIRST;
            return true;
        case chs_wire::ALM_CLEAR_TYPE_SECOND:
            logType = chs_wire::ALM_LOG_TYPE_SECOND;
            return true;
        case chs_wire::ALM_CLEAR_TYPE_EVENT:
            logType = chs_wire::ALM_LOG_TYPE_EVENT;
            return true;
        default:
            return false;
    }
}

AlarmExports::Slot* AlarmExports::SlotOf(uint32_t logType) {
    return const_cast<Slot*>(static_cast<const AlarmExports*>(this)->SlotOf(logType));
}

const AlarmExports::Slot* AlarmExports::SlotOf(uint32_t logType) const {
    for (size_t i = 0; i < std::size(kLogTypes); ++i) {
        if (kLogTypes[i] == logType) {
            return &m_slots[i];
        }
    }
    return nullptr;
}

std::string AlarmExports::PackageName(uint32_t logType, uint16_t node) const {
    return "almlog_" + std::to_string(logType) + "_" + m_context.NodeDirName(node) + ".tgz";
}

DirFd AlarmExports::OpenExportDir(bool create, std::string& why) const {
    return OpenDirBelow(m_context.NodeRoot(m_context.NodeId()).string(), kExportDir, create, why);
}

void AlarmExports::Abandon(Job& job) {
    job.bCancel = true;
    for (Entry& entry : job.entries) {
        if (entry.iExportState == chs_wire::ALM_NODE_PACKING) {
            entry.iExportState = chs_wire::ALM_NODE_FAILED;
        }
    }
}

uint32_t AlarmExports::Start(uint32_t logType, std::string& why) {
    Slot* slot = SlotOf(logType);
    if (slot == nullptr) {
        why = "log type " + std::to_string(logType) + " is none of 8, 2 and 1";
        return PEER_ERR_BAD_REQUEST;
    }
    std::lock_guard<std::mutex> starting(slot->startMutex);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (slot->job) {
            Abandon(*slot->job);
        }
    }
    // The abandoned worker kills its tar within one poll; waiting for it keeps
    // one worker per log type and its files out of the new build's way.
    if (slot->worker.joinable()) {
        slot->worker.join();
    }
    DirFd dir = OpenExportDir(true, why);
    if (!dir.Valid()) {
        return PEER_ERR_FILE;
    }

    auto job = std::make_shared<Job>();
    job->uiLogType = logType;
    for (const platform::NodeConfig& node : m_context.Cluster().nodes) {
        if (logType == chs_wire::ALM_LOG_TYPE_EVENT && node.usId != m_context.NodeId()) {
            continue;
        }
        Entry entry;
        entry.usNode = node.usId;
        entry.strName = node.strName;
        entry.strFile = PackageName(logType, node.usId);
        entry.iExportState = chs_wire::ALM_NODE_PACKING;
        // A package of the export this one replaces must not pass for its own.
        unlinkat(dir.Get(), entry.strFile.c_str(), 0);
        job->entries.push_back(entry);
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        slot->job = job;
    }
    try {
        slot->worker = std::thread(&AlarmExports::Run, this, job);
    } catch (const std::system_error& e) {
        std::lock_guard<std::mutex> lock(m_mutex);
        Abandon(*job);
        why = std::string("no worker thread: ") + e.what();
        return PEER_ERR_BUSY;
    }
    CHS_LOG(1, LOGID_PEERS, "[561] Export of log type %u started: %zu package(s).", logType,
            job->entries.size());
    return PEER_OK;
}

bool AlarmExports::Status(uint32_t logType, std::vector<AlarmNodeStatus>& nodes) const {
    nodes.clear();
    const Slot* slot = SlotOf(logType);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (slot == nullptr || !slot->job) {
        return false;
    }
    for (const Entry& entry : slot->job->entries) {
        nodes.push_back({entry.strName, entry.uiPkgState, entry.iExportState});
    }
    return true;
}

uint32_t AlarmExports::Package(uint32_t logType, const std::string& nodeName, std::string& systemPath,
                               std::string& why) const {
    const Slot* slot = SlotOf(logType);
    std::string file;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (slot == nullptr || !slot->job) {
            why = "no export of log type " + std::to_string(logType);
            return PEER_ERR_NO_EXPORT;
        }
        for (const Entry& entry : slot->job->entries) {
            if (entry.strName != nodeName) {
                continue;
            }
            if (!IsReady(entry.iExportState) || entry.uiPkgState == chs_wire::ALM_PKG_FETCHED) {
                why = "the package of " + nodeName + " is not ready or was cleared";
                return PEER_ERR_NOT_READY;
            }
            file = entry.strFile;
        }
    }
    if (file.empty()) {
        why = nodeName + " has no package in the export of log type " + std::to_string(logType);
        return PEER_ERR_NODE;
    }
    DirFd dir = OpenExportDir(false, why);
    if (!dir.Valid() || !IsRegularIn(dir.Get(), file)) {
        why = "the package " + file + " is gone";
        return PEER_ERR_NOT_READY;
    }
    systemPath = kExportDir + file;
    return PEER_OK;
}

uint32_t AlarmExports::Clear(uint32_t logType, const std::string& nodeName, std::string& why) {
    Slot* slot = SlotOf(logType);
    const platform::NodeConfig* node = m_context.Cluster().FindNode(nodeName);
    if (slot == nullptr || node == nullptr) {
        why = "no log type " + std::to_string(logType) + " or no controller " + nodeName;
        return slot == nullptr ? PEER_ERR_BAD_REQUEST : PEER_ERR_NODE;
    }
    bool missing = false;
    DirFd dir =
        OpenDirBelow(m_context.NodeRoot(m_context.NodeId()).string(), kExportDir, false, why, &missing);
    if (!dir.Valid() && !missing) {
        return PEER_ERR_FILE;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string file;
    if (slot->job) {
        for (Entry& entry : slot->job->entries) {
            if (entry.strName == nodeName) {
                entry.uiPkgState = chs_wire::ALM_PKG_FETCHED;
                file = entry.strFile;
            }
        }
    }
    if (file.empty() && (logType != chs_wire::ALM_LOG_TYPE_EVENT || node->usId == m_context.NodeId())) {
        file = PackageName(logType, node->usId);  // left by an earlier run of this process
    }
    // Under the lock: the worker renames a finished package under it too, so
    // a package cleared while it is built is dropped instead of appearing.
    if (!file.empty() && dir.Valid() && unlinkat(dir.Get(), file.c_str(), 0) != 0 && errno != ENOENT) {
        why = file + ": " + strerror(errno);
        return PEER_ERR_FILE;
    }
    CHS_LOG(1, LOGID_PEERS, "[561] Package of %s for log type %u cleared.", nodeName.c_str(), logType);
    return PEER_OK;
}

unsigned int AlarmExports::StopAll() {
    unsigned int stopped = 0;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (Slot& slot : m_slots) {
        if (!slot.job) {
            continue;
        }
        const std::vector<Entry>& entries = slot.job->entries;
        if (std::any_of(entries.begin(), entries.end(),
                        [](const Entry& e) { return e.iExportState == chs_wire::ALM_NODE_PACKING; })) {
            Abandon(*slot.job);
            ++stopped;
        }
    }
    return stopped;
}

std::vector<std::pair<std::string, std::string>> AlarmExports::List() const {
    std::vector<std::pair<std::string, std::string>> packages;
    std::string why;
    DirFd dir = OpenExportDir(false, why);
    if (!dir.Valid()) {
        return packages;
    }
    for (uint32_t logType : kLogTypes) {
        for (const platform::NodeConfig& node : m_context.Cluster().nodes) {
            if (logType == chs_wire::ALM_LOG_TYPE_EVENT && node.usId != m_context.NodeId()) {
                continue;
            }
            std::string file = PackageName(logType, node.usId);
            if (IsRegularIn(dir.Get(), file)) {
                packages.emplace_back(node.strName, kExportDir + file);
            }
        }
    }
    return packages;
}

void AlarmExports::Run(std::shared_ptr<Job> job) {
    std::string why;
    DirFd dir = OpenExportDir(true, why);
    for (size_t i = 0; i < job->entries.size() && !job->bCancel; ++i) {
        const Entry& entry = job->entries[i];
        std::string tmp = "." + entry.strFile + ".part";
        int32_t state = chs_wire::ALM_NODE_FAILED;
        try {
            state = dir.Valid() ? Build(*job, i, dir.Get(), tmp, why) : chs_wire::ALM_NODE_FAILED;
        } catch (const std::exception& e) {
            why = e.what();
        }
        bool kept = false;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (job->bCancel) {
                why = "stopped";
            } else {
                if (IsReady(state) && entry.uiPkgState != chs_wire::ALM_PKG_FETCHED) {
                    kept = renameat(dir.Get(), tmp.c_str(), dir.Get(), entry.strFile.c_str()) == 0;
                    if (!kept) {
                        why = entry.strFile + ": " + strerror(errno);
                        state = chs_wire::ALM_NODE_FAILED;
                    }
                }
                job->entries[i].iExportState = state;
            }
        }
        if (!kept && dir.Valid()) {
            unlinkat(dir.Get(), tmp.c_str(), 0);
        }
        if (kept) {
            CHS_LOG(1, LOGID_PEERS, "[561] Package %s built%s.", entry.strFile.c_str(),
                    state == chs_wire::ALM_NODE_READY_PARTIAL ? " without some files" : "");
        } else {
            CHS_LOG(3, LOGID_PEERS, "[561] Package %s not built: %s.", entry.strFile.c_str(), why.c_str());
        }
    }
}

int32_t AlarmExports::Build(const Job& job, size_t index, int exportDir, const std::string& tmpName,
                            std::string& why) {
    const Entry& entry = job.entries[index];
    std::string exportPath = m_context.NodeRoot(m_context.NodeId()).string() + kExportDir;
    std::string stageName = ".stage_" + std::to_string(job.uiLogType);
    std::error_code ec;
    // remove_all removes links, never what they point at.
    std::filesystem::remove_all(exportPath + stageName, ec);
    unlinkat(exportDir, tmpName.c_str(), 0);

    DirFd stage = MakeSubDir(exportDir, stageName, why);
    std::string top = m_context.NodeDirName(entry.usNode);
    DirFd topDir = stage.Valid() ? MakeSubDir(stage.Get(), top, why) : DirFd();
    Stage staged;
    bool ok = topDir.Valid();
    if (job.uiLogType == chs_wire::ALM_LOG_TYPE_EVENT) {
        for (const platform::NodeConfig& node : m_context.Cluster().nodes) {
            ok = ok && StageNodeFiles(job.uiLogType, node.usId, topDir.Get(), staged, why);
        }
    } else {
        ok = ok && StageNodeFiles(job.uiLogType, entry.usNode, topDir.Get(), staged, why);
    }

    int32_t state = chs_wire::ALM_NODE_FAILED;
    if (ok && !job.bCancel) {
        std::string output = exportPath + ".tar_" + std::to_string(job.uiLogType) + ".out";
        // "--" keeps a controller name that starts with '-' from reading as an option.
        ChildResult run =
            RunChild({"tar", "-czf", exportPath + tmpName, "-C", exportPath + stageName, "--", top}, output,
                     kTarTimeoutMs, &job.bCancel);
        if (run.Succeeded()) {
            state = staged.bPartial ? chs_wire::ALM_NODE_READY_PARTIAL : chs_wire::ALM_NODE_READY;
        } else if (run.eKind == ChildResult::EXITED) {
            why = "tar ended with status " + std::to_string(run.iStatus) + ": " + FirstLine(output);
        } else {
            why = run.strWhy.empty() ? "tar ended by signal " + std::to_string(run.iStatus) : run.strWhy;
        }
        unlink(output.c_str());
    }
    std::filesystem::remove_all(exportPath + stageName, ec);
    return state;
}

bool AlarmExports::StageNodeFiles(uint32_t logType, uint16_t node, int top, Stage& stage,
                                  std::string& why) const {
    std::string name = m_context.NodeDirName(node);
    const std::string& cluster = m_context.ClusterDir();
    // A source directory that does not exist holds nothing to pack; one that
    // cannot be walked without following a link fails the package.
    bool missing = false;
    DirFd alarms = OpenDirBelow(cluster, "remote/alarm", false, why, &missing);
    if (!alarms.Valid() && !missing) {
        return false;
    }
    if (logType == chs_wire::ALM_LOG_TYPE_EVENT) {
        DirFd alarmTo = MakeSubDir(top, "alarm", why);
        DirFd eventTo = MakeSubDir(top, "events", why);
        DirFd events = OpenDirBelow(cluster, "run", false, why, &missing);
        if (!alarmTo.Valid() || !eventTo.Valid() || (!events.Valid() && !missing)) {
            return false;
        }
        return (!alarms.Valid() ||
                StageCopy(alarms.Get(), AlarmFileName(node), alarmTo.Get(), name + ".jsonl", stage, why)) &&
               (!events.Valid() || StageCopy(events.Get(), "peers" + std::to_string(node) + ".log",
                                             eventTo.Get(), name + ".jsonl", stage, why));
    }

    if (alarms.Valid() &&
        !StageCopy(alarms.Get(), AlarmFileName(node), top, "alarm_entries.jsonl", stage, why)) {
        return false;
    }
    std::string root = m_context.NodeRoot(node).string();
    DirFd rootDir = OpenDirBelow(root, "", false, why);
    if (!rootDir.Valid()) {
        why = "the root of node " + std::to_string(node) + " cannot be read: " + why;
        return false;
    }
    DirFd logs = OpenDirBelow(root, "var/log/chs", false, why, &missing);
    if (!logs.Valid()) {
        return missing;
    }
    DirFd logTo = MakeSubDir(top, "log", why);
    if (!logTo.Valid()) {
        return false;
    }
    bool more = false;
    size_t skipped = 0;
    for (const std::string& file : RegularFiles(logs.Get(), kMaxFilesPerDir, more, skipped)) {
        if (!StageCopy(logs.Get(), file, logTo.Get(), file, stage, why)) {
            return false;
        }
    }
    if (more) {
        CHS_LOG(2, LOGID_PEERS, "[561] Node %u has more than %zu log files; the package holds the first.",
                node, kMaxFilesPerDir);
        stage.bPartial = true;
    }
    if (skipped > 0) {
        CHS_LOG(2, LOGID_PEERS, "[561] %zu link(s) or special file(s) in the logs of node %u left out.",
                skipped, node);
        stage.bPartial = true;
    }
    return true;
}

bool AlarmExports::StageCopy(int fromDir, const std::string& name, int toDir, const std::string& toName,
                             Stage& stage, std::string& why) const {
    if (stage.ulBudget == 0) {
        CHS_LOG(2, LOGID_PEERS, "[561] %s left out: the package is full.", name.c_str());
        stage.bPartial = true;
        return true;
    }
    uint64_t copied = 0;
    std::string reason;
    CopyOutcome outcome =
        CopyFileTail(fromDir, name, toDir, toName, std::min(kMaxFileBytes, stage.ulBudget), copied, reason);
    stage.ulBudget -= std::min(copied, stage.ulBudget);
    switch (outcome) {
        case CopyOutcome::COPIED:
        case CopyOutcome::ABSENT:
            return true;
        case CopyOutcome::CUT:
            CHS_LOG(2, LOGID_PEERS, "[561] %s is packed cut to its newest %llu bytes.", name.c_str(),
                    static_cast<unsigned long long>(copied));
            stage.bPartial = true;
            return true;
        case CopyOutcome::SKIPPED:
            CHS_LOG(2, LOGID_PEERS, "[561] Left out %s.", reason.c_str());
            stage.bPartial = true;
            return true;
        case CopyOutcome::FAILED:
            break;
    }
    why = reason;
    return false;
}

}  // namespace chs_peers
