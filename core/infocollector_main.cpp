// The information collector daemon, module INFOCOLLECTOR (551).
//
//   infocollector -m INFOCOLLECTOR <cluster.json> <node-id> -r <node-root>
#include <malloc.h>

#include <cstdio>
#include <cstdlib>

#include "core/chs_init.h"
#include "core/collector_dir.h"
#include "core/omlib.h"
#include "infra/chs_log.h"
#include "infra/process_placement.h"

int main(int argc, char** argv) {
    CGroup_Init("INFOCOLLECTOR");
    ThreadStrategyInit(5, 0, "*/DEFAULT");

    // The process manager always passes seven arguments; anyone else gets the
    // usage rather than a crash on a missing one.
    if (argc < 7) {
        fprintf(stderr, "usage: infocollector -m INFOCOLLECTOR <cluster.json> <node-id> -r <node-root>\n");
        exit(1);
    }
    if (omlib::clusterInit(35, 0x700010, 35, argv[4], argv[6], argv[3]) != 0) {
        exit(1);
    }
    omlib::ShmInit();
    SetModuleID(551);
    chsLogCloseStdOut();

    mallopt(M_TRIM_THRESHOLD, 16384);
    mallopt(M_MMAP_THRESHOLD, 16384);

    omlib::regOmmlunIsvalid(ChsLunStatusCallback);
    CHS_LOG(1, LOGID_CORE, "Wait for the local controller to be powered on.");
    omlib::WaitSystemMasterReady();

    if (CHS_Init() != 0) {
        exit(1);
    }
    CHS_SupervisionLoop();
    return 0;
}
