#include "tests/support/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tests/support/temp_dir.h"

extern char** environ;

namespace chs_test {
namespace {

std::vector<std::string> Environment(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry = *e;
        bool replaced = false;
        for (const std::string& add : extra) {
            if (entry.compare(0, add.find('=') + 1, add, 0, add.find('=') + 1) == 0) {
                replaced = true;
            }
        }
        if (!replaced) {
            env.push_back(entry);
        }
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) {
        pointers.push_back(text.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv, const std::string& outPath,
            const std::string& errPath) {
    std::vector<std::string> args = argv;
    std::vector<std::string> env = Environment(extraEnv);
    std::vector<char*> argp = Pointers(args);
    std::vector<char*> envp = Pointers(env);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    if (posix_spawn(&pid, argp[0], &actions, nullptr, argp.data(), envp.data()) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

}  // namespace

RunResult RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv, unsigned int timeoutMs) {
    TempDir dir;
    RunResult result;
    pid_t pid = Spawn(argv, extraEnv, dir.Join("out"), dir.Join("err"));
    if (pid < 0) {
        result.err = "cannot start " + argv[0];
        return result;
    }
    int status = 0;
    bool ended = WaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeoutMs);
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = ReadText(dir.Join("out"));
    result.err = ReadText(dir.Join("err"));
    return result;
}

Process::Process(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
                 const std::string& outputFile)
    : m_pid(Spawn(argv, extraEnv, outputFile, outputFile + ".err")) {}

Process::~Process() {
    if (m_pid > 0 && !m_reaped) {
        Stop(SIGKILL);
    }
}

bool Process::Running() {
    if (m_pid <= 0 || m_reaped) {
        return false;
    }
    if (waitpid(m_pid, &m_status, WNOHANG) == m_pid) {
        m_reaped = true;
        return false;
    }
    return true;
}

int Process::Stop(int signo) {
    if (m_pid > 0 && !m_reaped) {
        kill(m_pid, signo);
        waitpid(m_pid, &m_status, 0);
        m_reaped = true;
    }
    return m_status;
}

std::string BinaryPath(const std::string& relative) { return std::string(CHS_BINARY_DIR) + "/" + relative; }

int RunTestsOrPeer(int argc, char** argv, const char* env, int (*peer)(const char*), void (*after)()) {
    if (const char* value = getenv(env)) {
        return peer(value);
    }
    ::testing::InitGoogleTest(&argc, argv);
    int result = RUN_ALL_TESTS();
    if (after != nullptr) {
        after();
    }
    return result;
}

}  // namespace chs_test
