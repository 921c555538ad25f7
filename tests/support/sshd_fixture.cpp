#include "tests/support/sshd_fixture.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>

#include "infra/exec_cmd.h"
#include "tests/support/loopback_servers.h"

namespace chs_test {
namespace {

const char* const kLockFile = "/tmp/chs-sftp-test.lock";

std::string RandomText(size_t length) {
    static const char kChars[] = "abcdefghijkmnopqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
    std::random_device device;
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        text += kChars[device() % (sizeof(kChars) - 1)];
    }
    return text;
}

// "type base64" of an OpenSSH public key file.
std::string KeyOf(const std::string& pubFile) {
    std::string text = ReadText(pubFile);
    size_t second = text.find(' ', text.find(' ') + 1);
    return text.substr(0, second);
}

}  // namespace

SshdServer::SshdServer() {
    if (Prepare() && !Start()) {
        m_strProblem = "sshd did not start: " + ReadText(m_dir.Join("sshd.log.err"));
    }
}

SshdServer::~SshdServer() {
    if (m_sshd) {
        m_sshd->Stop(SIGTERM);
    }
    if (!m_strPassword.empty()) {
        RunProgram({ProgramPath("usermod"), "-L", kUser});  // no login with a password left behind
    }
    if (m_lockFd >= 0) {
        close(m_lockFd);
    }
}

bool SshdServer::Prepare() {
    if (geteuid() != 0) {
        m_strProblem =
            "the SFTP tests need root, to create the account " + std::string(kUser) + " and set its password";
        m_bAbsent = true;
        return false;
    }
    for (const char* program : {"sshd", "ssh-keygen", "useradd", "chpasswd", "usermod"}) {
        if (ProgramPath(program).empty()) {
            m_strProblem =
                std::string(program) + " is not installed (./chs setup installs the OpenSSH server)";
            m_bAbsent = true;
            return false;
        }
    }
    m_lockFd = open(kLockFile, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_lockFd < 0 || flock(m_lockFd, LOCK_EX) != 0) {
        m_strProblem = std::string("cannot lock ") + kLockFile;
        return false;
    }
    if (getpwnam(kUser) == nullptr) {
        RunResult added =
            RunProgram({ProgramPath("useradd"), "-r", "-M", "-s", "/usr/sbin/nologin", "-d", Home(), kUser});
        if (added.exitCode != 0) {
            m_strProblem = "useradd " + std::string(kUser) + ": " + added.err;
            return false;
        }
    }
    const passwd* account = getpwnam(kUser);
    MakeDirs(Home());
    mkdir("/run/sshd", 0755);  // sshd's privilege separation directory
    if (account == nullptr || chmod(m_dir.path().c_str(), 0755) != 0 ||
        chown(Home().c_str(), account->pw_uid, account->pw_gid) != 0) {
        m_strProblem = "cannot give " + std::string(kUser) + " its home " + Home();
        return false;
    }
    std::string password = RandomText(24);
    int32_t status = CHS_EXEC_ERR;
    chs_execCmdWithInput(ProgramPath("chpasswd"), std::string(kUser) + ":" + password + "\n", 0, 10000,
                         &status);
    if (status != 0) {
        m_strProblem = "chpasswd failed for " + std::string(kUser);
        return false;
    }
    m_strPassword = password;
    for (const char* key : {"host_ed25519", "foreign_ed25519", "client_ed25519"}) {
        RunResult made = RunProgram(
            {ProgramPath("ssh-keygen"), "-q", "-t", "ed25519", "-N", "", "-C", key, "-f", m_dir.Join(key)});
        if (made.exitCode != 0) {
            m_strProblem = "ssh-keygen: " + made.err;
            return false;
        }
    }
    WriteText(m_dir.Join("authorized_keys"), ReadText(ClientPubKey()));
    chmod(m_dir.Join("authorized_keys").c_str(), 0644);
    std::string listed =
        RunProgram({ProgramPath("ssh-keygen"), "-l", "-E", "sha256", "-f", m_dir.Join("host_ed25519.pub")})
            .out;
    size_t start = listed.find("SHA256:");
    size_t end = listed.find(' ', start);
    if (start == std::string::npos || end == std::string::npos) {
        m_strProblem = "no fingerprint from ssh-keygen: " + listed;
        return false;
    }
    m_strSha256 = listed.substr(start + 7, end - start - 7);
    return true;
}

bool SshdServer::Start() {
    auto command = [this](uint16_t port) {
        WriteText(
            m_dir.Join("sshd_config"),
            "Port " + std::to_string(port) + "\nListenAddress 127.0.0.1\nHostKey " +
                m_dir.Join("host_ed25519") + "\nPidFile " + m_dir.Join("sshd.pid") + "\nAuthorizedKeysFile " +
                m_dir.Join("authorized_keys") +
                "\nPasswordAuthentication yes\nKbdInteractiveAuthentication no\nPubkeyAuthentication yes\n"
                "UsePAM no\nStrictModes no\nPermitRootLogin no\nAllowUsers " +
                kUser + "\nSubsystem sftp internal-sftp\n");
        return std::vector<std::string>{ProgramPath("sshd"), "-D", "-e", "-f", m_dir.Join("sshd_config")};
    };
    m_uiPort = StartListening(m_sshd, command, m_dir.Join("sshd.log"));
    return m_uiPort != 0;
}

std::string SshdServer::KnownHostsLine(bool foreignKey) const {
    std::string key = KeyOf(m_dir.Join(foreignKey ? "foreign_ed25519.pub" : "host_ed25519.pub"));
    return "[127.0.0.1]:" + std::to_string(m_uiPort) + " " + key + "\n";
}

}  // namespace chs_test
