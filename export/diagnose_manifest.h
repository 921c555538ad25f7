// What a diagnose export holds, in words an operator reads: the state of
// every node's package (built, fallback, offline, failed, or still building)
// with its reason, and manifest.json, written beside the packages of every
// bundle. The manifest lists per node its package, size, SHA-256 and status,
// the same for the running data and the alarm-and-event file, the size
// budget and what was left out of it, and the export's type, run node, start
// and end time.
//
// The merge records what it took and what it left out in a MergeLedger that
// belongs to the merging thread; the manifest is made from that ledger and the
// copy of the export record the merge worked on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "export/export_frame.h"

// Name of the manifest inside a bundle.
constexpr const char* DIAGNOSE_MANIFEST_NAME = "manifest.json";
// The manifest's schema version.
constexpr int DIAGNOSE_MANIFEST_VERSION = 1;
// Environment variable that lowers the bundle's size budget (bytes) below
// DIAGNOSE_FILE_MERGE_LIMIT_SIZE, for a small array disk or a test.
constexpr const char* DIAGNOSE_BUDGET_ENV = "CHS_DIAGNOSE_BUDGET";
// Bound of a package summary taken into the manifest.
constexpr uint32_t DIAGNOSE_SUMMARY_MAX_LINES = 1024;
constexpr uint32_t DIAGNOSE_SUMMARY_TIMEOUT_MS = 15000;

// State words of a node in an export.
constexpr const char* EXPORT_STATE_BUILT = "built";
constexpr const char* EXPORT_STATE_FALLBACK = "fallback";
constexpr const char* EXPORT_STATE_OFFLINE = "offline";
constexpr const char* EXPORT_STATE_FAILED = "failed";
constexpr const char* EXPORT_STATE_BUILDING = "building";

struct ExportNodeState {
    uint16_t usNode = 0;
    std::string strName;
    std::string strState;   // one of the words above
    uint64_t ullBytes = 0;  // package size as the node reported it
    std::string strReason;  // empty for a built package
};

// A node that answered the ping but not the daemon: its entry points at the
// export directory, where its minimal package lies.
bool IsFallbackExportNode(const tagCOLLECOR_EXPORT_NODE_INFO_S& record);

// The selected nodes of `cfg`, in node order.
std::vector<ExportNodeState> ExportNodeStates(const tagCOLLECOR_EXPORT_FILE_PARAM_S& cfg);

// One part the merge dealt with: a node package or a data file.
struct MergeEntry {
    int32_t iNode = -1;     // -1 for a data file
    std::string strKind;    // "node", "running_data", "alarm_event"
    std::string strMember;  // name in the bundle; empty when it never arrived
    uint64_t ullBytes = 0;
    bool bTaken = false;
    bool bLeftOut = false;  // refused by a size limit (budget or part limit)
    std::string strReason;  // why it is not in the bundle
};

struct MergeLedger {
    uint64_t ullBudget = 0;
    std::vector<MergeEntry> vecEntries;
    // The entry of a node or data kind, made on first use.
    MergeEntry& Entry(int32_t node, const std::string& kind);
};

// The ledger of the merge running on this thread (nullptr outside a merge:
// the merge steps then record nothing).
MergeLedger* CurrentMergeLedger();
void SetCurrentMergeLedger(MergeLedger* ledger);

// The bundle's size budget in bytes: DIAGNOSE_FILE_MERGE_LIMIT_SIZE, or the
// smaller value of DIAGNOSE_BUDGET_ENV when that is a positive number.
uint32_t DiagnoseMergeBudget();

// Lower-case hex SHA-256 of the regular file `realPath`; false when it cannot
// be read.
bool Sha256OfFile(const std::string& realPath, std::string& hex);

// Writes DIAGNOSE_MANIFEST_NAME into `realDir` (the merge directory, real
// path) from the ledger and the export record copy. The node packages'
// summaries come from the diagnostic script's package_summary action. 0 or -1
// (logged).
int32_t WriteDiagnoseManifest(const tagCOLLECOR_EXPORT_FILE_PARAM_S& cfg, const MergeLedger& ledger,
                              const std::string& realDir);
