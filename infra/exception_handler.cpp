#include "infra/exception_handler.h"

#include <execinfo.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "infra/chs_log.h"
#include "infra/plugin_fault.h"
#include "platform/dplog.h"

const char* const kExceptionSignalNames[kExceptionSignalCount] = {
    "SIGRTMAX-3", "SIGPIPE", "SIGSEGV", "SIGABRT", "SIGFPE", "SIGILL", "SIGBUS", "SIGTERM"};

namespace {

const int g_rtmaxMinus3 = SIGRTMAX - 3;
const int g_signals[kExceptionSignalCount] = {g_rtmaxMinus3, SIGPIPE, SIGSEGV, SIGABRT,
                                              SIGFPE,        SIGILL,  SIGBUS,  SIGTERM};
struct sigaction old_handlers[kExceptionSignalCount];

constexpr size_t kBufferSize = 512;
char g_buffer[kBufferSize];

// Appends to the static buffer without allocating; cuts silently at 511 characters.
struct Writer {
    size_t pos = 0;
    void Reset() {
        pos = 0;
        g_buffer[0] = '\0';
    }
    void Text(const char* text) {
        for (; *text != '\0' && pos < kBufferSize - 1; ++text) {
            g_buffer[pos++] = *text;
        }
        g_buffer[pos] = '\0';
    }
    void Hex(unsigned long long value) {
        static const char digits[] = "0123456789ABCDEF";
        char reversed[17];
        int count = 0;
        do {
            reversed[count++] = digits[value & 0xF];
            value >>= 4;
        } while (value != 0);
        char text[17];
        for (int i = 0; i < count; ++i) {
            text[i] = reversed[count - 1 - i];
        }
        text[count] = '\0';
        Text(text);
    }
    void Field(const char* name, unsigned long long value) {
        Text(name);
        Text(":");
        Hex(value);
        Text("; ");
    }
};

const char* SignalName(int signo) {
    for (int i = 0; i < kExceptionSignalCount; ++i) {
        if (g_signals[i] == signo) {
            return kExceptionSignalNames[i];
        }
    }
    return "unknown";
}

template <typename T>
unsigned long long Bits(T value) {
    return static_cast<unsigned long long>(value);
}

// The instruction that faulted, from the signal's context; 0 when unknown.
uintptr_t FaultingInstruction(void* context) {
    if (context == nullptr) {
        return 0;
    }
    const ucontext_t* uc = static_cast<const ucontext_t*>(context);
#if defined(__x86_64__)
    return static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
    return static_cast<uintptr_t>(uc->uc_mcontext.pc);
#else
    (void)uc;
    return 0;
#endif
}

// The plugin whose code ran at the fault: the faulting instruction first,
// then the frames of the stack (a plugin that called into the host and
// faulted there is still the one to blame). -1 when no plugin code is found.
int PluginAtFault(void* context, void* const* frames, int depth) {
    int plugin = PluginFaultFind(FaultingInstruction(context));
    for (int i = 0; plugin < 0 && i < depth; ++i) {
        plugin = PluginFaultFind(reinterpret_cast<uintptr_t>(frames[i]));
    }
    return plugin;
}

}  // namespace

void excptProc(int signo, siginfo_t* info, void* context) {
    Writer out;
    out.Reset();
    out.Text("receive signal(");
    out.Text(SignalName(signo));
    out.Text("):");
    if (info != nullptr) {
        out.Field("si_addr", Bits(reinterpret_cast<uintptr_t>(info->si_addr)));
        out.Field("si_signo", Bits(static_cast<unsigned int>(info->si_signo)));
        out.Field("si_errno", Bits(static_cast<unsigned int>(info->si_errno)));
        out.Field("si_code", Bits(static_cast<unsigned int>(info->si_code)));
        out.Field("si_pid", Bits(static_cast<unsigned int>(info->si_pid)));
        out.Field("si_uid", Bits(info->si_uid));
        out.Field("si_status", Bits(static_cast<unsigned int>(info->si_status)));
        out.Field("si_utime", Bits(static_cast<unsigned long>(info->si_utime)));
        out.Field("si_stime", Bits(static_cast<unsigned long>(info->si_stime)));
        out.Field("si_int", Bits(static_cast<unsigned int>(info->si_int)));
        out.Field("si_ptr", Bits(reinterpret_cast<uintptr_t>(info->si_ptr)));
        out.Field("si_overrun", Bits(static_cast<unsigned int>(info->si_overrun)));
        out.Field("si_timerid", Bits(static_cast<unsigned int>(info->si_timerid)));
        out.Field("si_band", Bits(static_cast<unsigned long>(info->si_band)));
        out.Field("si_fd", Bits(static_cast<unsigned int>(info->si_fd)));
    }
    dplog_signal_safe(GetModuleID(), 3, "excptProc", 0, 10000, g_buffer);

    // Safe here only because installException has already loaded the unwinder.
    void* frames[32];
    int depth = backtrace(frames, 32);
    if (depth > 0) {
        out.Reset();
        out.Text("call stack:");
        for (int i = 0; i < depth; ++i) {
            out.Hex(Bits(reinterpret_cast<uintptr_t>(frames[i])));
            out.Text("/");
        }
        dplog_signal_safe(GetModuleID(), 3, "excptProc", 0, 10000, g_buffer);
    }
    if (signo == g_rtmaxMinus3 || signo == SIGPIPE) {
        return;
    }
    // Only a fault the kernel raised, or the process's own abort, can blame a
    // plugin: a signal another process sends lands on whatever code runs.
    bool ownFault = info != nullptr && (info->si_code > 0 || info->si_pid == getpid());
    int plugin = signo == SIGTERM || !ownFault ? -1 : PluginAtFault(context, frames, depth > 0 ? depth : 0);
    if (plugin >= 0) {
        bool recorded = PluginFaultRecord(plugin);
        out.Reset();
        out.Text("fault in the code of plugin ");
        out.Text(PluginFaultName(plugin));
        out.Text(recorded ? ": quarantined, it is not loaded at the next start"
                          : ": the quarantine file cannot be written");
        dplog_signal_safe(GetModuleID(), 3, "excptProc", 0, 10000, g_buffer);
    }
    _exit(signo);
}

bool installException() {
    for (int i = 0; i < kExceptionSignalCount; ++i) {
        if (sigaction(g_signals[i], nullptr, &old_handlers[i]) != 0) {
            CHS_LOG(2, LOGID_INFRA, "Failed to install exception handler.");
            return false;
        }
    }
    // The first backtrace loads the unwinder library, which allocates and takes
    // the loader's lock: do it now rather than inside the handler.
    void* preload[1];
    backtrace(preload, 1);
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    for (int signo : g_signals) {
        sigaddset(&action.sa_mask, signo);
    }
    // SA_ONSTACK: a thread with an alternate stack (dpax_exception_init) can
    // still report a stack overflow; elsewhere it changes nothing.
    action.sa_flags = SA_SIGINFO | SA_RESETHAND | SA_ONSTACK;
    action.sa_sigaction = excptProc;
    for (int signo : g_signals) {
        sigaction(signo, &action, nullptr);
    }
    CHS_LOG(1, LOGID_INFRA, "Succed in install exception handler.");
    return true;
}
