// The command runner.
//
// What callers rely on stays fixed (results, exit statuses, log texts, what is
// captured); the loop underneath is built to avoid the faults and latencies
// of a plain select-then-sleep design:
//
// - The child is forked with vfork and shares our memory until it execs, so
//   between vfork and exec it makes plain system calls only: everything it
//   needs (argument vector, descriptors, signal mask) is prepared before the
//   fork. All signals are blocked around vfork, and the child sets every
//   caught signal back to its default before it unblocks them, so that no
//   handler of the daemon ever runs on the shared memory (as posix_spawn does).
// - Descriptors from 3 upwards are closed with close_range when the kernel has
//   it (the pipe end is first moved onto descriptor 1), else one by one up to
//   the open-file limit. Our pipes are close-on-exec and never take
//   descriptors 0-2, so that concurrent forks elsewhere do not inherit them and
//   a daemon running with its standard descriptors closed still works.
// - chs_waitChild waits for output and for the end of the child together (a
//   pidfd next to the pipe in one poll) instead of select-then-sleep: it
//   reacts at once when the child ends instead of after up to 200 ms. The
//   waits stay bounded by 200 ms and by the time-out, so the time-out is
//   still checked at least every 200 ms. While the child runs, the output
//   is read chunk after chunk whether or not a chunk ends a line; once the
//   child has been reaped, all output already in the pipe is taken in (the
//   plain loop stopped at the first chunk without a newline, losing the
//   tail of long lines). A pipe at end of file, or a capture that has reached
//   a cap, is no longer polled (a plain loop spins on it).
// - chs_waitRead uses poll, not select: select cannot watch a descriptor above
//   FD_SETSIZE (1024) and the daemon may well hold that many.
// - chs_safeSystemSubWithStdin closes its end of the input pipe once the text
//   is written, so that a command reading to end of file ends; the write
//   cannot raise SIGPIPE (the daemon's handler is one-shot) and cannot block
//   beyond the time-out.
// - Uninterruptible sleep after SIGKILL: chs_killChild logs and returns 131 at
//   once and leaves the reaping to a detached thread that waits for that one
//   child, so neither the caller is held nor a zombie left behind.
#include "infra/exec_cmd.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "infra/chs_log.h"
#include "infra/error_code_desc.h"
#include "infra/timer_drv.h"

namespace {

constexpr int32_t kExecFailStatus = 127;
constexpr uint32_t kChunkSize = CHS_EXEC_READ_BUF - 1;  // ReadBuf's size: at most 1022 bytes a chunk
constexpr rlim_t kMaxCloseLimit = 1U << 20;            // fallback close loop: never beyond this

// Closes a descriptor of ours; a failure is logged and otherwise ignored.
void chs_closeFd(int fd) {
    if (fd < 0) {
        return;
    }
    if (close(fd) != 0) {
        int err = errno;
        CHS_LOG(3, LOGID_INFRA, "Failed to close file handler(%d), error description: %s", fd, sysError(err).c_str());
    }
}

// A close-on-exec pipe with both ends above the standard descriptors.
int MakePipe(int fds[2]) {
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return -1;
    }
    for (int i = 0; i < 2; ++i) {
        if (fds[i] > STDERR_FILENO) {
            continue;
        }
        int moved = fcntl(fds[i], F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        if (moved < 0) {
            int err = errno;
            chs_closeFd(fds[0]);
            chs_closeFd(fds[1]);
            fds[0] = fds[1] = -1;
            errno = err;
            return -1;
        }
        chs_closeFd(fds[i]);
        fds[i] = moved;
    }
    return 0;
}

void ClosePair(int fds[2]) {
    chs_closeFd(fds[0]);
    chs_closeFd(fds[1]);
    fds[0] = fds[1] = -1;
}

// Everything the vfork child needs, prepared by the parent.
struct ChildPlan {
    const char* path = nullptr;
    char* const* argv = nullptr;
    int stdinFd = -1;   // becomes descriptor 0; -1 keeps the inherited one
    int stdoutFd = -1;  // becomes descriptor 1; -1 keeps the inherited one
    int closeLimit = 0; // the open-file limit, for the close loop without close_range
    const sigset_t* mask = nullptr;  // the signal mask to exec with
    const char* command = nullptr;   // what the recorder is told
};

// The recorder of started children. Runners take a reference under the lock
// and call it outside, so a slow recorder holds no other runner back. Never
// destroyed: a runner may still start a child while the exit handlers run.
std::mutex g_recorderMutex;
std::shared_ptr<const ChsExecRecorder>& g_recorder = *new std::shared_ptr<const ChsExecRecorder>();

void RecordStart(pid_t pid, const char* command) {
    std::shared_ptr<const ChsExecRecorder> recorder;
    {
        std::lock_guard<std::mutex> lock(g_recorderMutex);
        recorder = g_recorder;
    }
    if (!recorder) {
        return;
    }
    try {
        (*recorder)(pid, command != nullptr ? command : "");
    } catch (const std::exception& error) {
        CHS_LOG(2, LOGID_INFRA, "The recorder of child %d failed(%s).", pid, error.what());
    } catch (...) {
        CHS_LOG(2, LOGID_INFRA, "The recorder of child %d failed.", pid);
    }
}

// Runs in the vfork child: system calls only, no allocation, no logging, no
// writes to the parent's variables.
[[noreturn]] void RunChild(const ChildPlan& plan) {
    struct sigaction dfl;
    memset(&dfl, 0, sizeof(dfl));
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig == SIGQUIT || sig == SIGCHLD || sig == SIGINT) {
            sigaction(sig, &dfl, nullptr);
            continue;
        }
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_DFL && old.sa_handler != SIG_IGN) {
            sigaction(sig, &dfl, nullptr);
        }
    }
    setpgid(0, 0);
    if (plan.stdinFd >= 0 && dup2(plan.stdinFd, STDIN_FILENO) < 0) {
        _exit(kExecFailStatus);
    }
    if (plan.stdoutFd >= 0 && dup2(plan.stdoutFd, STDOUT_FILENO) < 0) {
        _exit(kExecFailStatus);
    }
    // Every descriptor from 3 on, the pipe ends included (they are on 0 and 1 now).
#ifdef SYS_close_range
    if (syscall(SYS_close_range, 3U, ~0U, 0U) != 0)
#endif
    {
        for (int fd = 3; fd < plan.closeLimit; ++fd) {
            close(fd);
        }
    }
    sigprocmask(SIG_SETMASK, plan.mask, nullptr);
    execv(plan.path, plan.argv);
    _exit(kExecFailStatus);
}

// vfork + RunChild. Returns the child id, or -1 with the error in `err`.
pid_t Spawn(ChildPlan& plan, int& err) {
    struct rlimit limit {};
    plan.closeLimit = 1024;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        plan.closeLimit = static_cast<int>(std::min(limit.rlim_cur, kMaxCloseLimit));
    }
    sigset_t all;
    sigset_t old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    plan.mask = &old;
    pid_t pid = vfork();
    if (pid == 0) {
        RunChild(plan);
    }
    err = errno;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    plan.mask = nullptr;
    if (pid > 0) {
        RecordStart(pid, plan.command);  // vfork returned: the child has exec'd or ended
    }
    return pid;
}

pid_t Wait4(pid_t pid, int* status, int options) {
    pid_t ret;
    do {
        ret = wait4(pid, status, options, nullptr);
    } while (ret < 0 && errno == EINTR);
    return ret;
}

// poll with EINTR retried for the rest of the wait.
int PollFor(struct pollfd* fds, nfds_t count, int waitMs) {
    uint64_t start = TimerDrvClass::AbsMilliSecond();
    for (;;) {
        int ret = poll(fds, count, waitMs);
        if (ret >= 0 || errno != EINTR) {
            return ret;
        }
        if (waitMs > 0) {
            uint64_t spent = TimerDrvClass::AbsMilliSecond() - start;
            if (spent >= static_cast<uint64_t>(waitMs)) {
                return 0;
            }
            waitMs -= static_cast<int>(spent);
            start += spent;
        }
    }
}

// One chunk: at most size - 1 bytes read, NUL-terminated, newlines counted up
// to maxLines into *lines. Returns the bytes read, 0 at end of file, -1 on error.
ssize_t ReadChunk(int fd, char* buffer, uint32_t size, uint32_t maxLines, uint32_t* lines) {
    *lines = 0;
    ssize_t got;
    do {
        got = read(fd, buffer, size - 1);
    } while (got < 0 && errno == EINTR);
    if (got <= 0 || static_cast<size_t>(got) > size - 1) {
        buffer[0] = '\0';
        return got <= 0 ? got : -1;
    }
    buffer[got] = '\0';
    uint32_t count = 0;
    for (ssize_t i = 0; i < got && count < maxLines; ++i) {
        if (buffer[i] == '\n') {
            ++count;
        }
    }
    *lines = count;
    return got;
}

// The capture of one child's output.
class Capture {
public:
    Capture(int fd, uint32_t maxLines, std::string& output) : m_fd(fd), m_maxLines(maxLines), m_output(output) {}

    // Still taking output in: a pipe not at end of file, and neither cap reached.
    bool Active() const {
        return m_fd >= 0 && m_open && m_lines < m_maxLines && m_output.size() <= CHS_EXEC_MAX_OUTPUT;
    }
    int fd() const { return m_fd; }
    void Closed() { m_open = false; }

    // Reads what is in the pipe now, chunk by chunk, until it is empty or a cap is reached.
    void TakeAvailable() {
        while (Active()) {
            struct pollfd ready = {m_fd, POLLIN, 0};
            if (PollFor(&ready, 1, 0) <= 0 || (ready.revents & POLLNVAL) != 0) {
                if ((ready.revents & POLLNVAL) != 0) {
                    m_open = false;
                }
                return;
            }
            ReadOne();
        }
    }

    // Reads one chunk; the pipe is known to be readable.
    void ReadOne() {
        memset(m_buffer, 0, kChunkSize);
        uint32_t lines = 0;
        ssize_t got = ReadChunk(m_fd, m_buffer, kChunkSize, m_maxLines - m_lines, &lines);
        if (got <= 0) {
            m_open = false;  // end of file, or a pipe that cannot be read
            return;
        }
        m_output.append(m_buffer, strnlen(m_buffer, kChunkSize));
        m_lines += lines;
    }

private:
    int m_fd;
    bool m_open = true;
    uint32_t m_maxLines;
    uint32_t m_lines = 0;
    std::string& m_output;
    char m_buffer[CHS_EXEC_READ_BUF];
};

// A descriptor that becomes readable when the child ends; -1 when the kernel has none.
int OpenPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
    long fd = syscall(SYS_pidfd_open, pid, 0);
    return fd >= 0 ? static_cast<int>(fd) : -1;
#else
    (void)pid;
    return -1;
#endif
}

// Without a pidfd the end of the child is found by polling: sleeps growing
// from 1 ms up to the 200 ms read wait.
void SleepMs(uint32_t ms) {
    struct timespec left = {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// Waits up to waitMs for output or for the end of the child and takes in the
// output that is there. True when the pidfd reported the end of the child.
bool WaitStep(Capture& capture, int& pidFd, uint32_t waitMs, uint32_t& backoffMs) {
    struct pollfd fds[2];
    nfds_t count = 0;
    int pipeIndex = -1;
    if (capture.Active()) {
        pipeIndex = static_cast<int>(count);
        fds[count++] = {capture.fd(), POLLIN, 0};
    }
    int pidIndex = -1;
    if (pidFd >= 0) {
        pidIndex = static_cast<int>(count);
        fds[count++] = {pidFd, POLLIN, 0};
    }
    if (pidIndex < 0) {
        // Nothing tells us when the child ends: wait for output only, or sleep, a little longer each time.
        waitMs = std::min(waitMs, backoffMs);
        backoffMs = std::min(backoffMs * 2, CHS_EXEC_WAIT_MS);
        if (count == 0) {
            SleepMs(waitMs);
            return false;
        }
    }
    int ready = PollFor(fds, count, static_cast<int>(waitMs));
    if (ready < 0) {
        if (pipeIndex < 0) {
            SleepMs(waitMs);  // never spin on a failing poll
        } else {
            capture.Closed();
        }
        return false;
    }
    bool ended = false;
    if (pidIndex >= 0 && fds[pidIndex].revents != 0) {
        if ((fds[pidIndex].revents & POLLNVAL) != 0) {
            pidFd = -1;
        } else {
            ended = true;
        }
    }
    if (pipeIndex >= 0 && fds[pipeIndex].revents != 0) {
        if ((fds[pipeIndex].revents & POLLNVAL) != 0) {
            capture.Closed();
        } else {
            capture.ReadOne();
            capture.TakeAvailable();
        }
    }
    return ended;
}

// Waits for a child in uninterruptible sleep on a thread of its own, so that it
// is reaped once the kernel lets it go.
void ReapLater(pid_t pid) {
    try {
        std::thread([pid] {
            int status = 0;
            Wait4(pid, &status, 0);
        }).detach();
    } catch (const std::system_error& error) {
        CHS_LOG(2, LOGID_INFRA, "Cannot start the reaper of child %d(%s), it stays a zombie.", pid, error.what());
    }
}

// Writes all of `text` to the (non-blocking) pipe `fd`, within the time-out
// (0: none). Never raises SIGPIPE. Returns 0 or the error number.
int WriteInput(int fd, const char* text, size_t length, uint32_t timeoutMs, uint64_t start) {
    sigset_t pipeSet;
    sigset_t oldMask;
    sigemptyset(&pipeSet);
    sigaddset(&pipeSet, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeSet, &oldMask);
    sigset_t pending;
    sigpending(&pending);
    bool wasPending = sigismember(&pending, SIGPIPE) == 1;

    int err = 0;
    size_t done = 0;
    while (done < length) {
        ssize_t written = write(fd, text + done, length - done);
        if (written > 0) {
            done += static_cast<size_t>(written);
            continue;
        }
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written < 0 && errno != EAGAIN) {
            err = errno;
            break;
        }
        uint32_t waitMs = CHS_EXEC_WAIT_MS;
        if (timeoutMs != 0) {
            uint64_t elapsed = TimerDrvClass::AbsMilliSecond() - start;
            if (elapsed >= timeoutMs) {
                err = ETIMEDOUT;
                break;
            }
            waitMs = static_cast<uint32_t>(std::min<uint64_t>(waitMs, timeoutMs - elapsed));
        }
        struct pollfd writable = {fd, POLLOUT, 0};
        PollFor(&writable, 1, static_cast<int>(waitMs));
    }

    if (err == EPIPE && !wasPending) {
        struct timespec zero = {0, 0};
        while (sigtimedwait(&pipeSet, nullptr, &zero) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
    return err;
}

}  // namespace

int32_t chs_safeSystemSub(const char* cmd, char* const argv[], uint32_t timeoutMs, int32_t* exitStatus,
                          pid_t* childPid, uint32_t maxLines, std::string& output) {
    if (cmd == nullptr) {
        CHS_LOG(3, LOGID_INFRA, "(ASSERTION FAILURE) pcCmd is NULL, return(RETURN_ERR)!");
        return CHS_EXEC_ERR;
    }
    int fds[2] = {-1, -1};
    if (maxLines != 0 && MakePipe(fds) != 0) {
        int err = errno;
        CHS_LOG(3, LOGID_INFRA, "Create pipe failed(errinfo:%s).", sysError(err).c_str());
        return CHS_EXEC_ERR;
    }

    char* shellArgv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(cmd), nullptr};
    ChildPlan plan;
    plan.path = argv != nullptr ? cmd : "/bin/sh";
    plan.argv = argv != nullptr ? argv : shellArgv;
    plan.stdoutFd = fds[1];
    plan.command = cmd;
    int err = 0;
    pid_t pid = Spawn(plan, err);
    if (childPid != nullptr) {
        *childPid = pid;
    }
    if (pid < 0) {
        ClosePair(fds);
        CHS_LOG(3, LOGID_INFRA, "Create child process failed(errinfo:%s).", sysError(err).c_str());
        return CHS_EXEC_ERR;
    }

    chs_closeFd(fds[1]);
    int32_t ret = chs_waitChild(pid, fds[0], timeoutMs, exitStatus, maxLines, output);
    chs_closeFd(fds[0]);
    if (ret != 0) {
        CHS_LOG(3, LOGID_INFRA, "The child %d executes (%s) failed, return %d.", pid, cmd, ret);
        return CHS_EXEC_ERR;
    }
    return 0;
}

namespace {

// Runs a shell line with `length` bytes of `text` (none when null) on its
// standard input and up to `maxLines` lines of its output captured. 0 when the
// child exited (its status in *exitStatus), CHS_EXEC_ERR otherwise.
int32_t RunWithInput(const char* cmd, const char* text, size_t length, uint32_t timeoutMs, int32_t* exitStatus,
                     uint32_t maxLines, std::string& output) {
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    if (MakePipe(in) != 0 || MakePipe(out) != 0) {
        int err = errno;
        ClosePair(in);
        CHS_LOG(3, LOGID_INFRA, "Create pipe failed(errinfo:%s).", sysError(err).c_str());
        return CHS_EXEC_ERR;
    }

    char* shellArgv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(cmd), nullptr};
    ChildPlan plan;
    plan.path = "/bin/sh";
    plan.argv = shellArgv;
    plan.stdinFd = in[0];
    plan.stdoutFd = out[1];
    plan.command = cmd;
    uint64_t start = TimerDrvClass::AbsMilliSecond();
    int err = 0;
    pid_t pid = Spawn(plan, err);
    if (pid < 0) {
        ClosePair(in);
        ClosePair(out);
        CHS_LOG(3, LOGID_INFRA, "Create child process failed(errinfo:%s).", sysError(err).c_str());
        return CHS_EXEC_ERR;
    }
    chs_closeFd(in[0]);
    chs_closeFd(out[1]);

    if (text != nullptr) {
        // Non-blocking, so that a child that does not read cannot hold us past the time-out.
        int flags = fcntl(in[1], F_GETFL);
        if (flags >= 0) {
            fcntl(in[1], F_SETFL, flags | O_NONBLOCK);
        }
        int writeErr = WriteInput(in[1], text, length, timeoutMs, start);
        if (writeErr != 0) {
            CHS_LOG(3, LOGID_INFRA, "Write failed(errno:%d", writeErr);
        }
    }
    chs_closeFd(in[1]);  // end of input for the command

    uint32_t waitMs = timeoutMs;
    if (timeoutMs != 0) {
        uint64_t spent = TimerDrvClass::AbsMilliSecond() - start;
        waitMs = spent >= timeoutMs ? 1 : static_cast<uint32_t>(timeoutMs - spent);
    }
    int32_t ret = chs_waitChild(pid, out[0], waitMs, exitStatus, maxLines, output);
    chs_closeFd(out[0]);
    if (ret != 0) {
        CHS_LOG(3, LOGID_INFRA, "The child %d executes (%s) failed, return %d.", pid, cmd, ret);
        return CHS_EXEC_ERR;
    }
    return 0;
}

}  // namespace

int32_t chs_safeSystemSubWithStdin(const char* cmd, const char* stdinText, int32_t* exitStatus,
                                   uint32_t timeoutMs) {
    if (cmd == nullptr) {
        CHS_LOG(3, LOGID_INFRA, "(ASSERTION FAILURE) pcCmd is NULL, return(RETURN_ERR)!");
        return CHS_EXEC_ERR;
    }
    std::string discarded;
    size_t length = stdinText == nullptr ? 0 : strlen(stdinText) + 1;
    return RunWithInput(cmd, stdinText, length, timeoutMs, exitStatus, 1, discarded);
}

std::string chs_execCmd(const std::string& cmd, uint32_t maxLines, uint32_t timeoutMs) {
    std::string output;
    int32_t exitStatus = 0;
    pid_t pid = 0;
    (void)chs_safeSystemSub(cmd.c_str(), nullptr, timeoutMs, &exitStatus, &pid, maxLines, output);
    return output;
}

int32_t chs_execCmdWithoutOutput(const std::string& cmd, uint32_t timeoutMs) {
    std::string output;
    int32_t exitStatus = 0;
    pid_t pid = 0;
    int32_t ret = chs_safeSystemSub(cmd.c_str(), nullptr, timeoutMs, &exitStatus, &pid, 0, output);
    if (ret != 0) {
        CHS_LOG(3, LOGID_INFRA, "Excute cmd [%s] failed, ret %d", cmd.c_str(), ret);
        return ret;
    }
    return exitStatus;
}

int32_t chs_execCmdWithPassword(const std::string& cmd, const std::string& password, uint32_t timeoutMs) {
    // The password goes from the caller's string straight into the pipe: no
    // copy of it is made here, so there is none to wipe.
    int32_t exitStatus = 0;
    int32_t ret = chs_safeSystemSubWithStdin(cmd.c_str(), password.c_str(), &exitStatus, timeoutMs);
    if (ret != 0) {
        CHS_LOG(3, LOGID_INFRA, "Excute cmd [%s] failed, ret %d", cmd.c_str(), ret);
        return ret;
    }
    return exitStatus;
}

std::string chs_execCmdWithInput(const std::string& cmd, const std::string& input, uint32_t maxLines,
                                 uint32_t timeoutMs, int32_t* exitStatus) {
    std::string output;
    // Room for a few lines up front, so that short output is never copied by a reallocation.
    output.reserve(CHS_EXEC_READ_BUF);
    int32_t status = CHS_EXEC_ERR;
    if (RunWithInput(cmd.c_str(), input.data(), input.size(), timeoutMs, &status, maxLines, output) != 0) {
        status = CHS_EXEC_ERR;
    }
    if (exitStatus != nullptr) {
        *exitStatus = status;
    }
    return output;
}

void chs_setExecRecorder(ChsExecRecorder recorder) {
    std::shared_ptr<const ChsExecRecorder> next;
    if (recorder) {
        next = std::make_shared<const ChsExecRecorder>(std::move(recorder));
    }
    std::lock_guard<std::mutex> lock(g_recorderMutex);
    g_recorder.swap(next);
}

int32_t chs_waitChild(pid_t pid, int readFd, uint32_t timeoutMs, int32_t* exitStatus, uint32_t maxLines,
                      std::string& output) {
    if (pid <= 0) {
        // wait4 would take any child (or a whole group) and killpg(0) is our own group.
        CHS_LOG(3, LOGID_INFRA, "Wait child %d failed(errinfo:(%s)).", pid, sysError(EINVAL).c_str());
        return CHS_WAIT_FAILED;
    }
    if (maxLines >= CHS_EXEC_MAX_LINES) {
        maxLines = CHS_EXEC_MAX_LINES;
    }
    uint64_t start = TimerDrvClass::AbsMilliSecond();
    Capture capture(readFd, maxLines, output);
    int pidFd = OpenPidFd(pid);
    uint32_t backoffMs = 1;
    int32_t result = CHS_WAIT_FAILED;

    for (;;) {
        uint32_t waitMs = CHS_EXEC_WAIT_MS;
        if (timeoutMs != 0) {
            uint64_t elapsed = TimerDrvClass::AbsMilliSecond() - start;
            waitMs = elapsed >= timeoutMs ? 0 : static_cast<uint32_t>(std::min<uint64_t>(waitMs, timeoutMs - elapsed));
        }
        bool ended = WaitStep(capture, pidFd, waitMs, backoffMs);

        int status = 0;
        pid_t got = Wait4(pid, &status, WNOHANG);
        if (got == 0 && ended) {
            // Ended but not yet ours to reap (a tracer holds it): poll instead of spinning on the pidfd.
            chs_closeFd(pidFd);
            pidFd = -1;
        }
        if (got == 0) {
            uint64_t elapsed = TimerDrvClass::AbsMilliSecond() - start;
            if (timeoutMs != 0 && elapsed >= timeoutMs) {
                CHS_LOG(3, LOGID_INFRA, "The child %d runs out of time(timeout %u ms, elapsed %llu ms), kill it.", pid,
                        timeoutMs, static_cast<unsigned long long>(elapsed));
                (void)chs_killChild(pid);
                result = CHS_WAIT_TIMEOUT;
                break;
            }
            continue;
        }
        if (got < 0) {
            int err = errno;
            CHS_LOG(3, LOGID_INFRA, "Wait child %d failed(errinfo:(%s)).", pid, sysError(err).c_str());
            (void)chs_killChild(pid);
            result = CHS_WAIT_FAILED;
            break;
        }
        capture.TakeAvailable();  // the rest of what the child wrote
        result = got == pid ? chs_getExitStatus(status, exitStatus) : CHS_EXEC_ERR;
        break;
    }
    chs_closeFd(pidFd);
    return result;
}

void chs_readBuf(char* buffer, int fd, uint32_t& linesSoFar, uint32_t& linesInChunk, uint32_t& maxLines,
                 std::string& output) {
    if (buffer == nullptr) {
        return;
    }
    if (maxLines >= CHS_EXEC_MAX_LINES) {
        maxLines = CHS_EXEC_MAX_LINES;
    }
    do {
        if (linesSoFar >= maxLines || output.size() > CHS_EXEC_MAX_OUTPUT) {
            return;
        }
        if (chs_waitRead(fd, CHS_EXEC_WAIT_MS) != 0) {
            return;
        }
        memset(buffer, 0, kChunkSize);
        linesInChunk = ReadBuf(fd, buffer, kChunkSize, maxLines - linesSoFar);
        output.append(buffer, strnlen(buffer, kChunkSize));
        linesSoFar += linesInChunk;
    } while (linesInChunk > 0);
}

uint32_t ReadBuf(int fd, char* buffer, uint32_t size, uint32_t maxLines) {
    if (size == 0 || buffer == nullptr) {
        return 0;
    }
    uint32_t lines = 0;
    return ReadChunk(fd, buffer, size, maxLines, &lines) > 0 ? lines : 0;
}

int32_t chs_waitRead(int fd, uint32_t waitMs) {
    if (fd < 0) {
        return 2;
    }
    struct pollfd ready = {fd, POLLIN, 0};
    int ret = PollFor(&ready, 1, static_cast<int>(std::min<uint32_t>(waitMs, INT_MAX)));
    if (ret == 0) {
        return 1;
    }
    if (ret < 0 || (ready.revents & POLLNVAL) != 0) {
        return 2;
    }
    // select counts end of file and errors as readable; so do we.
    return (ready.revents & (POLLIN | POLLHUP | POLLERR)) != 0 ? 0 : 2;
}

int32_t chs_getExitStatus(int status, int32_t* exitStatus) {
    if ((status & 0x7F) == 0) {
        if (exitStatus != nullptr) {
            *exitStatus = (status >> 8) & 0xFF;
        }
        return 0;
    }
    if (WIFSIGNALED(status)) {
        CHS_LOG(2, LOGID_INFRA, "The child was killed by signal %d.", WTERMSIG(status));
    }
    return CHS_WAIT_SIGNALED;
}

int32_t chs_getProcessState(pid_t pid, char* state) {
    if (state == nullptr) {
        CHS_LOG(3, LOGID_INFRA, "(ASSERTION FAILURE) pcState is NULL, return(RETURN_ERR)!");
        return CHS_EXEC_ERR;
    }
    char path[32];
    int length = snprintf(path, sizeof(path), "/proc/%d/stat", pid);
    if (length < 0 || static_cast<size_t>(length) >= sizeof(path)) {
        CHS_LOG(3, LOGID_INFRA, "Assemble proc file for %d failed, return %d.", pid, CHS_WAIT_FAILED);
        return CHS_WAIT_FAILED;
    }
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        CHS_LOG(3, LOGID_INFRA, "Open file (%s) failed, return %d, errinfo:(%s).", path, CHS_WAIT_FAILED,
                sysError(err).c_str());
        return CHS_WAIT_FAILED;
    }
    char line[288];
    memset(line, 0, sizeof(line));
    ssize_t got;
    do {
        got = read(fd, line, sizeof(line) - 1);
    } while (got < 0 && errno == EINTR);
    int err = errno;
    chs_closeFd(fd);
    if (got < 1) {
        CHS_LOG(3, LOGID_INFRA, "Read file (%s) failed, return %d, errinfo:(%s).", path, CHS_WAIT_FAILED,
                sysError(got < 0 ? err : EIO).c_str());
        return CHS_WAIT_FAILED;
    }
    // The name between the parentheses may itself hold ")": the last one ends it.
    const char* end = static_cast<const char*>(memrchr(line, ')', static_cast<size_t>(got)));
    if (end == nullptr || end + 2 >= line + got) {
        CHS_LOG(3, LOGID_INFRA, "Fetch process state in (%s) failed.", path);
        return CHS_WAIT_FAILED;
    }
    *state = end[2];
    return 0;
}

int32_t chs_killChild(pid_t pid) {
    if (pid <= 0) {
        return CHS_WAIT_FAILED;  // killpg(0) would kill our own group
    }
    (void)killpg(pid, SIGKILL);
    int status = 0;
    if (Wait4(pid, &status, WNOHANG) == pid) {
        return 0;
    }
    char state = '\0';
    if (chs_getProcessState(pid, &state) != 0) {
        return Wait4(pid, &status, WNOHANG) == pid ? 0 : CHS_WAIT_FAILED;
    }
    if (state == 'D') {
        CHS_LOG(2, LOGID_INFRA, "The child process(%d) is in uninterruptible status.", pid);
        ReapLater(pid);
        return CHS_WAIT_UNINTERRUPTIBLE;
    }
    (void)Wait4(pid, &status, 0);
    return 0;
}
