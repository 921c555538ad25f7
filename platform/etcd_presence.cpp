#include "platform/etcd_presence.h"

#include <unistd.h>

#include <system_error>

#include "platform/dplog.h"
#include "platform/om_ccdb.h"

namespace platform {
namespace {

constexpr auto kRequestTime = std::chrono::milliseconds(1500);
constexpr auto kMapMaxAge = std::chrono::seconds(1);
constexpr auto kRenewEvery = std::chrono::milliseconds(kLeaseTtlSec * 1000 / 3);

// The key just after every key that starts with `prefix`.
std::string RangeEnd(std::string prefix) {
    prefix.back() = static_cast<char>(prefix.back() + 1);
    return prefix;
}

}  // namespace

EtcdPresence::EtcdPresence(const CcdbConfig& config, const std::string& serial)
    : m_client(config.endpoints), m_prefix("/chs/" + etcd::Escape(serial) + "/nodes/") {}

EtcdPresence::~EtcdPresence() {
    int64_t lease = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        lease = m_lease;
    }
    m_wake.notify_all();
    if (m_keeper.joinable()) {
        m_keeper.join();
    }
    if (lease != 0) {
        Json::Value request, answer;
        request["ID"] = std::to_string(lease);
        (void)m_client.Request("/v3/lease/revoke", request, answer, Clock::now() + kRequestTime);
    }
}

void EtcdPresence::Hold(uint16_t id) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_held >= 0) {
            return;
        }
        m_held = id;
    }
    if (!Renew()) {
        dplog_standard(0, 3, __FUNCTION__, __LINE__, 0,
                       "presence: no lease for node %u yet; it is taken once etcd answers.", id);
    }
    try {
        m_keeper = std::thread([this] { Keep(); });
    } catch (const std::system_error& e) {
        dplog_standard(0, 3, __FUNCTION__, __LINE__, 0,
                       "presence: no thread to renew the lease of node %u (%s); it drops out when the lease ends.",
                       id, e.what());
    }
}

void EtcdPresence::Abandon() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        m_lease = 0;
    }
    m_wake.notify_all();
    if (m_keeper.joinable()) {
        m_keeper.join();
    }
}

bool EtcdPresence::Renew() {
    int64_t lease = 0;
    int held = -1;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        lease = m_lease;
        held = m_held;
    }
    Json::Value request, answer;
    if (lease != 0) {
        request["ID"] = std::to_string(lease);
        if (m_client.Request("/v3/lease/keepalive", request, answer, Clock::now() + kRequestTime) != OM_CCDB_OK) {
            return false;
        }
        int64_t ttl = 0;
        if (etcd::Int64Of(answer["result"]["TTL"], ttl) && ttl > 0) {
            return true;
        }
        dplog_standard(0, 3, __FUNCTION__, __LINE__, 0, "presence: the lease of node %d expired; taking a new one.",
                       held);
    }
    // A new lease, then the node's key under it.
    request = Json::Value();
    request["TTL"] = kLeaseTtlSec;
    if (m_client.Request("/v3/lease/grant", request, answer, Clock::now() + kRequestTime) != OM_CCDB_OK ||
        !etcd::Int64Of(answer["ID"], lease) || lease == 0) {
        return false;
    }
    request = Json::Value();
    request["key"] = etcd::Base64(m_prefix + std::to_string(held));
    request["value"] = etcd::Base64(std::to_string(getpid()));
    request["lease"] = std::to_string(lease);
    if (m_client.Request("/v3/kv/put", request, answer, Clock::now() + kRequestTime) != OM_CCDB_OK) {
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stop) {
        return false;  // stopped meanwhile: the destructor did not see this lease; it expires
    }
    m_lease = lease;
    dplog_standard(0, 6, __FUNCTION__, __LINE__, 0, "presence: node %d is online under lease %lld.", held,
                   static_cast<long long>(lease));
    return true;
}

void EtcdPresence::Keep() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_wake.wait_for(lock, kRenewEvery, [this] { return m_stop; })) {
        lock.unlock();
        // A keep-alive etcd did not answer is sent again next round, which
        // learns whether the lease expired meanwhile.
        (void)Renew();
        lock.lock();
    }
}

uint32_t EtcdPresence::OnlineMap() {
    Clock::time_point now = Clock::now();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_mapAsked != Clock::time_point{} && now - m_mapAsked < kMapMaxAge) {
            return Known(now);
        }
        m_mapAsked = now;  // one request a period, answered or not
    }
    Json::Value request, answer;
    request["key"] = etcd::Base64(m_prefix);
    request["range_end"] = etcd::Base64(RangeEnd(m_prefix));
    request["keys_only"] = true;
    uint32_t map = 0;
    bool read = m_client.Request("/v3/kv/range", request, answer, now + kRequestTime) == OM_CCDB_OK;
    if (read) {
        const Json::Value& kvs = answer["kvs"];
        for (Json::ArrayIndex i = 0; kvs.isArray() && i < kvs.size(); ++i) {
            std::string key;
            if (!kvs[i]["key"].isString() || !etcd::FromBase64(kvs[i]["key"].asString(), key) ||
                key.compare(0, m_prefix.size(), m_prefix) != 0) {
                continue;
            }
            std::string id = key.substr(m_prefix.size());
            if (!id.empty() && id.size() <= 2 && id.find_first_not_of("0123456789") == std::string::npos &&
                std::stoi(id) < kMaxNodes) {
                map |= 1u << std::stoi(id);
            }
        }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    if (read) {
        m_map = map;
        m_mapRead = Clock::now();
    }
    return Known(Clock::now());
}

uint32_t EtcdPresence::Known(Clock::time_point now) const {
    bool fresh = m_mapRead != Clock::time_point{} && now - m_mapRead <= std::chrono::seconds(kLeaseTtlSec);
    uint32_t map = fresh ? m_map : 0;  // older than a lease: nothing known any more of the others
    return m_held >= 0 ? (map | 1u << m_held) : map;
}

}  // namespace platform
