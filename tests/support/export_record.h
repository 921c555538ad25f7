// Reading the export record from a test without racing the export's threads.
#pragma once

#include <cstdint>
#include <functional>

#include "export/export_frame.h"
#include "infra/detached_tasks.h"
#include "tests/support/process.h"

namespace chs_test {

// Waits until `done` holds for the export record, read under its lock, and
// then until every export thread has ended: what the test reads next is the
// record after its last write.
inline bool WaitExportRecord(const std::function<bool(const tagCOLLECOR_EXPORT_FILE_PARAM_S&)>& done,
                             uint32_t ms = 30000) {
    return WaitFor(
               [&] {
                   ExportCfgLock lock(ExportCfgMutex());
                   return done(g_astExportFileCfg);
               },
               ms) &&
           WaitDetachedTasksIdle(ms);
}

}  // namespace chs_test
