// Entry points through which the closed platform libraries log and allocate
// inside this process. They link against these names, so the signatures are fixed.
#pragma once

#include <cstdint>

extern "C" {
void DF_LogOmm(unsigned int level, unsigned int ignored, unsigned int line, const char* func, unsigned int logId,
               const char* fmt, ...) __attribute__((format(printf, 6, 7)));
void DF_SetLogLevel(unsigned int module, unsigned int level);
unsigned int MapLogLevelDf2Dbg_(int level);
void* DF_MemAlloc(unsigned char module, unsigned int size);
void* DF_MemAlloc_F(unsigned char module, unsigned int size, const char* file, unsigned int line, const char* func);
int DF_MemFree(void* pointer);
int DF_MemFree_F(void* pointer, const char* file, ...);
uint32_t LVOS_GetLocalNid(void);
}
