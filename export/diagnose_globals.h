// Where diagnose exports put their packages. Process-wide strings set at
// static initialisation; strExportTaskId and the per-node names are written
// by the diagnose export while it runs (one export at a time).
#pragma once

#include <string>

extern std::string strDiagnoseInfoPath;
extern std::string strDiagnoseInfoName;
extern std::string strDiagnoseExportPath;
extern std::string strDiagnoseInfoToNexhub;
extern std::string strExportTaskId;
