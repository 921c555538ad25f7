// Clearing everything collected: both directory trees, the record database
// and the agent's view of it.
#include <string>

#include "collector/collect_file_handoff.h"
#include "control/collector_switch.h"
#include "include/infocollector/collector_db.h"
#include "include/infocollector/collector_dir.h"
#include "infra/chs_log.h"

namespace {

const char* const kCollectorRoots[] = {
    "/VXA/coffer_data/omm/export_import/chs/collector/",
    "/VXA/lun_data/omm/chs/collector/",
};
// Children before their parents, so that a temp directory is emptied before
// the directory holding it.
const char* const kCollectorSubDirs[] = {
    "alarm/",     "running_data/", "perf/", "array/temp/",    "array/",
    "node/temp/", "node/",         "dha/",  "diagnose_data/",
};

}  // namespace

void HandleClearAllCollectorFile(InnerMsg& /*msg*/) {
    // Single failures are not reported: the requester only learns that
    // the clearing ran, and the next clearing catches what was left.
    for (const char* root : kCollectorRoots) {
        for (const char* sub : kCollectorSubDirs) {
            (void)CleanDirFile(std::string(root) + sub);
        }
    }
    (void)DelAllAlarmRecord();
    (void)deleteAllNodeRecord();
    (void)deleteAllPluginRecord();
    NotifyRelaydCollectorSwichChange();
    CHS_LOG(1, LOGID_CONTROL, "Finish to clear all collector file.");
}
