#include "core/trace_point.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <new>
#include <vector>

#include "infra/chs_log.h"
#include "infra/descriptors.h"
#include "infra/timer_drv.h"
#include "platform/platform_profile.h"

uint32_t g_uiTpHoldMs = 600000;
uint32_t g_uiTpCpuMaxMs = 600000;

namespace {

const char* const kOperSleep = "sleep";
const char* const kOperResetOS = "resetOS";
const char* const kHandlerTestFile = "/VXA/coffer_data/omm/export_import/chs/chs_handler_test";

std::atomic<uint32_t> g_uiRunTimes{0};

bool AllDigits(const std::string& text) {
    if (text.empty()) {
        return false;
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

// Splits at the first `separator`; without one both parts are empty.
void SplitFirst(const std::string& text, char separator, std::string& before, std::string& after) {
    size_t pos = text.find(separator);
    if (pos == std::string::npos) {
        before.clear();
        after.clear();
        return;
    }
    before = text.substr(0, pos);
    after = text.substr(pos + 1);
}

// Decimal conversion of a handler argument; false for a text that is not a
// number or does not fit, so that a bad marker ends the trace point with a
// log line instead of an uncaught error on the thread that tested it.
bool ToNumber(const char* text, unsigned long long max, unsigned long long& value) {
    if (!AllDigits(text)) {
        return false;
    }
    errno = 0;
    value = strtoull(text, nullptr, 10);
    return errno == 0 && value <= max;
}

// Reads a handler's argument: the text of a decimal number up to `max`. A
// null or empty text is logged with the handler's own check text.
bool HandlerArgument(void* arg, const char* emptyCheck, unsigned long long max, unsigned long long& value) {
    if (arg == nullptr) {
        CHS_LOG(3, LOGID_CORE, "(CHECK PARA FAILURE) (nullptr == arg) is false, return(RETURN_ERR).");
        return false;
    }
    const char* text = static_cast<const char*>(arg);
    if (*text == '\0') {
        CHS_LOG(3, LOGID_CORE, "(CHECK PARA FAILURE) %s.empty() is false, return(RETURN_ERR).", emptyCheck);
        return false;
    }
    if (!ToNumber(text, max, value)) {
        CHS_LOG(3, LOGID_CORE, "Trace point argument %s is not a number up to %llu.", text, max);
        return false;
    }
    return true;
}

// Counts one run when the counter is below `max`. The test and the count
// are one step, so that threads passing a marker together cannot both take
// its last run. `seen` is the counter before the attempt.
bool TakeRun(unsigned long long max, uint32_t& seen) {
    seen = g_uiRunTimes.load();
    while (seen < max) {
        if (g_uiRunTimes.compare_exchange_weak(seen, seen + 1)) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::string TracePointPath(const std::string& name) { return platform::RealPath(kTracePointDir + name); }

uint32_t ChsTpRunTimes() { return g_uiRunTimes.load(); }

void ChsTpCheckPoint(const char* name, int (*handler)(void*), void* defaultArgument, int* result) {
    std::string path = TracePointPath(name);
    if (access(path.c_str(), R_OK) == 0) {
        ChsTpHandler(path, handler, defaultArgument, result);
    }
}

namespace {

// The first line of a marker; false when the marker is not a regular file or
// cannot be read (an empty line would run the handler bare).
bool ReadMarkerLine(const std::string& path, std::string& line) {
    line.clear();
    struct stat st {};
    std::ifstream in(path);
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !in) {
        return false;
    }
    std::getline(in, line);
    if (in.bad()) {
        return false;
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    CHS_LOG_PRINT(0, LOGID_CORE, "strOperInfo: ", line);
    return true;
}

}  // namespace

std::string GetOperInfo(std::string& path) {
    std::string line;
    (void)ReadMarkerLine(path, line);
    return line;
}

int ChsTpModifyValue(std::string& line, int* result) {
    std::string text;
    std::string value;
    SplitFirst(line, '%', text, value);
    if (!AllDigits(value) || result == nullptr) {
        return -1;
    }
    unsigned long long number = 0;
    if (!ToNumber(value.c_str(), INT_MAX, number)) {
        CHS_LOG_PRINT(3, LOGID_CORE, "ChsTpModifyValue: value ", value, " is out of range.");
        return -1;
    }
    CHS_LOG_PRINT(0, LOGID_CORE, "ChsTpModifyValue: ", value);
    *result = static_cast<int>(number);
    return 0;
}

void ChsDoCallback(int (*handler)(void*), void* argument, int* result) {
    CHS_LOG(0, LOGID_CORE, "pCallback");
    if (handler == nullptr) {
        return;
    }
    int ret = handler(argument);
    if (result != nullptr) {
        *result = ret;
    }
}

void ChsResetLocalBoard() {
    CHS_LOG(0, LOGID_CORE, "ChsResetLocalBoard");
    const std::string& program = platform::GetProfile().strResetProgram;
    if (program.empty()) {
        CHS_LOG(3, LOGID_CORE, "No reset program in the platform profile, the controller is not reset.");
        return;
    }
    char* const argv[] = {const_cast<char*>("reboot"), const_cast<char*>("-f"), nullptr};
    char* const envp[] = {nullptr};
    pid_t pid = fork();
    if (pid == 0) {
        CloseDescriptorsFrom(3);
        execve(program.c_str(), argv, envp);
        _exit(127);
    }
    if (pid < 0) {
        CHS_LOG(3, LOGID_CORE, "Reset of the controller failed, fork errno %d.", errno);
        return;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        CHS_LOG(3, LOGID_CORE, "Reset program %s failed, status 0x%x.", program.c_str(), status);
    }
}

void ChsTpHandler(std::string path, int (*handler)(void*), void* defaultArgument, int* result) {
    CHS_LOG_PRINT(0, LOGID_CORE, "Trace Point: ", path);
    std::string line;
    if (!ReadMarkerLine(path, line)) {
        CHS_LOG_PRINT(2, LOGID_CORE, "Trace point ", path, " is not a readable file, nothing is run.");
        return;
    }
    if (line.empty()) {
        ChsDoCallback(handler, defaultArgument, result);
        return;
    }
    if (ChsTpModifyValue(line, result) == 0) {
        return;
    }

    std::string operation;
    std::string rest;
    std::string argument;
    std::string limit;
    SplitFirst(line, '#', operation, rest);
    SplitFirst(rest, '$', argument, limit);

    if (AllDigits(limit)) {
        unsigned long long max = 0;
        if (!ToNumber(limit.c_str(), ULLONG_MAX, max)) {
            max = ULLONG_MAX;
        }
        uint32_t runTimes = 0;
        if (!TakeRun(max, runTimes)) {
            CHS_LOG_PRINT(0, LOGID_CORE, "strTimes: ", limit, ", runTimes: ", runTimes);
            return;
        }
    }

    if (operation == kOperSleep) {
        unsigned long long ms = 0;
        if (ToNumber(argument.c_str(), UINT_MAX, ms)) {
            CHS_LOG_PRINT(0, LOGID_CORE, "sleep: ", argument, "MS");
            TimerDrvClass::Sleep(static_cast<unsigned int>(ms));
        }
    } else if (operation == kOperResetOS) {
        ChsResetLocalBoard();
    } else {
        ChsDoCallback(handler, argument.empty() ? defaultArgument : const_cast<char*>(argument.c_str()), result);
    }
}

int ChsTpMallocCallback(void* arg) {
    unsigned long long size = 0;
    if (!HandlerArgument(arg, "strMemSize", UINT_MAX, size)) {
        return -1;
    }
    unsigned int uiMemSize = static_cast<unsigned int>(size);
    if (uiMemSize < 1) {
        CHS_LOG(3, LOGID_CORE, "(CHECK PARA FAILURE) (uiMemSize < 1) is false, return(RETURN_ERR).");
        return -1;
    }
    unsigned char* block = new (std::nothrow) unsigned char[uiMemSize];
    if (block == nullptr) {
        CHS_LOG(3, LOGID_CORE, "malloc size:%u failed.", uiMemSize);
        return -1;
    }
    for (unsigned int i = 0; i < uiMemSize; ++i) {
        block[i] = 0x55;
    }
    CHS_LOG(1, LOGID_CORE, "malloc size:%u successed. the last byte is 0x%x.", uiMemSize, block[uiMemSize - 1]);
    block[uiMemSize - 1] = 0;
    TimerDrvClass::Sleep(g_uiTpHoldMs);
    delete[] block;
    return 0;
}

int ChsTpCpuCallback(void* arg) {
    unsigned long long loop = 0;
    if (!HandlerArgument(arg, "strCpuLoop", ULLONG_MAX, loop)) {
        return -1;
    }
    // Spin for `loop` milliseconds, bounded, so that the marker really loads
    // the CPU and the thread comes back by itself.
    unsigned long long busyMs = loop < g_uiTpCpuMaxMs ? loop : g_uiTpCpuMaxMs;
    CHS_LOG(1, LOGID_CORE, "Keep cpu busy for %llu ms.", busyMs);
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(busyMs);
    volatile unsigned long long spins = 0;
    while (std::chrono::steady_clock::now() < end) {
        spins = spins + 1;
    }
    return 0;
}

int ChsTpHandlerCallback(void* arg) {
    unsigned long long count = 0;
    if (!HandlerArgument(arg, "strHandlerNum", INT_MAX, count)) {
        return -1;
    }
    std::string base = platform::RealPath(kHandlerTestFile);
    std::vector<FILE*> files;
    for (unsigned long long i = 0; i < count; ++i) {
        FILE* file = fopen((base + std::to_string(i)).c_str(), "w");
        if (file != nullptr) {
            files.push_back(file);
        }
    }
    CHS_LOG(1, LOGID_CORE, "Opened %zu of %llu handler test files.", files.size(), count);
    TimerDrvClass::Sleep(g_uiTpHoldMs);
    for (FILE* file : files) {
        fclose(file);
    }
    for (unsigned long long i = 0; i < count; ++i) {
        remove((base + std::to_string(i)).c_str());
    }
    return 0;
}
