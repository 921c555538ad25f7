// A real etcd for tests: one member on loopback with free ports and its data
// in a temporary directory, killed with the test process at the latest.
#pragma once

#include <sys/types.h>

#include <string>

#include "tests/support/temp_dir.h"

namespace chs_test {

class EtcdServer {
  public:
    // Starts etcd and waits until it answers; a test failure when it does not.
    EtcdServer();
    ~EtcdServer();
    EtcdServer(const EtcdServer&) = delete;
    EtcdServer& operator=(const EtcdServer&) = delete;

    const std::string& Endpoint() const { return m_endpoint; }  // http://127.0.0.1:PORT
    // Starts it again on the same ports and data; true once it answers.
    bool Start();
    // Ends it (SIGTERM, then the wait).
    void Stop();
    // Freezes and thaws it: connections are still accepted, nothing answers.
    void Pause();
    void Resume();
    // The status request is answered.
    bool Answers() const;

  private:
    TempDir m_dir;
    int m_clientPort = 0;
    int m_peerPort = 0;
    std::string m_endpoint;
    pid_t m_pid = -1;
};

}  // namespace chs_test
