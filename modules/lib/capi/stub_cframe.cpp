#include "modules/lib/capi/stub_cframe.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "infra/chs_log.h"
#include "platform/dplog.h"

extern "C" {

unsigned int MapLogLevelDf2Dbg_(int level) {
    switch (level) {
        case 1: return 6;
        case 2: return 4;
        case 3: return 3;
        case 4: return 6;
        default: return 7;
    }
}

void DF_LogOmm(unsigned int level, unsigned int /*ignored*/, unsigned int line, const char* func, unsigned int logId,
               const char* fmt, ...) {
    char buffer[256] = {0};
    if (fmt != nullptr) {
        va_list args;
        va_start(args, fmt);
        vsnprintf(buffer, sizeof(buffer), fmt, args);  // what fits is written
        va_end(args);
    }
    dplog_standard(GetModuleID(), MapLogLevelDf2Dbg_(static_cast<int>(level)), func ? func : "", line, logId, "%s",
                   buffer);
}

void DF_SetLogLevel(unsigned int module, unsigned int level) {
    dpax_log_level_set(module, MapLogLevelDf2Dbg_(static_cast<int>(level)));
}

void* DF_MemAlloc(unsigned char /*module*/, unsigned int size) { return malloc(size); }

void* DF_MemAlloc_F(unsigned char /*module*/, unsigned int size, const char* /*file*/, unsigned int /*line*/,
                    const char* /*func*/) {
    return malloc(size);
}

int DF_MemFree(void* pointer) {
    free(pointer);
    return 0;
}

int DF_MemFree_F(void* pointer, const char* /*file*/, ...) {
    free(pointer);
    return 0;
}

uint32_t LVOS_GetLocalNid(void) { return 0; }
}
