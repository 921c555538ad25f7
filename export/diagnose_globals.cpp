#include "export/diagnose_globals.h"

std::string strDiagnoseInfoPath = "/VXA/coffer_data/omm/export_import/chs/export/diagnoseinfo/";
std::string strDiagnoseInfoName = "DiagnoseInfo.tgz";
std::string strDiagnoseExportPath = "/VXA/coffer_data/omm/export_import/";
std::string strDiagnoseInfoToNexhub = "/VXA/coffer_data/omm/export_import/chs/collector/diagnose_data/";
std::string strExportTaskId;
