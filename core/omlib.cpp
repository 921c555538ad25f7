#include "core/omlib.h"

#include <arpa/inet.h>

#include <cstring>

#include "infra/chs_log.h"
#include "platform/om_cluster.h"
#include "platform/om_db.h"
#include "platform/om_file_copy.h"
#include "platform/platform_profile.h"
#include "infra/timer_drv.h"

namespace omlib {

constexpr uint32_t kErrNoDns = 0x4040CA1C;
constexpr uint32_t kErrNameUnknown = 0x4000EE04;
constexpr uint32_t kErrResolve = 0x40E05B21;

uint32_t g_uiPowerOnPollMs = 1000;

int clusterInit(int processType, unsigned int processFlags, int processSubType, const char* nodeIdText,
                const char* nodeRoot, const char* clusterFile) {
    return OMClusterInit(processType, processFlags, processSubType, nodeIdText, nodeRoot, clusterFile);
}

int ShmInit() { return OMLIB_ShmInit(); }

int regOmmlunIsvalid(LunStatusCallback callback) { return OM_RegOmmLunStatusChangeFunc(callback); }

void WaitSystemMasterReady() {
    for (;;) {
        uint32_t phase = 0;
        if (getLocalCtrlPowerOnPhase(&phase) == 0 && phase != 0) {
            return;
        }
        TimerDrvClass::Sleep(g_uiPowerOnPollMs);
    }
}

uint16_t getLocalNidInUser() {
    uint16_t nodeId = 0;
    if (OMLIB_getLocalNodeID(&nodeId) != 0) {
        CHS_LOG(3, LOGID_CORE, "Get local node id failed.");
    }
    return nodeId;
}

int getMasterNid(uint16_t& nodeId) { return OMLIB_getMasterNodeID(&nodeId); }

int getOnlineMap(uint32_t& bitMap) {
    bitMap = 0;
    return OMLIB_getAliveNodeBitMap(&bitMap);
}

uint32_t GetClusterCfgNodesNum() {
    uint32_t count = 0;
    return OM_GetClusterCfgNodesNum(&count) == 0 ? count : 0;
}

uint32_t getConfigNodeNum() { return GetClusterCfgNodesNum(); }

int getControllerName(uint16_t nodeId, std::string& name) {
    char buffer[32] = {0};
    int ret = GET_NODE_NAME(nodeId, buffer, sizeof(buffer));
    if (ret == 0) {
        name = buffer;
    }
    return ret;
}

int getControllerID(const std::string& name, uint16_t& nodeId) {
    return CONVERT_CTRLNAME_TO_NODE_ID(name.c_str(), &nodeId);
}

int getProductSN(char* serial, uint32_t size) { return OMLIB_getClusterSN(serial, size); }

int getProductSN(std::string& serial) {
    char buffer[64] = {0};
    int ret = OMLIB_getClusterSN(buffer, sizeof(buffer));
    if (ret == 0) {
        serial = buffer;
    }
    return ret;
}

bool IsOemMode() {
    bool oem = false;
    return OMLIB_IsOemMode(&oem) == 0 && oem;
}

bool isUpgradeMode() {
    bool upgrading = false;
    return OMLIB_getAllUpgradeMode(&upgrading) == 0 && upgrading;
}

int testDiskMount(const std::string& path) { return OM_TestDiskMount(path.c_str()); }

int getFileFromOtherNode(uint16_t nodeId, const std::string& source, const std::string& destination,
                         uint32_t timeoutSec) {
    return OM_GetFileFromOtherNode(nodeId, source.c_str(), destination.c_str(), timeoutSec);
}

int getInternalMgmtIPByNID(uint16_t nodeId, std::vector<std::string>& ips) {
    tagOM_INTERNAL_IP_S record {};
    if (OMLIB_GetInternalMgmtIPByNID(nodeId, &record) != 0 || record.uiIpNum == 0 ||
        record.uiIpNum > OM_INTERNAL_IP_NUM) {
        return -1;
    }
    ips.clear();
    for (uint32_t i = 0; i < record.uiIpNum; ++i) {
        ips.emplace_back(record.acIp[i], strnlen(record.acIp[i], OM_INTERNAL_IP_LEN));
    }
    return 0;
}

int getInternalMgmtIPByNID(uint16_t nodeId, std::string& joined) {
    std::vector<std::string> ips;
    if (getInternalMgmtIPByNID(nodeId, ips) != 0) {
        return -1;
    }
    joined.clear();
    for (size_t i = 0; i < ips.size(); ++i) {
        joined += (i == 0 ? "" : ",") + ips[i];
    }
    return 0;
}

uint32_t ParseHostnameToIp(const std::string& host, std::string& ip, uint16_t port, uint32_t tries,
                           uint32_t timeoutSec) {
    unsigned char address[sizeof(struct in6_addr)];
    if (inet_pton(AF_INET, host.c_str(), address) == 1 || inet_pton(AF_INET6, host.c_str(), address) == 1) {
        ip = host;
        return 0;
    }
    bool dns = false;
    if (OM_IsDNSAddrDeployed(&dns) != 0 || !dns) {
        return kErrNoDns;
    }
    char buffer[64] = {0};
    int ret = NET_GetServerCanConnectIp(host.c_str(), port, buffer, sizeof(buffer), tries, timeoutSec);
    if (ret == 0) {
        ip = buffer;
        return 0;
    }
    return ret == 2 ? kErrNameUnknown : kErrResolve;
}

int operateDb(const std::string& path, const std::string& sql) {
    return OMDB_OperateDb(platform::RealPath(path).c_str(), sql.c_str());
}

int queryDb(const std::string& path, const std::string& sql, DbQueryCallback callback, void* context) {
    return OMDB_QueryDb(platform::RealPath(path).c_str(), sql.c_str(), callback, context);
}

bool TestBit(uint32_t word, uint32_t bit) { return bit < 32 && (word & (1u << bit)) != 0; }

void SetBit(uint32_t& word, uint32_t bit) {
    if (bit < 32) {
        word |= 1u << bit;
    }
}

}  // namespace omlib
