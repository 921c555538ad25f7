#include "tools/chsctl_results.h"

#include "export/export_frame.h"
#include "export/msg_single_run.h"
#include "msg/chs_wire.h"
#include "tools/chsctl_client.h"

namespace chs_tools {
namespace {

struct ResultMeaning {
    uint32_t uiCode;
    const char* pText;
};

constexpr ResultMeaning kResultMeanings[] = {
    {EXPORT_ERR_TASK_RUNNING, "an export task is already running or still gathering"},
    {EXPORT_ERR_COFFER_SPACE, "not enough space on the coffer disk"},
    {EXPORT_ERR_FREE_MEM, "not enough free memory"},
    {EXPORT_ERR_UPGRADING, "an upgrade is in progress"},
    {EXPORT_ERR_PARAM, "a parameter is not valid (of an export: a type it does not serve)"},
    {EXPORT_ERR_GENERAL, "general failure"},
    {EXPORT_STATUS_FAILED, "the export failed"},
    {chs_wire::EXPORT_RESULT_NO_TASK, "no diagnose export task"},
    {chs_wire::EXPORT_RESULT_NOT_RUN_NODE, "the export state is unknown, or another node runs the task"},
    {chs_wire::EXPORT_RESULT_TYPE_MISMATCH, "not the current export type"},
    {chs_wire::EXPORT_RESULT_SECRET_FOUND,
     "a known secret of the cluster is in the bundle: it was removed and nothing was sent (the run node's log names the member)"},
    {chs_wire::RESULT_SWITCH_DRIVER_FAILED, "some plugin drivers did not follow"},
    {chs_wire::RESULT_PLUGIN_NOT_QUARANTINED, "the plugin is not quarantined"},
    {chs_wire::RESULT_PLUGIN_RELEASE_FAILED, "the quarantine file cannot be rewritten"},
    {SINGLE_RUN_BUSY, "busy, or not served"},
    // The log-export admission answers its verdicts untranslated.
    {EXPORT_INNER_ERROR, "inner error: the request could not be read or the task not recorded"},
    {EXPORT_UPGRADING, "an upgrade is in progress"},
    {EXPORT_FORCE_STOP, "stopped on request"},
    {EXPORT_SWITCH_OFF, "the collector switch is off"},
    {EXPORT_SPACE_NOT_ENOUGH, "not enough space on the coffer disk or not enough free memory"},
    {EXPORT_TASK_RUNNING, "a log task is running, or the last one ended less than 180 s ago"},
    {chs_wire::PKG_NOTHING_TO_PACK, "nothing to pack"},
};

}  // namespace

const char* ResultMeaningOf(uint32_t code) {
    for (const ResultMeaning& meaning : kResultMeanings) {
        if (meaning.uiCode == code) {
            return meaning.pText;
        }
    }
    return nullptr;
}

int ReportResult(uint32_t code) { return ReportFailedResult(code, ResultMeaningOf(code)); }

}  // namespace chs_tools
