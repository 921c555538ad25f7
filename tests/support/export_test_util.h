// Helpers of the export tests: probes of files and archives, a record of the
// commands an export ran, requests to this process's own daemon endpoint and
// the peer nodes a test binary plays by starting itself again.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "infra/chs_log.h"
#include "msg/inner_msg.h"
#include "msg/msg_process.h"
#include "platform/dplog.h"
#include "platform/om_cluster.h"
#include "platform/platform_state.h"
#include "tests/support/cluster_setup.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace chs_test {

// The member names of the gzip tar file `archive`, as the real tar lists them.
inline std::set<std::string> Members(const std::string& archive) {
    RunResult listed = RunProgram({"/bin/tar", "-tzf", archive});
    std::set<std::string> names;
    size_t start = 0;
    for (size_t end; (end = listed.out.find('\n', start)) != std::string::npos; start = end + 1) {
        names.insert(listed.out.substr(start, end - start));
    }
    return names;
}

inline bool Exists(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

// UINT64_MAX when there is nothing at `path`.
inline uint64_t SizeOf(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : UINT64_MAX;
}

// `text` in the file `path`, with its directories.
inline void PutFile(const std::string& path, const std::string& text) {
    MakeDirs(std::filesystem::path(path).parent_path().string());
    WriteText(path, text);
}

// A file of `size` bytes (at least 4) starting with "head", sparse beyond,
// with its directories.
inline void SizedFile(const std::string& path, uint64_t size) {
    PutFile(path, "head");
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(size)), 0) << path;
}

// The state overrides every export test starts from: plenty of disk and memory.
inline void ResetStates() {
    platform::state::ClearAll();
    platform::state::Set("free_disk_mb", "100000");
    platform::state::Set("free_mem_mb", "100000");
}

// The commands a test's stand-in for the export's command runner saw, with
// their time-outs; the runner is called on the export's worker threads.
class CommandLog {
  public:
    void Add(const std::string& cmd, uint32_t timeoutMs) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_commands.emplace_back(cmd, timeoutMs);
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_commands.clear();
    }
    // The commands containing `text`, with their time-outs.
    std::vector<std::pair<std::string, uint32_t>> With(const std::string& text = "") const {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<std::pair<std::string, uint32_t>> found;
        for (const auto& command : m_commands) {
            if (command.first.find(text) != std::string::npos) {
                found.push_back(command);
            }
        }
        return found;
    }
    size_t Count(const std::string& text) const { return With(text).size(); }

  private:
    mutable std::mutex m_mutex;
    std::vector<std::pair<std::string, uint32_t>> m_commands;
};

// A point where a worker thread waits until the test opens it; the test can
// wait for the worker to arrive there.
class Gate {
  public:
    void Pass() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_arrived = true;
        m_cond.notify_all();
        m_cond.wait(lock, [this] { return m_open; });
    }
    bool WaitArrived() {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, std::chrono::seconds(30), [this] { return m_arrived; });
    }
    void Open() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_cond.notify_all();
    }

  private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_arrived = false;
    bool m_open = false;
};

// A request of `opcode` to endpoint 551 of this node, holding `record`
// (taken over) or an empty record of the opcode.
inline InnerMsg LocalRequest(uint32_t opcode, MsgRecord* record = nullptr, uint32_t timeoutSec = 60) {
    InnerMsg request;
    tagMsgInfo& info = request.GetMsgInfo();
    info.uiMsgOPCode = opcode;
    info.usReceiverBID = MSG_LOCAL_NODE_BID;
    info.usReceiverPID = 551;
    info.uiMsgTimeout = timeoutSec;
    info.usMsgType = MSG_TYPE_REQUEST;
    request.GetBody().append(record != nullptr ? record : new MsgRecord(opcode));
    return request;
}

// Starts this test binary again with `env` ("NAME=value") set, to play
// another node, and waits until it says "ready" on `out`.
inline std::unique_ptr<Process> StartSelf(const std::string& env, const std::string& out) {
    auto self = std::make_unique<Process>(std::vector<std::string>{"/proc/self/exe"},
                                          std::vector<std::string>{env}, out);
    EXPECT_TRUE(WaitFor([&] { return ReadText(out) == "ready\n"; }, 20000)) << ReadText(out + ".err");
    return self;
}

// The peer side of StartSelf: attaches as `node` of `clusterFile` with the
// node root `root`, serves `handlers` on endpoint 551 (after `more`, which
// may start further services), says "ready" and waits to be killed. Returns
// only on failure.
inline int ServeAsPeer(const char* clusterFile, const char* node, const std::string& root,
                       std::initializer_list<std::pair<uint32_t, MsgHandleWrapper::Fn>> handlers,
                       const std::function<bool()>& more = nullptr) {
    if (OMClusterInit(35, 0, 35, node, root.c_str(), clusterFile) != 0) {
        return 2;
    }
    platform::LogOpen(root + "/var/log/chs/peer.log");
    SetModuleID(551);
    if (MsgProcessClass::Instance()->Init(551) != 0 || (more && !more())) {
        return 3;
    }
    for (const auto& [opcode, handler] : handlers) {
        MsgProcessClass::Instance()->AddHandlerHelper(new MsgHandleWrapper(handler, MSG_PRI_1), opcode, 0);
    }
    printf("ready\n");
    fflush(stdout);
    for (;;) {
        pause();
    }
}

}  // namespace chs_test
