// The file service of a node and the fetch that talks to it. Both sides
// decode the other's bytes field by field and trust nothing they did not
// check: the service never opens a path that resolves outside its coffer
// tree, the fetch never writes more than it asked for nor leaves a partial
// file where the caller expects a whole one.
#include "platform/om_file_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "platform/dplog.h"
#include "platform/msg_transport.h"
#include "platform/om_cluster.h"
#include "platform/platform_profile.h"

namespace platform {
namespace {

constexpr unsigned int kModule = 0;
constexpr const char* kCofferTree = "/VXA/coffer_data/";
constexpr uint32_t kRequestHeadBytes = 8 + 4 + 2;
constexpr uint32_t kAnswerHeadBytes = 4 + 8;

void PutLe(uint8_t* out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

uint64_t GetLe(const uint8_t* in, int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) {
        value |= static_cast<uint64_t>(in[i]) << (8 * i);
    }
    return value;
}

// Lexical checks first, so that a path outside the tree is refused the same
// way whether it exists or not.
bool AcceptableSystemPath(const std::string& path) {
    if (path.empty() || path[0] != '/' || path.find('\0') != std::string::npos ||
        path.size() <= strlen(kCofferTree) || path.compare(0, strlen(kCofferTree), kCofferTree) != 0) {
        return false;
    }
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        if (path.compare(start, end - start, "..") == 0 && end - start == 2) {
            return false;
        }
        start = end + 1;
    }
    return true;
}

bool Resolve(const std::string& path, std::string& resolved, int& error) {
    char* real = realpath(path.c_str(), nullptr);
    if (real == nullptr) {
        error = errno;
        return false;
    }
    resolved = real;
    free(real);
    return true;
}

// Whether the file open on `fd` lies below the resolved directory `tree`, by
// the kernel's own name of the open file.
bool OpenedInside(int fd, const std::string& tree) {
    std::string link = "/proc/self/fd/" + std::to_string(fd);
    char buffer[PATH_MAX + 1] = {};
    ssize_t length = readlink(link.c_str(), buffer, PATH_MAX);
    if (length <= 0 || length >= PATH_MAX) {
        return false;
    }
    std::string opened(buffer, static_cast<size_t>(length));
    return opened.compare(0, tree.size() + 1, tree + "/") == 0;
}

// Reads up to `maxChunk` bytes at `offset` of the coffer file `systemPath` of
// this node. Returns 0 or an OM_FILE_ERR_* status.
int ReadChunk(const std::string& systemPath, uint64_t offset, uint32_t maxChunk, uint64_t& total,
              std::string& bytes) {
    bytes.clear();
    total = 0;
    if (!AcceptableSystemPath(systemPath)) {
        return OM_FILE_ERR_REFUSED;
    }
    std::string tree;
    std::string file;
    int error = 0;
    if (!Resolve(RealPath(kCofferTree), tree, error)) {
        return OM_FILE_ERR_NOT_FOUND;
    }
    if (!Resolve(RealPath(systemPath), file, error)) {
        return error == ENOENT || error == ENOTDIR ? OM_FILE_ERR_NOT_FOUND : OM_FILE_ERR_READ;
    }
    if (file.compare(0, tree.size() + 1, tree + "/") != 0) {
        return OM_FILE_ERR_REFUSED;  // a link that leads out of the tree
    }
    // O_NOFOLLOW: a link swapped in after the resolution is not followed;
    // O_NONBLOCK: a fifo cannot stall the reader thread before fstat says so.
    int fd = open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT  ? OM_FILE_ERR_NOT_FOUND
               : errno == ELOOP ? OM_FILE_ERR_REFUSED
                                : OM_FILE_ERR_READ;
    }
    struct stat st {};
    int status = 0;
    if (!OpenedInside(fd, tree)) {
        // O_NOFOLLOW covers the last component only: a directory above it
        // swapped for a link after the resolution leads elsewhere.
        status = OM_FILE_ERR_REFUSED;
    } else if (fstat(fd, &st) != 0) {
        status = OM_FILE_ERR_READ;
    } else if (!S_ISREG(st.st_mode)) {
        status = OM_FILE_ERR_NOT_REGULAR;
    } else if (offset > static_cast<uint64_t>(st.st_size)) {
        status = OM_FILE_ERR_CHANGED;
    } else {
        total = static_cast<uint64_t>(st.st_size);
        uint64_t want = total - offset < maxChunk ? total - offset : maxChunk;
        bytes.resize(want);
        size_t done = 0;
        while (status == 0 && done < want) {
            ssize_t got = pread(fd, &bytes[done], want - done, static_cast<off_t>(offset + done));
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got < 0) {
                status = OM_FILE_ERR_READ;
            } else if (got == 0) {
                status = OM_FILE_ERR_CHANGED;  // shrank under us
            } else {
                done += static_cast<size_t>(got);
            }
        }
    }
    close(fd);
    if (status != 0) {
        bytes.clear();
        total = 0;
    }
    return status;
}

void Answer(void* request, int status, uint64_t total, const std::string& bytes) {
    uint32_t length = kAnswerHeadBytes + static_cast<uint32_t>(bytes.size());
    void* answer = MSG_AllocMsg(length, kModule, __func__, __LINE__);
    if (answer == nullptr) {
        return;  // the requester times out
    }
    uint8_t* out = static_cast<uint8_t*>(answer);
    PutLe(out, static_cast<uint32_t>(status), 4);
    PutLe(out + 4, total, 8);
    if (!bytes.empty()) {
        memcpy(out + kAnswerHeadBytes, bytes.data(), bytes.size());
    }
    if (MSG_PostAckMsg(request, answer, length) != 0) {
        dplog_standard(kModule, 4, __func__, __LINE__, 0, "File service answer (status %d) not sent.",
                       status);
    }
}

int ServeEntry(void* message) {
    tagMsgInfo info{};
    if (MSG_GetMsgInfo(message, &info) != 0 || info.usMsgType != MSG_TYPE_REQUEST) {
        return 0;  // nothing of ours ever expects an answer here
    }
    const uint8_t* in = static_cast<const uint8_t*>(message);
    uint32_t length = info.uiMsgLength;
    if (info.uiMsgOPCode != OM_FILE_OPCODE_GET_CHUNK || length > MSG_GetMsgLength(message) ||
        length < kRequestHeadBytes) {
        Answer(message, OM_FILE_ERR_PROTOCOL, 0, std::string());
        return 0;
    }
    uint64_t offset = GetLe(in, 8);
    uint32_t maxChunk = static_cast<uint32_t>(GetLe(in + 8, 4));
    uint32_t pathLength = static_cast<uint32_t>(GetLe(in + 12, 2));
    if (maxChunk == 0 || maxChunk > OM_FILE_MAX_CHUNK_BYTES || pathLength == 0 ||
        pathLength > OM_FILE_MAX_PATH_BYTES || length != kRequestHeadBytes + pathLength) {
        Answer(message, OM_FILE_ERR_PROTOCOL, 0, std::string());
        return 0;
    }
    std::string path(reinterpret_cast<const char*>(in + kRequestHeadBytes), pathLength);
    uint64_t total = 0;
    std::string bytes;
    int status = ReadChunk(path, offset, maxChunk, total, bytes);
    if (status != 0) {
        dplog_standard(kModule, 4, __func__, __LINE__, 0,
                       "File request of node %u for %.256s at offset %llu refused with status %d.",
                       info.usSenderBID, path.find('\0') == std::string::npos ? path.c_str() : "(binary)",
                       static_cast<unsigned long long>(offset), status);
    }
    Answer(message, status, total, bytes);
    return 0;
}

bool IsServiceStatus(uint32_t status) {
    return status >= static_cast<uint32_t>(OM_FILE_ERR_REFUSED) &&
           status <= static_cast<uint32_t>(OM_FILE_ERR_PROTOCOL);
}

// One chunk from the service of `nodeId`. 0 or an OM_FILE_ERR_* code.
int FetchRemoteChunk(uint16_t nodeId, const std::string& path, uint32_t timeoutSec, uint64_t offset,
                     uint32_t maxChunk, uint64_t& total, std::string& bytes) {
    uint32_t length = kRequestHeadBytes + static_cast<uint32_t>(path.size());
    void* request = MSG_AllocMsg(length, kModule, __func__, __LINE__);
    if (request == nullptr) {
        return OM_FILE_ERR_UNREACHABLE;
    }
    uint8_t* out = static_cast<uint8_t*>(request);
    PutLe(out, offset, 8);
    PutLe(out + 8, maxChunk, 4);
    PutLe(out + 12, path.size(), 2);
    memcpy(out + kRequestHeadBytes, path.data(), path.size());
    tagMsgInfo info{};
    MSG_InitMsgInfo(&info);
    info.usReceiverBID = nodeId;
    info.usReceiverPID = OM_FILE_SERVICE_PID;
    info.usReceiverNodeID = nodeId;
    info.usMsgType = MSG_TYPE_REQUEST;
    info.uiMsgOPCode = OM_FILE_OPCODE_GET_CHUNK;
    info.uiMsgLength = length;
    info.uiMsgTimeout = timeoutSec;
    void* answer = nullptr;
    int rc = MSG_SendSyncMsg(request, &info, &answer);
    if (rc != 0) {
        MSG_FreeMsg(answer);
        return rc == MSG_ERR_TIMEOUT ? OM_FILE_ERR_TIMEOUT : OM_FILE_ERR_UNREACHABLE;
    }
    tagMsgInfo got{};
    int result = 0;
    if (answer == nullptr || MSG_GetMsgInfo(answer, &got) != 0 || got.uiMsgState != MSG_STATE_SUCCESS ||
        got.uiMsgLength > MSG_GetMsgLength(answer) || got.uiMsgLength < kAnswerHeadBytes) {
        result = OM_FILE_ERR_PROTOCOL;
    } else {
        const uint8_t* in = static_cast<const uint8_t*>(answer);
        uint32_t status = static_cast<uint32_t>(GetLe(in, 4));
        if (status != 0) {
            result = IsServiceStatus(status) && got.uiMsgLength == kAnswerHeadBytes ? static_cast<int>(status)
                                                                                    : OM_FILE_ERR_PROTOCOL;
        } else if (got.uiMsgLength - kAnswerHeadBytes > maxChunk) {
            result = OM_FILE_ERR_PROTOCOL;
        } else {
            total = GetLe(in + 4, 8);
            bytes.assign(reinterpret_cast<const char*>(in + kAnswerHeadBytes),
                         got.uiMsgLength - kAnswerHeadBytes);
        }
    }
    MSG_FreeMsg(answer);
    return result;
}

using ChunkSource =
    std::function<int(uint64_t offset, uint32_t maxChunk, uint64_t& total, std::string& bytes)>;

bool WriteAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t wrote = write(fd, bytes.data() + done, bytes.size() - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            return false;
        }
        done += static_cast<size_t>(wrote);
    }
    return true;
}

// The temporary file is created only once the first chunk has come, so a
// refused request leaves nothing behind at all.
class PartialFile {
  public:
    explicit PartialFile(std::string target) : m_target(std::move(target)) {}
    ~PartialFile() {
        if (m_fd >= 0) {
            close(m_fd);
        }
        if (!m_temp.empty()) {
            unlink(m_temp.c_str());
        }
    }
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;

    bool Append(const std::string& bytes) {
        if (m_fd < 0 && !Open()) {
            return false;
        }
        return WriteAll(m_fd, bytes);
    }
    bool Commit() {
        if (m_fd < 0 && !Open()) {
            return false;
        }
        bool ok = fsync(m_fd) == 0;
        ok = close(m_fd) == 0 && ok;
        m_fd = -1;
        if (!ok || rename(m_temp.c_str(), m_target.c_str()) != 0) {
            return false;
        }
        m_temp.clear();
        return true;
    }

  private:
    bool Open() {
        size_t slash = m_target.find_last_of('/');
        std::string dir = slash == std::string::npos ? "." : m_target.substr(0, slash + 1);
        std::string name = slash == std::string::npos ? m_target : m_target.substr(slash + 1);
        std::string pattern = dir + (slash == std::string::npos ? "/." : ".") + name + ".part-XXXXXX";
        m_fd = mkostemp(&pattern[0], O_CLOEXEC);
        if (m_fd < 0) {
            return false;
        }
        m_temp = pattern;
        if (fchmod(m_fd, 0640) != 0) {
            return false;
        }
        return true;
    }

    std::string m_target;
    std::string m_temp;
    int m_fd = -1;
};

int CopyChunks(const ChunkSource& source, const std::string& target, uint64_t maxBytes) {
    PartialFile out(target);
    uint64_t offset = 0;
    uint64_t expectedTotal = 0;
    bool first = true;
    do {
        uint64_t total = 0;
        std::string bytes;
        int status = source(offset, OM_FILE_CHUNK_BYTES, total, bytes);
        if (status != 0) {
            return status;
        }
        if (first) {
            expectedTotal = total;
            first = false;
        } else if (total != expectedTotal) {
            return OM_FILE_ERR_CHANGED;
        }
        if (expectedTotal > maxBytes || offset + bytes.size() > maxBytes) {
            return OM_FILE_ERR_TOO_LARGE;
        }
        uint64_t left = expectedTotal - offset;
        if (bytes.size() != (left < OM_FILE_CHUNK_BYTES ? left : OM_FILE_CHUNK_BYTES)) {
            return OM_FILE_ERR_PROTOCOL;
        }
        if (!bytes.empty() && !out.Append(bytes)) {
            return OM_FILE_ERR_WRITE;
        }
        offset += bytes.size();
    } while (offset < expectedTotal);
    return out.Commit() ? 0 : OM_FILE_ERR_WRITE;
}

// A directory destination receives the file under the source's own name.
bool TargetPath(const std::string& source, const std::string& destination, std::string& target) {
    struct stat st {};
    bool intoDir = destination.back() == '/' || (stat(destination.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
    if (!intoDir) {
        target = destination;
        return true;
    }
    size_t slash = source.find_last_of('/');
    std::string name = slash == std::string::npos ? source : source.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") {
        return false;
    }
    target = destination + (destination.back() == '/' ? "" : "/") + name;
    return true;
}

}  // namespace

int StartFileService() {
    int rc = MSG_ClientInit("");
    if (rc != 0) {
        return rc;
    }
    // A process attached again (tests) gets an endpoint for its new node.
    (void)MSG_UnRegisterPID(OM_FILE_SERVICE_PID);
    return MSG_RegisterPID(OM_FILE_SERVICE_PID, ServeEntry);
}

}  // namespace platform

int OM_GetFileFromOtherNode(uint16_t nodeId, const char* source, const char* destination, uint32_t timeoutSec,
                            uint64_t maxBytes) {
    if (source == nullptr || destination == nullptr || *source == '\0' || *destination == '\0' ||
        strlen(source) > OM_FILE_MAX_PATH_BYTES) {
        return OM_FILE_ERR_PARAM;
    }
    std::string path(source);
    std::string target;
    if (!platform::TargetPath(path, destination, target)) {
        return OM_FILE_ERR_PARAM;
    }
    uint16_t local = 0;
    if (OMLIB_getLocalNodeID(&local) != 0 || platform::Cluster().FindNode(nodeId) == nullptr) {
        return OM_FILE_ERR_UNREACHABLE;
    }
    platform::ChunkSource chunks;
    if (nodeId == local) {
        chunks = [&path](uint64_t offset, uint32_t maxChunk, uint64_t& total, std::string& bytes) {
            return platform::ReadChunk(path, offset, maxChunk, total, bytes);
        };
    } else {
        chunks = [&](uint64_t offset, uint32_t maxChunk, uint64_t& total, std::string& bytes) {
            return platform::FetchRemoteChunk(nodeId, path, timeoutSec, offset, maxChunk, total, bytes);
        };
    }
    int result = platform::CopyChunks(chunks, target, maxBytes);
    if (result != 0) {
        dplog_standard(platform::kModule, 3, __func__, __LINE__, 0,
                       "Copying file %s of node %u to %s failed with %d.", source, nodeId, target.c_str(),
                       result);
    }
    return result;
}
