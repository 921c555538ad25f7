#include "logexport/log_list_service.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <memory>
#include <thread>

#include "export/data_file_copy.h"
#include "infra/chs_log.h"
#include "msg/chs_wire.h"
#include "msg/msg_process.h"
#include "platform/platform_profile.h"
#include "infra/detached_tasks.h"

namespace {

std::atomic<uint32_t> g_uiListWorkers{0};

// Start of a file's content in time: its birth time where the file system
// keeps one, else the beginning of time (a file of unknown start overlaps
// every range that its last write reaches).
int64_t BirthTime(const std::string& path) {
    struct statx stx {};
    if (statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME, &stx) == 0 && (stx.stx_mask & STATX_BTIME)) {
        return stx.stx_btime.tv_sec;
    }
    return 0;
}

// Copies the regular file `source` (never through a link) into `dir` as
// `name`, by way of a hidden temporary name. A file that grows meanwhile is
// copied as it was when opened. true when the copy is complete.
bool CopyLogFile(const std::string& source, const std::string& dir, const std::string& name) {
    int in = open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (in < 0) {
        return false;
    }
    struct stat st {};
    std::string partial = dir + "." + name + ".part";
    unlink(partial.c_str());  // left by a listing that was interrupted
    bool ok = fstat(in, &st) == 0 && S_ISREG(st.st_mode) &&
              CopyToNewFile(in, static_cast<uint64_t>(st.st_size), partial) == 0 &&
              rename(partial.c_str(), (dir + name).c_str()) == 0;
    close(in);
    if (!ok) {
        unlink(partial.c_str());
    }
    return ok;
}

struct ListWalk {
    uint64_t ulBegin;
    uint64_t ulEnd;
    std::string strCopyDir;  // real path, with a trailing '/'
    std::vector<std::string> vecCopied;
};

// Walks the real directory `dir` (the system directory `relative` below the
// log directory) and copies what overlaps the range.
void Walk(ListWalk& walk, const std::string& dir, const std::string& relative, int depth) {
    std::unique_ptr<DIR, int (*)(DIR*)> handle(opendir(dir.c_str()), closedir);
    if (!handle) {
        return;
    }
    while (dirent* entry = readdir(handle.get())) {
        if (walk.vecCopied.size() >= HIS_LOG_LIST_MAX_FILES) {
            CHS_LOG(2, LOGID_LOGEXPORT, "The history log listing stops at %zu files.", HIS_LOG_LIST_MAX_FILES);
            return;
        }
        std::string name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        std::string path = dir + name;
        struct stat st {};
        if (lstat(path.c_str(), &st) != 0) {
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            // The copies live below the coffer tree, never below the log
            // directory; still, never list what a listing wrote.
            if (depth > 1 && path + "/" != walk.strCopyDir) {
                Walk(walk, path + "/", relative + name + "_", depth - 1);
            }
            continue;
        }
        if (!S_ISREG(st.st_mode)) {
            continue;
        }
        int64_t modified = st.st_mtim.tv_sec;
        if (modified < static_cast<int64_t>(walk.ulBegin) || BirthTime(path) > static_cast<int64_t>(walk.ulEnd)) {
            continue;
        }
        std::string copyName = relative + name;
        if (CopyLogFile(path, walk.strCopyDir, copyName)) {
            walk.vecCopied.push_back(std::string(chs_wire::HIS_LOG_COPY_DIR) + copyName);
        } else {
            CHS_LOG(2, LOGID_LOGEXPORT, "Copy the log file (%s) failed, errno:%d.", path.c_str(), errno);
        }
    }
}

void AnswerListing(InnerMsg& request, uint64_t begin, uint64_t end) {
    std::vector<std::string> copied = CopyHisLogsOfRange(begin, end);
    MsgObject body;
    size_t bytes = 0;
    for (const std::string& path : copied) {
        if (bytes + path.size() > HIS_LOG_LIST_MAX_ANSWER_BYTES) {
            CHS_LOG(2, LOGID_LOGEXPORT, "The history log list is cut at %zu files.", body.size());
            break;
        }
        bytes += path.size();
        MsgRecord* record = new MsgRecord(0);
        record->AppendString(chs_wire::HIS_LOG_TAG_PATH, path);
        body.append(record);
    }
    if (body.empty()) {
        body.append(new MsgRecord(0));  // an answer needs a record; this one lists nothing
    }
    CHS_LOG(1, LOGID_LOGEXPORT, "Listed %zu history log file(s) of [%llu, %llu].", copied.size(),
            static_cast<unsigned long long>(begin), static_cast<unsigned long long>(end));
    if (!request.PostAckMsg(body)) {
        CHS_LOG(3, LOGID_LOGEXPORT, "Failed to post ack msg.");
    }
}

void RefuseListing(InnerMsg& request, uint32_t code, const char* why) {
    CHS_LOG(3, LOGID_LOGEXPORT, "Refuse the history log listing: %s.", why);
    if (!request.PostSimpleAckMsg(code, why)) {
        CHS_LOG(3, LOGID_LOGEXPORT, "Failed to post ack msg.");
    }
}

}  // namespace

std::vector<std::string> CopyHisLogsOfRange(uint64_t begin, uint64_t end) {
    ListWalk walk{begin, end, platform::RealPath(chs_wire::HIS_LOG_COPY_DIR), {}};
    if (mkdir(walk.strCopyDir.c_str(), 0750) != 0 && errno != EEXIST) {
        CHS_LOG(3, LOGID_LOGEXPORT, "Create the log copy directory failed, errno:%d.", errno);
        return {};
    }
    Walk(walk, platform::RealPath(HIS_LOG_SOURCE_DIR), "", HIS_LOG_SOURCE_DEPTH);
    return walk.vecCopied;
}

uint32_t DeleteCopiedHisLogs() {
    std::string dir = platform::RealPath(chs_wire::HIS_LOG_COPY_DIR);
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    std::unique_ptr<DIR, int (*)(DIR*)> handle(fdopendir(fd), closedir);
    if (!handle) {
        close(fd);
        return 0;
    }
    uint32_t deleted = 0;
    while (dirent* entry = readdir(handle.get())) {
        struct stat st {};
        if (fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !(S_ISREG(st.st_mode) || S_ISLNK(st.st_mode))) {
            continue;
        }
        if (unlinkat(fd, entry->d_name, 0) == 0) {
            ++deleted;
        }
    }
    return deleted;
}

void handleListHisLog(InnerMsg& request) {
    const MsgObject& body = request.GetBody();
    const CTLVCell* begin = body.empty() ? nullptr : body[0].find(chs_wire::HIS_LOG_TAG_BEGIN);
    const CTLVCell* end = body.empty() ? nullptr : body[0].find(chs_wire::HIS_LOG_TAG_END);
    if (begin == nullptr || end == nullptr || !CTLVCell::IsNumericalType(begin->GetType()) ||
        !CTLVCell::IsNumericalType(end->GetType())) {
        RefuseListing(request, 0x03000003, "cells 2 and 3 must hold the range in seconds");
        return;
    }
    uint64_t from = begin->GetUInt64();
    uint64_t to = end->GetUInt64();
    if (from > to) {
        RefuseListing(request, 0x03000003, "the range ends before it begins");
        return;
    }
    if (g_uiListWorkers.fetch_add(1) >= HIS_LOG_LIST_WORKERS) {
        g_uiListWorkers.fetch_sub(1);
        RefuseListing(request, 0xFFFFFFFF, "too many listings at once");
        return;
    }
    bool started = false;
    try {
        auto copy = std::make_shared<InnerMsg>(request);
        started = StartDetachedTask([copy, from, to] {
            AnswerListing(*copy, from, to);
            g_uiListWorkers.fetch_sub(1);
        });
    } catch (...) {
        // no memory for the copy of the request: refused below
    }
    if (!started) {
        g_uiListWorkers.fetch_sub(1);
        RefuseListing(request, 0xFFFFFFFF, "no worker for the listing");
    }
}

void handleDelHisLog(InnerMsg& request) {
    const MsgObject& body = request.GetBody();
    const CTLVCell* dir = body.empty() ? nullptr : body[0].find(chs_wire::DEL_HIS_LOG_TAG_DIR);
    std::string named = dir != nullptr && dir->GetType() == CTLVCell::TLV_STRING ? static_cast<const char*>(*dir) : "";
    std::string expected = chs_wire::HIS_LOG_COPY_DIR;
    if (named != expected && named + "/" != expected) {
        // Only the copies a listing made may go, whatever the sender names.
        CHS_LOG(2, LOGID_LOGEXPORT, "Refuse to delete the history logs in (%s).", named.c_str());
        return;
    }
    CHS_LOG(1, LOGID_LOGEXPORT, "Deleted %u copied history log file(s) of node %u's request.",
            DeleteCopiedHisLogs(), static_cast<unsigned int>(request.GetMsgInfo().usSenderBID));
}

int InitLogServiceMsgHandler() {
    MsgProcessClass* engine = MsgProcessClass::Instance();
    struct {
        uint32_t uiOpcode;
        void (*pfnHandle)(InnerMsg&);
    } const entries[] = {{chs_wire::OPCODE_LIST_HIS_LOG, handleListHisLog}, {chs_wire::OPCODE_DEL_HIS_LOG, handleDelHisLog}};
    for (const auto& entry : entries) {
        MsgHandle* handler = new MsgHandleWrapper(entry.pfnHandle, MSG_PRI_1);
        engine->AddHandlerHelper(handler, entry.uiOpcode, 0);
        if (engine->SearchHander(entry.uiOpcode) != handler) {
            CHS_LOG(3, LOGID_LOGEXPORT, "Failed to register the log service msg 0x%x.", entry.uiOpcode);
            return -1;
        }
    }
    return 0;
}
