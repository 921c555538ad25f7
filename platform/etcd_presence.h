// Liveness of the nodes over etcd, for clusters whose configuration database
// is etcd. Each daemon keeps a lease alive and, under it, the key
//
//   /chs/<serial>/nodes/<id>        value: the daemon's pid
//
// The online map is the set of those keys: a node whose daemon stops renewing
// (it died, or its link is cut) drops out when the lease expires, at most
// kLeaseTtlSec seconds after its last renewal. A daemon that finds its lease
// expired takes a new one and puts its key again.
//
// While etcd does not answer, the last map read stays good for one lease
// time; after that only the node this process holds is known to be online.
//
// Thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/cluster_config.h"
#include "platform/etcd_client.h"

namespace platform {

constexpr int kLeaseTtlSec = 6;

class EtcdPresence {
  public:
    EtcdPresence(const CcdbConfig& config, const std::string& serial);
    // Stops renewing and revokes the lease: the node drops out at once.
    ~EtcdPresence();
    EtcdPresence(const EtcdPresence&) = delete;
    EtcdPresence& operator=(const EtcdPresence&) = delete;

    // Keeps node `id` online from now on: a first lease is taken before this
    // returns when etcd answers, and a thread renews it every third of its
    // time (taking a new one whenever it was lost).
    void Hold(uint16_t id);
    // Stops renewing without revoking: what a dead daemon leaves behind.
    void Abandon();

    // Bit n set: node n's key is live.
    uint32_t OnlineMap();

  private:
    using Clock = etcd::Client::Clock;

    bool Renew();  // one renewal or new lease; false when etcd did not take it
    void Keep();
    uint32_t Known(Clock::time_point now) const;  // the map as last read; m_mutex held

    etcd::Client m_client;
    const std::string m_prefix;  // /chs/<serial>/nodes/

    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    int m_held = -1;      // the node this process holds, -1: none
    int64_t m_lease = 0;  // 0: none granted, or lost
    std::thread m_keeper;

    uint32_t m_map = 0;
    Clock::time_point m_mapRead{};   // when m_map was read; epoch: never
    Clock::time_point m_mapAsked{};  // when it was last asked for
};

}  // namespace platform
