// Real servers for the HTTPS delivery tests: the local remote support service
// of scripts/remote_https/remote_https.sh (private CA, a certificate for
// localhost, nginx on a free loopback port in front of the upload back end)
// and a tinyproxy with basic authentication in front of it.
//
// Both stop with their object. Tests skip when ProgramPath finds no nginx or
// tinyproxy.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tests/support/process.h"

namespace chs_test {

// The program's path in /usr/sbin, /usr/bin, /sbin or /bin; "" when absent.
std::string ProgramPath(const std::string& name);

// A TCP port on 127.0.0.1 that nobody listened on a moment ago.
uint16_t FreeLoopbackPort();

class RemoteHttpsService {
  public:
    // A CA and the certificate "server" (CN localhost, SAN DNS:localhost and
    // IP:127.0.0.1) in `dir`, and the service, storing uploads below `uploads`.
    RemoteHttpsService(const std::string& dir, const std::string& uploads);
    ~RemoteHttpsService();
    RemoteHttpsService(const RemoteHttpsService&) = delete;
    RemoteHttpsService& operator=(const RemoteHttpsService&) = delete;

    bool Started() const { return m_port != 0; }
    const std::string& Error() const { return m_strError; }
    uint16_t Port() const { return m_port; }
    // https://localhost:<port><path>
    std::string Url(const std::string& path) const;
    std::string CaFile() const { return m_strDir + "/ca.pem"; }
    std::string CrlFile() const { return m_strDir + "/crl.pem"; }
    // nginx's configuration and logs and the back end's log.
    std::string ServiceDir() const { return m_strDir + "/service-" + std::to_string(m_port); }
    // Revokes the server certificate and rewrites the CRL; the running
    // server keeps presenting the certificate.
    bool RevokeServer();

  private:
    RunResult Script(const std::vector<std::string>& args) const;

    std::string m_strDir;
    std::string m_strError;
    uint16_t m_port = 0;
};

class TinyProxy {
  public:
    // tinyproxy on a free loopback port, in the foreground, that lets only
    // `user`/`password` (basic authentication) CONNECT, and only to
    // `connectPort`; its configuration and log in `dir`.
    TinyProxy(const std::string& dir, const std::string& user, const std::string& password,
              uint16_t connectPort);

    bool Started() const { return m_port != 0; }
    const std::string& Error() const { return m_strError; }
    uint16_t Port() const { return m_port; }
    std::string LogFile() const { return m_strDir + "/tinyproxy.log"; }
    std::string ConfigFile() const { return m_strDir + "/tinyproxy.conf"; }

  private:
    std::string m_strDir;
    std::string m_strError;
    uint16_t m_port = 0;
    std::unique_ptr<Process> m_process;
};

}  // namespace chs_test
