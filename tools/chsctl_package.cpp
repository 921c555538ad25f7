// chsctl package: have one node pack the node files its collector gathered
// into one archive in its export directory, and say where the archive is.
//
//   chsctl [OPTIONS] package
#include <cstdio>
#include <string>

#include "msg/chs_wire.h"
#include "msg/inner_msg.h"
#include "platform/platform_profile.h"
#include "tools/chsctl_client.h"
#include "tools/chsctl_commands.h"
#include "tools/chsctl_json.h"
#include "tools/chsctl_results.h"
#include "tools/chsctl_task_row.h"

namespace chs_tools {

const char* const kPackageUsage =
    "       chsctl [OPTIONS] package\n"
    "         pack the node files collected on node N into one archive and print its path\n";

namespace {

// Packing answers -1 for every failure it has: too little space on the
// coffer disk, or tar failing.
const char* PackageMeaningOf(uint32_t result) {
    return result == 0xFFFFFFFF ? "packing failed: little space on the coffer disk, or tar failed"
                                : ResultMeaningOf(result);
}

}  // namespace

int RunPackage(const ControlOptions& options) {
    if (options.vecWords.size() != 1) {
        fprintf(stderr, "chsctl: package takes no arguments\nusage:\n%s", kPackageUsage);
        return kExitUsage;
    }
    if (!AttachControl(options)) {
        return kExitFailed;
    }
    uint16_t node = static_cast<uint16_t>(options.ulNode);
    InnerMsg request = NewCollectorRequest(chs_wire::OPCODE_PKG_COLLECTOR_FILE, new MsgRecord(0));
    InnerMsg answer;
    SendOutcome outcome = SendRequest(request, node, static_cast<uint32_t>(options.ulTimeoutSec), answer);
    if (outcome != SendOutcome::kAnswered) {
        return ReportSendFailure(outcome, request, node);
    }
    const CTLVCell* cell =
        answer.GetBody().empty() ? nullptr : answer.GetBody()[0].find(chs_wire::TAG_RESULT);
    uint32_t result = cell != nullptr ? MsgCellValue32(*cell) : 0;
    std::string path;
    if (result == 0 && (!AnswerText(answer, chs_wire::PKG_TAG_PATH, path) || path.empty())) {
        fprintf(stderr, "chsctl: the answer names no archive\n");
        return kExitFailed;
    }
    Json::Value document(Json::objectValue);
    if (result != 0) {
        const char* meaning = PackageMeaningOf(result);
        if (options.bJson) {
            document["path"] = Json::Value();
            AddResultFields(document, result, meaning);
            PrintJsonDocument(document);
        }
        return ReportFailedResult(result, meaning);
    }
    // chsctl is attached with node N's root, so the platform maps the path
    // the daemon names to where it lies in the cluster directory.
    std::string realPath = platform::RealPath(path);
    if (options.bJson) {
        document["path"] = path;
        document["real_path"] = realPath;
        PrintJsonDocument(document);
    } else {
        printf("archive on node %u: %s\n", node, path.c_str());
        printf("in the cluster directory: %s\n", realPath.c_str());
    }
    return kExitOk;
}

}  // namespace chs_tools
