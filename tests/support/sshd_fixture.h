// A real OpenSSH server for the SFTP tests: sshd in the foreground on a free
// loopback port with its own configuration, an ed25519 host key and an
// authorised ed25519 client key, all in a temporary directory, serving SFTP
// (internal-sftp) to a dedicated system account whose password is set afresh.
//
// Needs root (the account and its password) and the OpenSSH server; Absent()
// tells when either is missing, Problem() says why the server does not run.
// The account is shared by every test process of the machine, so a server
// holds a machine-wide lock from start to end; the account's password is
// locked again when the server goes.
#pragma once

#include <memory>
#include <string>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace chs_test {

class SshdServer {
  public:
    static constexpr const char* kUser = "chs-sftp-test";

    SshdServer();
    ~SshdServer();
    SshdServer(const SshdServer&) = delete;
    SshdServer& operator=(const SshdServer&) = delete;

    bool Absent() const { return m_bAbsent; }
    // Empty when the server runs; otherwise why it does not.
    const std::string& Problem() const { return m_strProblem; }
    bool Running() const { return m_strProblem.empty(); }

    uint32_t Port() const { return m_uiPort; }
    const std::string& Password() const { return m_strPassword; }
    // The account's home, writable by it: where the tests put remote files.
    std::string Home() const { return m_dir.Join("home"); }
    std::string ClientKey() const { return m_dir.Join("client_ed25519"); }
    std::string ClientPubKey() const { return ClientKey() + ".pub"; }
    // A known-hosts line naming this server ("[127.0.0.1]:port"), with its
    // own host key or with another ed25519 key.
    std::string KnownHostsLine(bool foreignKey = false) const;
    // The base64 SHA-256 fingerprint of the host key, without "SHA256:".
    std::string HostKeySha256() const { return m_strSha256; }

  private:
    bool Prepare();
    bool Start();

    TempDir m_dir;
    int m_lockFd = -1;
    uint32_t m_uiPort = 0;
    std::string m_strPassword;
    std::string m_strSha256;
    std::string m_strProblem;
    bool m_bAbsent = false;
    std::unique_ptr<Process> m_sshd;
};

}  // namespace chs_test
