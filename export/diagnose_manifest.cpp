// Node states of a diagnose export and the manifest of its bundle.
#include "export/diagnose_manifest.h"

#include <fcntl.h>
#include <json/json.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

#include "control/remote_task.h"
#include "core/omlib.h"
#include "export/diagnose_download.h"
#include "export/diagnose_export.h"
#include "export/diagnose_globals.h"
#include "infra/chs_log.h"
#include "infra/exec_cmd.h"
#include "infra/string_util.h"
#include "platform/platform_profile.h"

namespace {

thread_local MergeLedger* t_ledger = nullptr;

std::string TimeText(int64_t seconds) {
    if (seconds <= 0) {
        return std::string();
    }
    time_t value = static_cast<time_t>(seconds);
    struct tm utc {};
    char text[32] = {};
    if (gmtime_r(&value, &utc) == nullptr || strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &utc) == 0) {
        return std::string();
    }
    return text;
}

const char* TypeText(uint32_t type) {
    switch (type) {
        case EXPORT_TYPE_DIAGNOSE_ALARM:
            return "upload on alarm";
        case EXPORT_TYPE_DIAGNOSE_CIRCLE:
            return "periodic upload";
        case EXPORT_TYPE_DIAGNOSE_DOWNLOAD:
            return "download";
        default:
            return "unknown";
    }
}

// The package summary the diagnostic script prints for `realPackage`, or
// null when the action fails or prints no JSON object.
Json::Value PackageSections(const std::string& realPackage) {
    std::string cmd = ExportSudo() + ShellQuote(platform::RealPath(DIAGNOSTIC_SCRIPT)) + " package_summary " +
                      ShellQuote(realPackage) + " 2>/dev/null";
    std::string output;
    int32_t status = -1;
    pid_t child = 0;
    int32_t ran = chs_safeSystemSub(cmd.c_str(), nullptr, DIAGNOSE_SUMMARY_TIMEOUT_MS, &status, &child,
                                    DIAGNOSE_SUMMARY_MAX_LINES, output);
    if (ran != 0 || status != 0) {
        CHS_LOG(1, LOGID_EXPORT, "No package summary of (%s): the script's action failed(%d, %d).",
                realPackage.c_str(), static_cast<int>(ran), static_cast<int>(status));
        return Json::Value(Json::nullValue);
    }
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value summary;
    std::string error;
    if (!reader->parse(output.data(), output.data() + output.size(), &summary, &error) ||
        !summary.isObject()) {
        CHS_LOG(2, LOGID_EXPORT, "The package summary of (%s) is no JSON object.", realPackage.c_str());
        return Json::Value(Json::nullValue);
    }
    return summary;
}

// The member part of a manifest entry: name, size and SHA-256 when it lies in
// the bundle, else nulls and the reason.
void DescribeMember(const MergeEntry* entry, const std::string& realDir, Json::Value& out) {
    out["in_bundle"] = false;
    out["package"] = Json::Value(Json::nullValue);
    out["sha256"] = Json::Value(Json::nullValue);
    if (entry == nullptr) {
        return;
    }
    std::string hex;
    if (entry->bTaken && !entry->strMember.empty()) {
        struct stat st {};
        std::string real = realDir + entry->strMember;
        if (lstat(real.c_str(), &st) == 0 && S_ISREG(st.st_mode) && Sha256OfFile(real, hex)) {
            out["in_bundle"] = true;
            out["package"] = entry->strMember;
            out["bytes"] = static_cast<Json::UInt64>(st.st_size);
            out["sha256"] = hex;
            return;
        }
    }
    if (!entry->strMember.empty()) {
        out["package"] = entry->strMember;
    }
    if (entry->ullBytes != 0) {
        out["bytes"] = static_cast<Json::UInt64>(entry->ullBytes);
    }
    if (!entry->strReason.empty()) {
        out["reason"] = entry->strReason;
    }
}

const MergeEntry* FindEntry(const MergeLedger& ledger, int32_t node, const std::string& kind) {
    for (const MergeEntry& entry : ledger.vecEntries) {
        if (entry.iNode == node && entry.strKind == kind) {
            return &entry;
        }
    }
    return nullptr;
}

Json::Value DataEntry(const tagCOLLECOR_EXPORT_DATA_S& block, const MergeLedger& ledger,
                      const std::string& kind, const std::string& realDir) {
    Json::Value out(Json::objectValue);
    const MergeEntry* entry = FindEntry(ledger, -1, kind);
    if (block.uiStatus == EXPORT_STATUS_READY) {
        out["status"] = EXPORT_STATE_BUILT;
    } else if (block.uiStatus == EXPORT_STATUS_COLLECTING) {
        out["status"] = EXPORT_STATE_BUILDING;
    } else {
        out["status"] = EXPORT_STATE_FAILED;
    }
    out["bytes"] = static_cast<Json::UInt64>(block.uiFileSize);
    DescribeMember(entry, realDir, out);
    if (!out["in_bundle"].asBool() && !out.isMember("reason")) {
        out["reason"] = block.uiStatus == EXPORT_STATUS_READY ? "not taken into the bundle"
                                                              : "the data could not be produced in time";
    }
    return out;
}

}  // namespace

MergeEntry& MergeLedger::Entry(int32_t node, const std::string& kind) {
    for (MergeEntry& entry : vecEntries) {
        if (entry.iNode == node && entry.strKind == kind) {
            return entry;
        }
    }
    vecEntries.emplace_back();
    vecEntries.back().iNode = node;
    vecEntries.back().strKind = kind;
    return vecEntries.back();
}

bool IsFallbackExportNode(const tagCOLLECOR_EXPORT_NODE_INFO_S& record) {
    return record.strPkgPath == strDiagnoseExportPath;
}

MergeLedger* CurrentMergeLedger() { return t_ledger; }
void SetCurrentMergeLedger(MergeLedger* ledger) { t_ledger = ledger; }

uint32_t DiagnoseMergeBudget() {
    uint32_t budget = DIAGNOSE_FILE_MERGE_LIMIT_SIZE;
    const char* text = getenv(DIAGNOSE_BUDGET_ENV);
    if (text != nullptr && *text != '\0') {
        char* end = nullptr;
        errno = 0;
        unsigned long long value = strtoull(text, &end, 10);
        if (errno == 0 && end != nullptr && *end == '\0' && value > 0 && value < budget) {
            budget = static_cast<uint32_t>(value);
        }
    }
    return budget;
}

std::vector<ExportNodeState> ExportNodeStates(const tagCOLLECOR_EXPORT_FILE_PARAM_S& cfg) {
    std::vector<ExportNodeState> states;
    for (uint16_t node = 0; node < EXPORT_MAX_NODE_NUM; ++node) {
        const tagCOLLECOR_EXPORT_NODE_INFO_S& record = cfg.astNode[node];
        if (record.ucSelected != 1) {
            continue;
        }
        ExportNodeState state;
        state.usNode = node;
        state.strName = record.strNodeName;
        state.ullBytes = record.uiPkgSize;
        switch (record.uiCollectStatus) {
            case EXPORT_STATUS_READY:
                state.strState = EXPORT_STATE_BUILT;
                break;
            case EXPORT_STATUS_ABNORMAL:
                state.strState = IsFallbackExportNode(record) ? EXPORT_STATE_FALLBACK : EXPORT_STATE_FAILED;
                state.strReason = IsFallbackExportNode(record)
                                      ? "the node answers a ping but not its daemon: a minimal package only"
                                      : "the package is incomplete";
                if (IsFallbackExportNode(record)) {
                    state.ullBytes = 0;  // the reserved size, not a size: known once merged
                }
                break;
            case EXPORT_STATUS_COLLECTING:
                state.strState = EXPORT_STATE_BUILDING;
                break;
            case EXPORT_STATUS_INIT:
                state.strState = EXPORT_STATE_OFFLINE;
                state.strReason = "out of the online map and not reachable";
                state.ullBytes = 0;
                break;
            default:
                state.strState = EXPORT_STATE_FAILED;
                state.strReason = "the node's package build failed or did not answer in time";
                state.ullBytes = 0;
                break;
        }
        states.push_back(state);
    }
    return states;
}

bool Sha256OfFile(const std::string& realPath, std::string& hex) {
    int fd = open(realPath.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    bool ok = ctx != nullptr && EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) == 1;
    char buffer[65536];
    while (ok) {
        ssize_t got = read(fd, buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        ok = EVP_DigestUpdate(ctx.get(), buffer, static_cast<size_t>(got)) == 1;
    }
    close(fd);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!ok || EVP_DigestFinal_ex(ctx.get(), digest, &length) != 1) {
        return false;
    }
    static const char kHex[] = "0123456789abcdef";
    hex.clear();
    for (unsigned int i = 0; i < length; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 0xF];
    }
    return true;
}

int32_t WriteDiagnoseManifest(const tagCOLLECOR_EXPORT_FILE_PARAM_S& cfg, const MergeLedger& ledger,
                              const std::string& realDir) {
    Json::Value manifest(Json::objectValue);
    manifest["manifest_version"] = DIAGNOSE_MANIFEST_VERSION;
    manifest["export"]["type"] = static_cast<Json::UInt>(cfg.ExportType);
    manifest["export"]["type_text"] = TypeText(cfg.ExportType);
    manifest["export"]["run_node"] = static_cast<Json::UInt>(omlib::getLocalNidInUser());
    CCDB_COMM::tagDB_CHS_REMOTE_TASK_S row{};
    int64_t start =
        GetRemoteTask(REMOTE_TASK_DIAGNOSE_EXPORT, row) == 0 ? static_cast<int64_t>(row.createTime) : 0;
    // The gathering stamps its end with the grace deadline of the download.
    int64_t end =
        cfg.llFinishDeadline > EXPORT_FINISH_GRACE_SEC ? cfg.llFinishDeadline - EXPORT_FINISH_GRACE_SEC : 0;
    manifest["export"]["start"] = TimeText(start);
    manifest["export"]["end"] = TimeText(end);
    manifest["export"]["bundled"] = TimeText(static_cast<int64_t>(time(nullptr)));

    Json::Value nodes(Json::arrayValue);
    for (const ExportNodeState& state : ExportNodeStates(cfg)) {
        Json::Value node(Json::objectValue);
        node["node"] = state.usNode;
        node["name"] = state.strName;
        node["status"] = state.strState;
        node["bytes"] = static_cast<Json::UInt64>(state.ullBytes);
        const MergeEntry* entry = FindEntry(ledger, state.usNode, "node");
        DescribeMember(entry, realDir, node);
        if (!state.strReason.empty() && (entry == nullptr || entry->strReason.empty())) {
            node["reason"] = state.strReason;
        } else if (!node.isMember("reason") && !node["in_bundle"].asBool()) {
            node["reason"] = "not taken into the bundle";
        }
        node["sections"] = node["in_bundle"].asBool() ? PackageSections(realDir + node["package"].asString())
                                                      : Json::Value(Json::nullValue);
        nodes.append(node);
    }
    manifest["nodes"] = nodes;
    manifest["running_data"] = DataEntry(cfg.stRunningData, ledger, "running_data", realDir);
    manifest["alarm_event"] = DataEntry(cfg.stAlarmEvent, ledger, "alarm_event", realDir);

    Json::Value budget(Json::objectValue);
    budget["bytes"] = static_cast<Json::UInt64>(ledger.ullBudget);
    budget["node_package_limit"] = static_cast<Json::UInt64>(DIAGNOSE_NODE_PKG_LIMIT);
    Json::Value leftOut(Json::arrayValue);
    for (const MergeEntry& entry : ledger.vecEntries) {
        if (!entry.bLeftOut) {
            continue;
        }
        Json::Value item(Json::objectValue);
        if (entry.iNode >= 0) {
            item["node"] = entry.iNode;
        }
        item["kind"] = entry.strKind;
        item["bytes"] = static_cast<Json::UInt64>(entry.ullBytes);
        item["reason"] = entry.strReason;
        leftOut.append(item);
    }
    budget["left_out"] = leftOut;
    manifest["budget"] = budget;

    Json::StreamWriterBuilder writer;
    writer["indentation"] = "  ";
    std::string text = Json::writeString(writer, manifest) + "\n";
    std::string path = realDir + DIAGNOSE_MANIFEST_NAME;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0640);
    if (fd < 0) {
        CHS_LOG(3, LOGID_EXPORT, "Cannot write the manifest (%s): %s.", path.c_str(), strerror(errno));
        return -1;
    }
    size_t done = 0;
    while (done < text.size()) {
        ssize_t put = write(fd, text.data() + done, text.size() - done);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            CHS_LOG(3, LOGID_EXPORT, "Cannot write the manifest (%s): %s.", path.c_str(), strerror(errno));
            close(fd);
            (void)unlink(path.c_str());
            return -1;
        }
        done += static_cast<size_t>(put);
    }
    close(fd);
    return 0;
}
