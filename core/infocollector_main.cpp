// The information collector daemon, module INFOCOLLECTOR (551).
//
//   infocollector -m INFOCOLLECTOR <cluster.json> <node-id> -r <node-root>
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/chs_init.h"
#include "core/collector_dir.h"
#include "core/omlib.h"
#include "infra/chs_log.h"
#include "infra/descriptors.h"
#include "infra/exception_handler.h"
#include "infra/process_placement.h"
#include "platform/om_db.h"

namespace {

const char* const kUsage = "usage: infocollector -m INFOCOLLECTOR <cluster.json> <node-id> -r <node-root>\n";

}  // namespace

int main(int argc, char** argv) {
    // What the launcher left open never reaches the commands the daemon runs.
    MarkInheritedDescriptorsCloseOnExec();
    if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        fputs(kUsage, stdout);
        return 0;
    }
    // The process manager always passes seven arguments; anyone else gets the
    // usage rather than a crash on a missing one, and nothing is run first.
    if (argc < 7) {
        fputs(kUsage, stderr);
        exit(1);
    }
    // Before the cluster attach opens the first database.
    (void)platform::OmDbUseLeanConnections();
    ThreadStrategyInit(5, 0, "*/DEFAULT");
    if (omlib::clusterInit(35, 0x700010, 35, argv[4], argv[6], argv[3]) != 0) {
        exit(1);
    }
    omlib::ShmInit();
    SetModuleID(551);
    chsLogCloseStdOut();
    installException();
    // SIGTERM and SIGINT stop the plugins and end the daemon with status 0.
    (void)CHS_InstallShutdownOnSignals();
    // After the cluster attach: the platform profile names the script by its
    // absolute path.
    CGroup_Init("INFOCOLLECTOR");

    mallopt(M_TRIM_THRESHOLD, 16384);
    mallopt(M_MMAP_THRESHOLD, 16384);

    omlib::regOmmlunIsvalid(ChsLunStatusCallback);
    CHS_LOG(1, LOGID_CORE, "Wait for the local controller to be powered on.");
    omlib::WaitSystemMasterReady();

    if (CHS_Init() != 0) {
        exit(1);
    }
    // What start-up freed goes back now, not after the first supervision
    // minute.
    malloc_trim(0);
    CHS_SupervisionLoop();
    return 0;
}
