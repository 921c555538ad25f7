#include "export/diagnose_peer_files.h"

#include <optional>

#include "core/omlib.h"
#include "export/diagnose_download.h"
#include "export/diagnose_export.h"
#include "export/export_frame.h"
#include "infra/chs_log.h"
#include "msg/inner_msg.h"

namespace {

void OnDeleteAnswer(InnerMsg& answer) {
    uint32_t code = answer.TryGetErrorCode();
    if (code != 0) {
        CHS_LOG(2, LOGID_EXPORT, "Node (%u) answered the delete request with (%u).",
                static_cast<unsigned int>(answer.GetMsgInfo().usSenderBID), code);
    }
}

void OnDeleteTimeout(InnerMsg& answer) {
    CHS_LOG(2, LOGID_EXPORT, "Node (%u) did not answer the delete request.",
            static_cast<unsigned int>(answer.GetMsgInfo().usSenderBID));
}

// Posts the delete request; `failedText` is the line logged when posting fails.
int32_t PostDeleteRequest(const std::string& path, uint16_t node, std::optional<uint32_t> kind,
                          const char* failedText) {
    if (path.empty()) {
        CHS_LOG(3, LOGID_EXPORT, "Parameter NULL error.");
        return -1;
    }
    if (node >= EXPORT_MAX_NODE_NUM) {
        CHS_LOG(3, LOGID_EXPORT, "Node (%u) is invalid.", static_cast<unsigned int>(node));
        return -1;
    }
    try {
        InnerMsg request;
        InitExportRequest(request, node, EXPORT_DIAGNOSE_PID, EXPORT_OPCODE_DELETE_FILE, DIAGNOSE_DELETE_TIMEOUT);
        MsgRecord* record = new MsgRecord(EXPORT_OPCODE_DELETE_FILE);
        request.GetBody().append(record);
        record->appendInner(CTLVCell::NewString(DIAGNOSE_TAG_DELETE_PATH, path));
        if (kind) {
            record->appendInner(CTLVCell::NewInt32(DIAGNOSE_TAG_DELETE_KIND, static_cast<int32_t>(*kind)));
        }
        if (!request.PostAsyncMsg(new MsgAsyncFun(OnDeleteAnswer, OnDeleteTimeout))) {
            CHS_LOG(3, LOGID_EXPORT, "%s", failedText);
            return -1;
        }
    } catch (...) {
        CHS_LOG(3, LOGID_EXPORT, "Post async info abnormal.");
        return -1;
    }
    return 0;
}

}  // namespace

int32_t DeleteDiagnoseFile(const std::string& path, uint16_t node, uint32_t kind) {
    return PostDeleteRequest(path, node, kind, "Post async info failed.");
}

int32_t DeleteNodeFile(const std::string& path, uint16_t node) {
    return PostDeleteRequest(path, node, std::nullopt, "Post async info faied.");
}

void ClearLastExportFile() {
    uint16_t self = omlib::getLocalNidInUser();
    for (uint16_t node = 0; node < EXPORT_MAX_NODE_NUM; ++node) {
        tagCOLLECOR_EXPORT_NODE_INFO_S& record = g_astExportFileCfg.astNode[node];
        if (record.ucSelected != 1 || node == self || record.uiAnswered == EXPORT_ANSWERED_YES) {
            continue;
        }
        uint16_t controller = 0;
        if (omlib::getControllerID(record.strNodeName, controller) != 0) {
            CHS_LOG(3, LOGID_EXPORT, "Node (%s) is invalid.", record.strNodeName.c_str());
            continue;
        }
        (void)DeleteNodeFile(g_astExportFileCfg.strExportPath + record.strPkgName, controller);
        record.uiAnswered = EXPORT_ANSWERED_YES;
    }
    ClearDiagnseData();
}
