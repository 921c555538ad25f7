// The command runner: the one place where the daemon forks. Every command
// runs in its own process group, is bounded in time (0 = no limit) and may
// have its standard output captured up to a line cap (1024) and a size cap
// (1,048,575 bytes). A command that overruns its time is killed together with
// everything it started.
//
// The functions keep no shared state (but the optional recorder of started
// children) and may run on several threads at once.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>

constexpr uint32_t CHS_EXEC_READ_BUF = 1024;
constexpr uint32_t CHS_EXEC_MAX_LINES = 1024;
constexpr uint32_t CHS_EXEC_MAX_OUTPUT = 0xFFFFF;
constexpr uint32_t CHS_EXEC_WAIT_MS = 200;

// Result codes of the waiting layer.
constexpr int32_t CHS_WAIT_SIGNALED = 128;
constexpr int32_t CHS_WAIT_TIMEOUT = 129;
constexpr int32_t CHS_WAIT_FAILED = 130;
constexpr int32_t CHS_WAIT_UNINTERRUPTIBLE = 131;
constexpr int32_t CHS_EXEC_ERR = static_cast<int32_t>(0xFFFFFFFF);

// Runs `cmd` through "/bin/sh -c" (argv null) or as a program with `argv`.
// Captures up to `maxLines` lines of standard output into `output` (appended);
// maxLines 0: no capture. 0 when the child exited (its status in
// *exitStatus), CHS_EXEC_ERR otherwise.
int32_t chs_safeSystemSub(const char* cmd, char* const argv[], uint32_t timeoutMs, int32_t* exitStatus,
                          pid_t* childPid, uint32_t maxLines, std::string& output);
// Runs a shell line with `stdinText` (and its NUL) written to its standard input.
int32_t chs_safeSystemSubWithStdin(const char* cmd, const char* stdinText, int32_t* exitStatus,
                                   uint32_t timeoutMs);

// What the command printed (also when it failed or timed out).
std::string chs_execCmd(const std::string& cmd, uint32_t maxLines, uint32_t timeoutMs);
// The command's exit status, or the runner's failure code (logged).
int32_t chs_execCmdWithoutOutput(const std::string& cmd, uint32_t timeoutMs);
// As above with `password` fed on standard input, never on the command line.
int32_t chs_execCmdWithPassword(const std::string& cmd, const std::string& password, uint32_t timeoutMs);
// Feeds `input` (exactly its bytes, nothing added) to the command's standard
// input and returns what it printed, as chs_execCmd; for secrets going in or
// coming out, which never belong on a command line. *exitStatus (when given)
// gets the command's exit status, or CHS_EXEC_ERR when it could not be run or
// overran its time. `input` goes from the caller's string straight into the pipe.
std::string chs_execCmdWithInput(const std::string& cmd, const std::string& input, uint32_t maxLines,
                                 uint32_t timeoutMs, int32_t* exitStatus = nullptr);

// Called in the parent for every child the runner starts, once the child has
// exec'd (or already failed to), before the runner waits for it: the child id
// and the shell line (or the program path when run with an argument vector).
// For tests and audits, e.g. to read /proc/<pid>/cmdline of every command
// (which the kernel may still show empty for a moment after the exec).
// It must not throw (an exception is logged and dropped, so that the child is
// still waited for). nullptr removes it. May be set from any thread; a
// recorder being replaced may still be called once by a runner that started
// its child just before.
using ChsExecRecorder = std::function<void(pid_t pid, const std::string& command)>;
void chs_setExecRecorder(ChsExecRecorder recorder);

// Building blocks.
int32_t chs_waitChild(pid_t pid, int readFd, uint32_t timeoutMs, int32_t* exitStatus, uint32_t maxLines,
                      std::string& output);
void chs_readBuf(char* buffer, int fd, uint32_t& linesSoFar, uint32_t& linesInChunk, uint32_t& maxLines,
                 std::string& output);
uint32_t ReadBuf(int fd, char* buffer, uint32_t size, uint32_t maxLines);
int32_t chs_waitRead(int fd, uint32_t waitMs);  // 0 readable, 1 time-out, 2 error
int32_t chs_getExitStatus(int status, int32_t* exitStatus);
int32_t chs_getProcessState(pid_t pid, char* state);
int32_t chs_killChild(pid_t pid);
