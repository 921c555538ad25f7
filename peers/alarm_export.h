// The alarm-log exports of the alarm service (endpoint 561): for each log type
// (8 and 2, the two kinds of alarm log; 1, the alarm-and-event file) at most
// one export, built on a worker thread of its own. Types 8 and 2 get one
// package per node configured in the cluster, holding that node's alarm
// entries and its log files; type 1 gets one cluster-wide package of every
// node's entries and event lines, named after this node. Packages are tar.gz
// files made by tar in <own root>/VXA/coffer_data/omm/export_import/alarm_log/
// and handed out by their system path (below the node root).
//
// A package is staged first, file by file, from the sources opened without
// following links and bounded in count and size, and packed from the stage,
// so tar never reads a file that is still being written or one that a link
// leads to. It lands under its final name by rename once complete.
//
// Thread-safe. The object owns its worker threads: the destructor abandons the
// running builds and joins them.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "peers/peer_context.h"
#include "peers/peer_files.h"

namespace chs_peers {

struct AlarmNodeStatus {
    std::string strName;       // controller name
    uint32_t uiPkgState = 0;   // chs_wire::ALM_PKG_FETCHED once cleared
    int32_t iExportState = 0;  // chs_wire::ALM_NODE_*
};

class AlarmExports {
  public:
    // `context` must outlive the object.
    explicit AlarmExports(const PeerContext& context) : m_context(context) {}
    ~AlarmExports();
    AlarmExports(const AlarmExports&) = delete;
    AlarmExports& operator=(const AlarmExports&) = delete;

    static bool IsLogType(uint32_t logType);
    // The log type whose packages a clear type names; false for no clear type.
    static bool LogTypeOfClearType(uint32_t clearType, uint32_t& logType);

    // Starts the export of `logType`, abandoning (and waiting out) the one
    // running for that type and removing its packages. PEER_OK once the
    // worker runs, else a code with the reason in `why`.
    uint32_t Start(uint32_t logType, std::string& why);
    // false when no export of `logType` was started by this process.
    bool Status(uint32_t logType, std::vector<AlarmNodeStatus>& nodes) const;
    // The system path of the package `nodeName` has in the export of
    // `logType`: PEER_OK only while it is built and not cleared.
    uint32_t Package(uint32_t logType, const std::string& nodeName, std::string& systemPath,
                     std::string& why) const;
    // Deletes the package of controller `nodeName` for `logType` and marks it
    // fetched. Repeating it, or clearing what was never built, is no error.
    uint32_t Clear(uint32_t logType, const std::string& nodeName, std::string& why);
    // Ends every running build: its tar is killed and its unfinished nodes
    // fail. Finished packages stay. The number of builds ended.
    unsigned int StopAll();
    // Every finished package in the export directory: (controller name, system path).
    std::vector<std::pair<std::string, std::string>> List() const;

    static constexpr const char* kExportDir = "/VXA/coffer_data/omm/export_import/alarm_log/";
    static constexpr uint32_t kTarTimeoutMs = 300000;
    static constexpr size_t kMaxFilesPerDir = 64;
    static constexpr uint64_t kMaxFileBytes = 16ull << 20;
    static constexpr uint64_t kMaxPackageBytes = 128ull << 20;

  private:
    struct Entry {
        // Fixed once the job is made, so the worker reads them without the lock.
        uint16_t usNode = 0;  // whose files it packs (type 1: this node)
        std::string strName;  // controller name
        std::string strFile;  // package file name in the export directory
        // Guarded by m_mutex.
        int32_t iExportState = 0;
        uint32_t uiPkgState = 0;
    };
    struct Job {
        uint32_t uiLogType = 0;
        std::atomic<bool> bCancel{false};
        std::vector<Entry> entries;  // never resized once the job runs
    };
    struct Slot {
        std::mutex startMutex;     // starts of one log type, one at a time
        std::shared_ptr<Job> job;  // guarded by m_mutex
        std::thread worker;        // guarded by startMutex
    };
    // What staging found: false from a stage step means the package fails.
    struct Stage {
        uint64_t ulBudget = kMaxPackageBytes;
        bool bPartial = false;
    };

    Slot* SlotOf(uint32_t logType);
    const Slot* SlotOf(uint32_t logType) const;
    std::string PackageName(uint32_t logType, uint16_t node) const;
    DirFd OpenExportDir(bool create, std::string& why) const;
    // Under m_mutex: the build stops and its unfinished nodes fail.
    static void Abandon(Job& job);

    void Run(std::shared_ptr<Job> job);
    // Stages and packs entry `index` into `tmpName`; ALM_NODE_READY(_PARTIAL)
    // or ALM_NODE_FAILED with `why`.
    int32_t Build(const Job& job, size_t index, int exportDir, const std::string& tmpName, std::string& why);
    bool StageNodeFiles(uint32_t logType, uint16_t node, int top, Stage& stage, std::string& why) const;
    bool StageCopy(int fromDir, const std::string& name, int toDir, const std::string& toName, Stage& stage,
                   std::string& why) const;

    const PeerContext& m_context;
    mutable std::mutex m_mutex;
    Slot m_slots[3];
};

}  // namespace chs_peers
